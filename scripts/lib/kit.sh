# shellcheck shell=bash
# The kit: what scripts/package takes from the component team, and how it
# is checked before anything is signed or written, against the plan the exe
# holds (scripts/lib/plan.sh). Source it after package's say, warn, stop and
# fault are defined, scripts/lib/release-record.sh (COMPONENTS) and
# scripts/lib/patch-world.sh.
#   check_kit KIT KIT_ARG    fills kit_file[NAME] (for each name the patch uses, a copy of the kit's
#                            entry, taken in $staging/kit before anything is read: the kit is anyone's
#                            folder and may change while it is checked; only the copy is checked and
#                            shipped) and version[COMPONENT]; one fault per thing wrong, refused by
#                            the caller
#   check_version COMPONENT FILE VERSION [SHOWN]
#                            a fault when VERSION is not the one the patch installs
#   warn_row_bytes COMPONENT FILE [SHOWN]
#                            a warning when FILE is larger than both byte counts of its row

source "$(dirname "${BASH_SOURCE[0]}")/plan.sh" || return 1
KIT_NAMES=("${PLAN_COMPONENTS[@]}" "$PLAN_NOTES")
UPDATED_VERSION=$PLAN_UPDATED_VERSION
OUTDATED_VERSION=$PLAN_OUTDATED_VERSION
# The two byte counts the program demands room for on each component's row.
declare -A ROW_BYTES=()
for name in "${PLAN_COMPONENTS[@]}"; do ROW_BYTES[$name]=${PLAN_ROW_BYTES[$name]}; done
# Far more than any component or notes file; a kit entry larger is not one.
KIT_LIMIT_BYTES=$((64 * 1024 * 1024))

# The entry's bytes into COPY, and only a regular file's, read no further than
# the limit: a link, a pipe or a device put in its place meanwhile is not read.
kit_copy() { # ENTRY COPY
    rm -f -- "$2" && copy_bounded "$1" "$2" "$KIT_LIMIT_BYTES" 2>/dev/null
}

