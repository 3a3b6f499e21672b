# shellcheck shell=bash
# The texts of every box the patch can show, read from where the program
# keeps them: the catalogue (messages/catalogue.inc, whose IDS_UPDATE_TITLE is
# every box's caption) and the out-of-memory text (messages/error_box.h).
# Shared by scripts/box-pictures, which pictures each box, and the documents'
# test, which checks that each picture shows the current texts. Source it; it
# reads the tree at BOX_TEXTS_ROOT (default: the current directory). Then:
#   box_ids                  each box, one a line: the catalogue's messages by id, then
#                            OUT_OF_MEMORY_TEXT and WITHOUT_CATALOGUE (the box of an exe whose
#                            catalogue does not load: caption and text empty)
#   box_picture ID           its picture's file name (IDS_NOT_INSTALLED: not-installed.png)
#   box_caption ID           its caption, and box_text ID its text, as the box shows them
#                            (a line feed where the box breaks the line); status 1 when the
#                            text is not where it should be, with BOX_TEXTS_FAULT saying so
#   box_digest ID            sha256 of its caption, a line feed and its text
#   BOX_PICTURES             the folder of the pictures, and BOX_MANIFEST the name of the record
#                            kept beside them: one line a picture, "ID PICTURE DIGEST"

# shellcheck disable=SC2034 # BOX_PICTURES: set here for the scripts that source this
BOX_PICTURES=docs/boxes
# shellcheck disable=SC2034 # BOX_MANIFEST: set here for the scripts that source this
BOX_MANIFEST=manifest
BOX_TEXTS_FAULT=

box_texts_file() { printf '%s/%s\n' "${BOX_TEXTS_ROOT:-.}" "$1"; }

# The value of the C string literal in LINE, between its first and last quote;
# status 1, with BOX_TEXTS_FAULT, when LINE holds none.
# shellcheck disable=SC2034 # BOX_TEXTS_FAULT: set here for the scripts that source this
c_string_value() { # LINE FAULT
    local literal=$1
    if [[ $literal != *\"*\"* ]]; then
        BOX_TEXTS_FAULT=$2
        return 1
    fi
    literal=${literal#*\"}
    literal=${literal%\"*}
    printf '%b' "${literal//\\\"/\"}"
}

catalogue_text() { # ID
    c_string_value "$(grep -m1 "^CATALOGUE_TEXT($1, \"" "$(box_texts_file messages/catalogue.inc)" 2>/dev/null)" \
        "messages/catalogue.inc has no text for $1"
}

box_ids() {
    sed -n 's/^CATALOGUE_TEXT(\(IDS_[A-Z0-9_]*\),.*/\1/p' "$(box_texts_file messages/catalogue.inc)" |
        grep -vx IDS_UPDATE_TITLE
    printf '%s\n' OUT_OF_MEMORY_TEXT WITHOUT_CATALOGUE
}

box_picture() { # ID
    local name=${1#IDS_}
    name=${name%_TEXT}
    name=${name,,}
    printf '%s.png\n' "${name//_/-}"
}

box_caption() { # ID
    case $1 in
        WITHOUT_CATALOGUE) ;;
        *) catalogue_text IDS_UPDATE_TITLE ;;
    esac
}

box_text() { # ID
    case $1 in
        WITHOUT_CATALOGUE) ;;
        OUT_OF_MEMORY_TEXT)
            c_string_value "$(grep -m1 "OUT_OF_MEMORY_TEXT\[\] = \"" "$(box_texts_file messages/error_box.h)" 2>/dev/null)" \
                "messages/error_box.h has no OUT_OF_MEMORY_TEXT"
            ;;
        *) catalogue_text "$1" ;;
    esac
}

box_digest() { # ID
    local caption text
    caption=$(box_caption "$1") && text=$(box_text "$1") || return 1
    printf '%s\n%s' "$caption" "$text" | sha256sum | cut -c1-64
}
