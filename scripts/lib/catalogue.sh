# shellcheck shell=bash
# The texts the user can see, read from messages/catalogue.inc, the file the
# exe's string table is built from. Source it from anywhere; then:
#   catalogue_first_line ID     the first line of the text of ID (IDS_...), as a box shows it, or the
#                               caption (IDS_UPDATE_TITLE); status 1, and a line saying why, when the
#                               catalogue has no such text

CATALOGUE_FILE=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/messages/catalogue.inc

catalogue_first_line() { # ID
    local text
    [[ $1 =~ ^IDS_[A-Z_]+$ ]] || { echo "catalogue: $1 is not a message id" >&2; return 1; }
    # Up to the first \n of the text, or its end; a text holds no quote or other escape before it.
    text=$(sed -n "s/^CATALOGUE_TEXT($1, \"\\([^\\\\\"]*\\).*/\\1/p" "$CATALOGUE_FILE")
    [ -n "$text" ] || { echo "catalogue: messages/catalogue.inc has no text for $1" >&2; return 1; }
    printf '%s\n' "$text"
}
