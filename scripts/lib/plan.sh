# shellcheck shell=bash
# The patch's plan for the shell, read from plan/plan.inc, the file the
# program compiles in: the release scripts and the tests act on the plan the
# exe holds, never on a copy of it. The file is read strictly: whatever it
# cannot read stops it with one line naming the file, the line and what is
# wrong. Source it from anywhere (status 1 when the plan cannot be read); then:
#   PLAN_FILE                   the plan read, plan/plan.inc of this tree
#   PLAN_OUTDATED_VERSION       the version the patch updates, dotted as Windows shows it
#   PLAN_UPDATED_VERSION        the version it installs
#   PLAN_COMPONENTS             each component's file name, in the plan's order
#   PLAN_BACKUP[NAME]           a component's backup file name
#   PLAN_ROW_BYTES[NAME]        the two byte counts of its row: "BYTES_A BYTES_B"
#   PLAN_NOTES                  the notes file's name
#   PLAN_REGISTRATION_KEY       the host application's registration, a key under HKEY_LOCAL_MACHINE
#   PLAN_REGISTRATION           the same as the reg command writes it: HKLM\...
#   PLAN_FOLDER_VALUE           the registration's value that names the install folder
#   plan_read FILE [SHOWN]      reads another plan into the variables above (SHOWN: its name in faults)
#   plan_version_words VERSION  the two double-words of a dotted version as the program holds them:
#                               1.2.3.4 gives "0x00010002 0x00030004"
#   plan_fixture NAME ROLE      the name tests/wine/CMakeLists.txt gives the fixture of component
#                               NAME in ROLE (outdated, updated, ...): "kestovar-outdated"

plan_version_words() { # VERSION
    local IFS=.
    # shellcheck disable=SC2086 # split on the dots
    set -- $1
    printf '0x%04X%04X 0x%04X%04X\n' "$1" "$2" "$3" "$4"
}

plan_fixture() { # NAME ROLE
    local stem=${1%.*}
    printf '%s-%s\n' "${stem,,}" "$2"
}

