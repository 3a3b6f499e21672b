# shellcheck shell=bash
# What a value from outside may be, checked before it becomes a path, a
# command word or an argument: the release tools run as root, with the
# signing key, on options, environment variables, kits, release folders and
# mirror answers that anyone may have shaped. Each test is a pattern of what
# the value may be, never of what it must not be. Source it; then:
#   is_plain_text VALUE           printable ASCII only: no control character, no newline
#   is_debian_suite NAME          a suite or codename as Debian's archive names them (bookworm,
#                                 bookworm-updates): lower-case words and hyphens, never a path
#   is_debian_package NAME        a binary package's name, in Debian's syntax
#   is_debian_version VERSION     [epoch:]upstream[-revision], in Debian's syntax
#   is_http_url URL               http(s)://host[:port][/path], the characters a mirror's or a
#                                 timestamp server's URL needs and nothing that a shell, an apt
#                                 sources line or a tool's option parser would read otherwise
#   is_pkcs11_uri URI             pkcs11:attributes (RFC 7512), printable, no blank
#   shown VALUE                   VALUE as a message may show it: each character that is not
#                                 printable ASCII as ?, at most 500 characters
#   checked_file OPTION FILE      FILE's full path, when it is a readable regular file; else stops
#                                 (the caller's stop, exit 2) naming OPTION and the fault
#   checked_environment           stops (exit 2, one line) unless each environment variable the tools
#                                 read is unset or what it may be: TMPDIR an absolute, writable folder;
#                                 SOURCE_DATE_EPOCH a number of seconds; CORVANDEL_WINE_32BIT empty
#                                 or no; APT_CONFIG a regular file no one else may write. Variables
#                                 that would steer Wine elsewhere than the tools set it are dropped
#                                 (WINEDEBUG among them), and the secrets are held (secrets_held)
#   SECRET_NAMES                  the environment variables that carry a key's secret
#   secrets_held                  takes them out of the environment that every child inherits: they
#                                 stay this shell's variables, and reach a process by with_secret alone
#   with_secret NAME COMMAND...   COMMAND (a program) with the secret NAME in its environment
#   copy_bounded FROM TO LIMIT    copies FROM, anyone's file, to TO (a new file): FROM is opened
#                                 without following a link and without waiting (a pipe, a device),
#                                 must be a regular file as opened, and at most LIMIT bytes are
#                                 read. Status 1 when it is not a regular file, 2 when it holds more
#                                 than LIMIT bytes (TO is then absent)

is_plain_text() {
    local LC_ALL=C
    [[ $1 != *[![:print:]]* ]]
}

is_debian_suite() { [[ ${#1} -le 64 && $1 =~ ^[a-z][a-z0-9]*(-[a-z0-9]+)*$ ]]; }

is_debian_package() { [[ ${#1} -le 100 && $1 =~ ^[a-z0-9][a-z0-9+.-]+$ ]]; }

# Debian policy, 5.6.12: an epoch of digits; an upstream version that starts
# with a digit and holds only alphanumerics and . + ~ (and - when a revision
# follows); a revision of alphanumerics and + . ~.
is_debian_version() {
    local version=$1 upstream revision=
    [ ${#version} -le 128 ] || return 1
    [[ $version =~ ^[0-9]+:(.*)$ ]] && version=${BASH_REMATCH[1]}
    upstream=$version
    if [[ $version == *-* ]]; then
        upstream=${version%-*} revision=${version##*-}
        [[ $revision =~ ^[A-Za-z0-9+.~]+$ ]] || return 1
    fi
    [[ $upstream =~ ^[0-9][A-Za-z0-9.+~-]*$ ]]
}


is_http_url() {
    [[ ${#1} -le 512 && $1 =~ ^https?://[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?(:[0-9]{1,5})?(/[A-Za-z0-9._~%/+=:@-]*)?$ ]]
}

is_pkcs11_uri() { [[ ${#1} -le 1024 && $1 =~ ^pkcs11:[A-Za-z0-9._~%/:@!\$\&\'\(\)*+,\;=?-]*$ ]]; }

shown() {
    local LC_ALL=C value=${1:0:500}
    printf '%s' "${value//[![:print:]]/?}"
}

checked_file() { # OPTION FILE
    [ -n "$2" ] || stop "$1 needs a file, and was given an empty value"
    is_plain_text "$2" || stop "$1 $(shown "$2"): a file name with a control character in it"
    { [ -f "$2" ] && [ -r "$2" ]; } || stop "$1 $2: no such readable file"
    realpath -- "$2"
}

# What is wrong with TMPDIR, or nothing.
tmpdir_fault() {
    [ -n "${TMPDIR+set}" ] || return 0
    [[ $TMPDIR == /* ]] && is_plain_text "$TMPDIR" && [ -d "$TMPDIR" ] && [ -w "$TMPDIR" ] ||
        echo "TMPDIR=$(shown "$TMPDIR") is not an absolute path of a folder this user can write in"
}

checked_environment() {
    local fault
    fault=$(tmpdir_fault)
    [ -z "$fault" ] || stop "$fault"
    [ -z "${SOURCE_DATE_EPOCH+set}" ] || [[ $SOURCE_DATE_EPOCH =~ ^[0-9]{1,12}$ ]] ||
        stop "SOURCE_DATE_EPOCH=$(shown "$SOURCE_DATE_EPOCH") is not a number of seconds"
    [[ ${CORVANDEL_WINE_32BIT:-no} == no ]] ||
        stop "CORVANDEL_WINE_32BIT=$(shown "$CORVANDEL_WINE_32BIT"): the one value it takes is no"
    [[ ${CORVANDEL_WINE_32BIT_FOUND:-yes} =~ ^(yes|no)$ ]] || unset CORVANDEL_WINE_32BIT_FOUND
    if [ -n "${APT_CONFIG+set}" ]; then
        # apt runs what its configuration says (hooks), as root here.
        { [ -f "$APT_CONFIG" ] && [ ! -L "$APT_CONFIG" ] && [ -z "$(find "$APT_CONFIG" -perm /022 2>/dev/null)" ] &&
            { [ -O "$APT_CONFIG" ] || [ "$(stat -c %u "$APT_CONFIG")" = 0 ]; }; } ||
            stop "APT_CONFIG=$(shown "$APT_CONFIG") is not a regular file that only its owner (root, or this user) may write"
    fi
    unset WINESERVER WINEDLLPATH WINELOADER WINEPREFIX WINEARCH WINEDLLOVERRIDES WINEDEBUG
    secrets_held
}

SECRET_NAMES=(CORVANDEL_PFX_PASSWORD CORVANDEL_PKCS11_PIN)
secrets_held() { export -n "${SECRET_NAMES[@]}"; }
# (export names the variable, never its value: no trace shows the secret.)
with_secret() { # NAME COMMAND...
    # shellcheck disable=SC2163 # the variable that $1 names, on purpose
    (export "$1" && shift && exec "$@")
}

copy_bounded() { # FROM TO LIMIT
    /usr/bin/python3 -E -s -c '
import os, stat, sys
source, target, limit = sys.argv[1], sys.argv[2], int(sys.argv[3])
try:
    fd = os.open(source, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY)
except OSError:
    sys.exit(1)
if not stat.S_ISREG(os.fstat(fd).st_mode):
    sys.exit(1)
left = limit + 1
with open(target, "xb") as out:
    while left > 0:
        chunk = os.read(fd, min(left, 1 << 20))
        if not chunk:
            break
        out.write(chunk)
        left -= len(chunk)
if left == 0:
    os.unlink(target)
    sys.exit(2)
' "$1" "$2" "$3"
}
