# shellcheck shell=bash
# The dry run: what a user does with the zip, on a throwaway 64-bit Windows
# installation (scripts/lib/patch-world.sh), checked after each run. Source it
# after scripts/lib/kit.sh, once check_kit has filled kit_file.
#   dry_run ZIP    unpacks ZIP into a download folder and starts the exe from there, on an
#                  outdated installation; then once more. One fault per thing wrong, refused
#                  by the caller; the before/after table and any box are printed.

same() { cmp -s "$1" "$2"; }

# What one run must leave: no box and exit code 0, the kit's components
# installed, the stand-ins kept as .old, the notes copied, nothing else.
# shellcheck disable=SC2154 # kit_file: set by the script that sources this
check_run() { # RUN STATUS OUTPUT
    case $2 in
        0 | 1) grep -qx 'exit code 0' <<<"$3" || fault "dry run: the $1 run ended with $(tail -n1 <<<"$3"), not 0" ;;&
        1) fault "dry run: the $1 run showed a box: $(sed -n 2p <<<"$3")" ;;
        0) ;;
        *) fault "dry run: the $1 run did not end cleanly (status $2, 124: Wine did not end in time): $(tail -n1 <<<"$3")" ;;
    esac
    local name expected extra
    for name in "${COMPONENTS[@]}"; do
        same "$INSTALL/$name" "${kit_file[$name]}" || fault "dry run: after the $1 run, $name is not the kit's"
        expected=$PATCH_BUILD/fixtures/${STAND_IN[$name]}.dll
        same "$INSTALL/${PLAN_BACKUP[$name]}" "$expected" ||
            fault "dry run: after the $1 run, ${PLAN_BACKUP[$name]} does not hold the $OUTDATED_VERSION that was installed"
    done
    same "$INSTALL/$PLAN_NOTES" "${kit_file[$PLAN_NOTES]}" ||
        fault "dry run: after the $1 run, $PLAN_NOTES is not the kit's"
    extra=$(find "$INSTALL" -mindepth 1 -maxdepth 1 -printf '%f\n' | grep -vxF -f <(printf '%s\n' "${PATCH_FILES[@]}") || true)
    [ -z "$extra" ] || fault "dry run: the $1 run left $(xargs <<<"$extra") in Corvandel's folder"
}

dry_run() { # ZIP
    local zip=$1 status first second before after_first after_second run output
    # Where this machine cannot run the 32-bit exe, its twin takes its place.
    say "dry run on Wine: an installation at $OUTDATED_VERSION, patched twice from the unpacked zip ..."
    { lay_out_outdated_installation && unzip -q "$zip" -d "$DOWNLOADS"; } ||
        stop "could not lay out the dry run's installation on Wine"
    wine_runs_32bit || cp "$PATCH_EXE" "$DOWNLOADS/CorvandelUpdate.exe"

    before=$(installation_snapshot) || stop "could not read the dry run's installation on Wine"
    status=0 && first=$(run_patch) || status=$?
    check_run first "$status" "$first"
    after_first=$(installation_snapshot) || stop "could not read the dry run's installation on Wine"
    # Removed, so that the second run shows it copies the notes again.
    rm -f "${INSTALL:?}/$PLAN_NOTES"
    status=0 && second=$(run_patch) || status=$?
    check_run second "$status" "$second"
    after_second=$(installation_snapshot) || stop "could not read the dry run's installation on Wine"

    echo
    echo "$INSTALL_WIN on the throwaway prefix (the notes removed before the second run):"
    print_installation_table before "$before" "first run" "$after_first" "second run" "$after_second"
    for run in first second; do
        output=${!run}
        grep -q '^box: ' <<<"$output" || continue
        echo "The $run run showed:"
        sed -n '/^box: /,$p' <<<"$output" | grep -v '^exit code '
    done
    echo
}