# The parts of plan_read: each sets fault, and fails, on what it cannot take.
plan_unquote() { local backslash=\\; printf '%s' "${1//"$backslash$backslash"/"$backslash"}"; }
plan_take_name() { # NAME WHAT: a file name the program joins to the install folder, once in the plan
    local lower=${1,,}
    [[ $1 =~ ^[A-Za-z0-9_-]([A-Za-z0-9._\ -]*[A-Za-z0-9_-])?$ ]] ||
        { fault="the $2 name \"$1\" is not a plain file name"; return 1; }
    [ -z "${taken[$lower]:-}" ] || { fault="the $2 name \"$1\" is already ${taken[$lower]}, and Windows ignores case"; return 1; }
    taken[$lower]="the plan's $2 name on line $number"
}
plan_byte_count() { # COUNT
    { [[ $1 =~ ^(0|[1-9][0-9]{0,9})$ ]] && [ "$1" -le 4294967295 ]; } ||
        { fault="the byte count $1 is not a decimal number of at most 4294967295"; return 1; }
}
plan_dotted() { # VERSION WHAT
    local n
    [[ $1 =~ ^(0|[1-9][0-9]*)(\.(0|[1-9][0-9]*)){3}$ ]] ||
        { fault="the $2 version \"$1\" is not four numbers joined by dots"; return 1; }
    for n in ${1//./ }; do
        { [ ${#n} -le 5 ] && [ "$n" -le 65535 ]; } || { fault="the $2 version \"$1\" has a number above 65535"; return 1; }
    done
}
plan_once() { # ENTRY VALUE
    [ -z "$2" ] || { fault="a second $1 entry: the plan has one"; return 1; }
}

# shellcheck disable=SC2034 # PLAN_BACKUP, PLAN_COMPONENTS, PLAN_FILE, PLAN_FOLDER_VALUE, PLAN_NOTES, PLAN_OUTDATED_VERSION, PLAN_REGISTRATION, PLAN_REGISTRATION_KEY, PLAN_ROW_BYTES, PLAN_UPDATED_VERSION: set here for the scripts that source this
plan_read() { # FILE [SHOWN]
    local file=$1 shown=${2:-$1} line number=0 fault='' name backup_name key value bytes_a bytes_b entry
    local registration='' folder_value='' outdated='' updated='' notes='' components=() outdated_words updated_words
    local -A backup=() row_bytes=() taken=()
    local text='"(([^"\\]|\\\\)*)"' count='([0-9]+)' comma=' *, *'
    local key_path='^[A-Za-z0-9 ._()-]+(\\[A-Za-z0-9 ._()-]+)*$' value_name='^[A-Za-z0-9 ._-]+$'
    { [ -f "$file" ] && [ -r "$file" ]; } || { echo "$shown: cannot be read" >&2; return 1; }
    while IFS= read -r line || [ -n "$line" ]; do
        number=$((number + 1))
        line=${line%$'\r'}
        fault=''
        if [[ $line =~ ^[[:space:]]*(//.*)?$ ]]; then
            continue
        elif [[ $line =~ ^PLAN_HOST_REGISTRATION\($text$comma$text\)$ ]]; then
            key=$(plan_unquote "${BASH_REMATCH[1]}") value=$(plan_unquote "${BASH_REMATCH[3]}")
            if plan_once PLAN_HOST_REGISTRATION "$registration"; then
                if [[ ! $key =~ $key_path ]]; then
                    fault="the registration key \"$key\" is not plain names joined by single backslashes"
                elif [[ ! $value =~ $value_name ]]; then
                    fault="the registration's value name \"$value\" is not a plain name"
                else
                    registration=$key folder_value=$value
                fi
            fi
        elif [[ $line =~ ^PLAN_OUTDATED_VERSION\($text\)$ ]]; then
            plan_once PLAN_OUTDATED_VERSION "$outdated" && outdated=$(plan_unquote "${BASH_REMATCH[1]}") &&
                plan_dotted "$outdated" outdated
        elif [[ $line =~ ^PLAN_UPDATED_VERSION\($text\)$ ]]; then
            plan_once PLAN_UPDATED_VERSION "$updated" && updated=$(plan_unquote "${BASH_REMATCH[1]}") &&
                plan_dotted "$updated" updated
        elif [[ $line =~ ^PLAN_COMPONENT\($text$comma$text$comma$count$comma$count\)$ ]]; then
            name=$(plan_unquote "${BASH_REMATCH[1]}") backup_name=$(plan_unquote "${BASH_REMATCH[3]}")
            bytes_a=${BASH_REMATCH[5]} bytes_b=${BASH_REMATCH[6]}
            plan_take_name "$name" component && plan_take_name "$backup_name" backup &&
                plan_byte_count "$bytes_a" && plan_byte_count "$bytes_b" &&
                components+=("$name") && backup[$name]=$backup_name && row_bytes[$name]="$bytes_a $bytes_b"
        elif [[ $line =~ ^PLAN_NOTES\($text\)$ ]]; then
            plan_once PLAN_NOTES "$notes" && notes=$(plan_unquote "${BASH_REMATCH[1]}") &&
                plan_take_name "$notes" "notes file"
        elif [[ $line =~ ^(PLAN_HOST_REGISTRATION|PLAN_OUTDATED_VERSION|PLAN_UPDATED_VERSION|PLAN_COMPONENT|PLAN_NOTES)\( ]]; then
            fault="${BASH_REMATCH[1]} is not of the form the file's head gives: strings in \"...\" with \\\\ for a backslash, byte counts in decimal, nothing after the closing parenthesis"
        else
            fault="not an entry of the plan, nor a // comment on a line of its own"
        fi
        [ -z "$fault" ] || { echo "$shown:$number: $fault" >&2; return 1; }
    done <"$file"

    for entry in PLAN_HOST_REGISTRATION=$registration PLAN_OUTDATED_VERSION=$outdated \
        PLAN_UPDATED_VERSION=$updated PLAN_NOTES=$notes; do
        [ -n "${entry#*=}" ] || { echo "$shown: has no ${entry%%=*} entry" >&2; return 1; }
    done
    [ ${#components[@]} -gt 0 ] ||
        { echo "$shown: has no PLAN_COMPONENT entry: the patch replaces at least one component" >&2; return 1; }
    read -ra outdated_words <<<"$(plan_version_words "$outdated")"
    read -ra updated_words <<<"$(plan_version_words "$updated")"
    line=$(grep -n '^PLAN_UPDATED_VERSION' "$file" | cut -d: -f1)
    [ "${outdated_words[0]}" = "${updated_words[0]}" ] ||
        { echo "$shown:$line: the updated version $updated is not of the outdated one's family, ${outdated%.*.*}: the program accepts one" >&2; return 1; }
    [ $((updated_words[1])) -gt $((outdated_words[1])) ] ||
        { echo "$shown:$line: the updated version $updated is not later than the outdated one, $outdated" >&2; return 1; }

    PLAN_FILE=$file PLAN_OUTDATED_VERSION=$outdated PLAN_UPDATED_VERSION=$updated PLAN_NOTES=$notes
    PLAN_REGISTRATION_KEY=$registration PLAN_REGISTRATION="HKLM\\$registration" PLAN_FOLDER_VALUE=$folder_value
    PLAN_COMPONENTS=("${components[@]}")
    declare -gA PLAN_BACKUP=() PLAN_ROW_BYTES=()
    for name in "${components[@]}"; do
        PLAN_BACKUP[$name]=${backup[$name]} PLAN_ROW_BYTES[$name]=${row_bytes[$name]}
    done
}

plan_read "$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/plan/plan.inc" plan/plan.inc || return 1