# shellcheck disable=SC2034 # version: set here for the scripts that source this
# shellcheck disable=SC2154 # staging: set by the script that sources this
check_kit() { # KIT KIT_ARG
    local kit=$1 kit_arg=$2 entry name canonical known present=() paths=() found=() versions i shown v own_name
    # Windows matches names without regard to case, so the kit is matched that way
    # too; whatever else is in it would be unpacked beside the exe.
    declare -gA kit_file=()
    local -A seen=()
    mkdir -p "$staging/kit"
    while IFS= read -r -d '' entry; do
        name=${entry##*/}
        canonical=
        for known in "${KIT_NAMES[@]}"; do [ "${known,,}" = "${name,,}" ] && canonical=$known; done
        # A name is shown only as printable text: a kit's names could hold a line
        # break or a terminal's escape, to forge the lines a packager reads.
        is_plain_text "$name" || name=$(shown "$name")
        if [ -z "$canonical" ]; then
            if [ -d "$entry" ] && [ ! -L "$entry" ]; then
                fault "$name does not belong in a patch kit: it is a folder, and a kit holds only ${KIT_NAMES[*]}"
            elif [[ ${name,,} == *.dll ]]; then
                fault "$name does not belong in a patch kit: it would be loaded by programs started beside it"
            else
                fault "$name does not belong in a patch kit: it would ship beside CorvandelUpdate.exe, and a kit holds only ${KIT_NAMES[*]}"
            fi
        elif [ -n "${seen[$canonical]:-}" ]; then
            fault "$name and ${seen[$canonical]} are one file on Windows, where names ignore case: keep one"
        elif [ -L "$entry" ]; then
            # Archives keep links, and a link would publish whatever it points
            # to on this machine; hard links are fine: their bytes are in the kit.
            fault "$name is a symbolic link to $(shown "$(readlink -- "$entry")"): put the file itself in the kit"
        elif [ -d "$entry" ]; then
            fault "$name is a folder, not a file"
        elif [ ! -f "$entry" ]; then
            fault "$name is not a regular file"
        elif [ ! -r "$entry" ]; then
            fault "$name cannot be read"
        elif [ "$(stat -c %s -- "$entry")" -gt "$KIT_LIMIT_BYTES" ]; then
            fault "$name is $(stat -c %s -- "$entry") bytes, more than a kit's file may be ($KIT_LIMIT_BYTES)"
        elif ! kit_copy "$entry" "$staging/kit/$name"; then
            fault "$name changed while it was read (it is no longer a regular file of at most $KIT_LIMIT_BYTES bytes)"
        else
            kit_file[$canonical]=$staging/kit/$name
        fi
        if [ -n "$canonical" ] && [ -z "${seen[$canonical]:-}" ]; then seen[$canonical]=$name; fi
    done < <(find "$kit" -mindepth 1 -maxdepth 1 -print0 | sort -z)
    for name in "${KIT_NAMES[@]}"; do
        [ -n "${seen[$name]:-}" ] || fault "$name is missing from KIT_DIR ($(shown "$kit_arg"))"
    done

    # The components' versions, read by the platform's own version functions as
    # the patch reads them on its next run.
    present=()
    # shellcheck disable=SC2153 # COMPONENTS: scripts/lib/release-record.sh sets it
    for name in "${COMPONENTS[@]}"; do [ -n "${kit_file[$name]:-}" ] && present+=("$name"); done
    declare -gA version=()
    if [ ${#present[@]} -gt 0 ]; then
        say "reading the components' versions on a throwaway Wine prefix ..."
        patch_world_start || stop "could not start Wine"
        paths=()
        for name in "${present[@]}"; do paths+=("${kit_file[$name]}"); done
        # What Wine or the wait said on failure is the reason; a helper that said nothing is said so.
        local status=0 why
        versions=$(file_versions "${paths[@]}" 2>"$PATCH_WORK/versions.err") || status=$?
        if [ "$status" -ne 0 ]; then
            why=$(tail -n 3 "$PATCH_WORK/versions.err" 2>/dev/null | tr '\n' ' ')
            why=${why%' '}
            stop "could not read the components' versions on Wine: $(shown "${why:-${versions:-the helper ended with status $status and said nothing}}")"
        fi
        mapfile -t found <<<"$versions"
        # One line a file, a version or none: anything else is not the helper's answer.
        { [ ${#found[@]} -eq ${#present[@]} ] && ! grep -qvE '^(([0-9]+\.){3}[0-9]+( .*)?|none|absent)$' <<<"$versions"; } ||
            stop "could not read the components' versions on Wine: the helper answered $(shown "$versions")"
        for i in "${!present[@]}"; do
            name=${present[i]} shown=${kit_file[${present[i]}]##*/}
            read -r v own_name <<<"${found[i]:-none}"
            version[$name]=$v
            check_version "$name" "${kit_file[$name]}" "$v" "$shown"
            [ -z "$own_name" ] || [ "${own_name,,}" = "${name,,}" ] ||
                warn "$shown calls itself $(shown "$own_name") in its version resource (OriginalFilename): check that it is the right file"
            warn_row_bytes "$name" "${kit_file[$name]}" "$shown"
        done
    fi
}

check_version() { # COMPONENT FILE VERSION [SHOWN]
    local shown=${4:-$1} v=$3
    case $v in
        "$UPDATED_VERSION") ;;
        none | absent) fault "$shown has no version resource" ;;
        "$OUTDATED_VERSION")
            fault "$shown is $v; the patch installs $UPDATED_VERSION and would replace $v again on every run" ;;
        *) fault "$shown is $v; the patch installs $UPDATED_VERSION and would refuse $v on its next run" ;;
    esac
}

warn_row_bytes() { # COMPONENT FILE [SHOWN]
    local shown=${3:-$1} size bytes_a bytes_b
    size=$(stat -L -c %s "$2")
    read -r bytes_a bytes_b <<<"${ROW_BYTES[$1]}"
    [ "$size" -le "$bytes_a" ] || [ "$size" -le "$bytes_b" ] ||
        warn "$shown is $size bytes, more than both byte counts the patch demands room for on its row" \
            "($bytes_a and $bytes_b): on a drive with only that much room its space check can pass and the copy still fail"
}
