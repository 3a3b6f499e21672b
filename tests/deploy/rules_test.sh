#!/usr/bin/env bash
# The requirement and detection rules that the administrators' guide gives,
# read from the guide itself and evaluated on Wine the way a deployment
# system evaluates them, against installations of the plan (plan/plan.inc)
# patched, unpatched and broken by each failure the patch can meet there.
# Detection, not the exit code (always 0), is what tells a deployment system
# whether the patch took, so every failure must leave the installation "not
# detected".
#   tests/deploy/rules_test.sh      (after the windows and windows-x64 presets are built)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
source scripts/lib/patch-world.sh || exit 1
source scripts/lib/deployment-rules.sh || exit 1
source scripts/lib/catalogue.sh
passed=0 failed=0 skipped=()
check() { if "${@:2}"; then passed=$((passed + 1)); else echo "FAIL: $1"; failed=$((failed + 1)); fi; }
trap patch_world_stop EXIT

# ------------------------------------------------------------- the rules
# The guide's table between its two markers: one row per rule.
RULES=()
while IFS= read -r line; do
    RULES+=("$line")
done < <(rules_in_doc | grep -E '^\| (requirement|detection) \|' | tr -d '`')
check "$RULES_DOC gives requirement and detection rules (found ${#RULES[@]})" test ${#RULES[@]} -ge 3

# A rule's path as a Unix path of the prefix. The guide writes Corvandel's
# folder as it lies on most PCs, %ProgramFiles%\Corvandel read as a 32-bit
# app reads it; an administrator whose PCs have it elsewhere writes that
# folder instead, as this test does for the installation on drive E:.
rule_folder() { # PATH
    local path=${1//%ProgramFiles%\\Corvandel/$INSTALL_WIN}
    local drive=${path%%:*}
    path=${path#*:}
    printf '%s\n' "$WINEPREFIX/dosdevices/${drive,,}:${path//\\//}"
}

version_at_least() { [ "$(printf '%s\n' "$2" "$1" | sort -V | head -n1)" = "$2" ]; } # VERSION MINIMUM

# Status 0 when the rule holds; a rule of a form this test does not know fails.
rule_holds() { # TYPE PATH NAME CHECK OPERATOR VALUE
    local type=$1 path=$2 name=$3 what=$4 operator=$5 value=$6 version answer
    case "$type/$what" in
        registry/value\ exists)
            wine_bounded "$WINE_RUN_SECONDS" "reg query" "$WINE" reg query "$path" /v "$name" /reg:32 >/dev/null 2>&1 ;;
        file/exists)
            [ -f "$(rule_folder "$path")/$name" ] ;;
        file/version)
            answer=$(file_versions "$(rule_folder "$path")/$name" 2>&1)
            version=$(cut -d' ' -f1 <<<"$answer" | tr -d '\r')
            # A file with no version is a rule not met; what the helper said goes to the log.
            [[ $version =~ ^[0-9]+(\.[0-9]+){3}$ ]] || { echo "note: no version read of $name; the helper said: ${answer:0:300}" >&2; return 1; }
            case $operator in
                "greater than or equal to") version_at_least "$version" "$value" ;;
                "less than or equal to") version_at_least "$value" "$version" ;;
                *) echo "FAIL: $RULES_DOC's operator \"$operator\" is not one this test evaluates" >&2; return 2 ;;
            esac ;;
        *) echo "FAIL: $RULES_DOC's rule \"$type, $what\" is not one this test evaluates" >&2; return 2 ;;
    esac
}

# "met" or "detected" when every rule of KIND holds, else "not met: RULE" or
# "not detected: RULE", naming the first rule that does not.
trim() { sed 's/^ *//; s/ *$//' <<<"$1"; }
evaluate() { # KIND
    local row kind type path name what operator value yes=met no="not met"
    [ "$1" = requirement ] || yes=detected no="not detected"
    for row in "${RULES[@]}"; do
        IFS='|' read -r _ kind type path name what operator value _ <<<"$row"
        [ "$(trim "$kind")" = "$1" ] || continue
        type=$(trim "$type") path=$(trim "$path") name=$(trim "$name") what=$(trim "$what")
        operator=$(trim "$operator") value=$(trim "$value")
        rule_holds "$type" "$path" "$name" "$what" "$operator" "$value" ||
            { echo "$no: $name $what${operator:+ $operator $value}"; return; }
    done
    echo "$yes"
}

# ------------------------------------------------------------- the worlds
FIRST=${PLAN_COMPONENTS[0]} LAST=${PLAN_COMPONENTS[-1]}
notes_text() { printf 'Corvandel patch %s\r\n' "$PLAN_UPDATED_VERSION"; }

# An outdated installation, registered as Corvandel's 32-bit installer does,
# with the release's files in the download folder; INSTALL is where it lies.
lay_out() {
    local name
    rm -rf "$INSTALL" "$DOWNLOADS"
    INSTALL=$WINEPREFIX/drive_c/Program\ Files\ \(x86\)/Corvandel
    INSTALL_WIN='C:\Program Files (x86)\Corvandel'
    wine_bounded "$WINE_RUN_SECONDS" "reg delete" "$WINE" reg delete "$PATCH_REGISTRATION" /f /reg:32 >/dev/null 2>&1
    lay_out_outdated_installation
    for name in "${PLAN_COMPONENTS[@]}"; do cp "$(fixture "$name" updated)" "$DOWNLOADS/$name"; done
    notes_text >"$DOWNLOADS/$PLAN_NOTES"
    cp "$PATCH_EXE" "$DOWNLOADS/CorvandelUpdate.exe"
}

# How each scenario bends the outdated installation before the patch runs.
already_patched() {
    local name
    for name in "${PLAN_COMPONENTS[@]}"; do cp "$(fixture "$name" updated)" "$INSTALL/$name"; done
    cp "$DOWNLOADS/$PLAN_NOTES" "$INSTALL/"
}
not_registered() { wine_bounded "$WINE_RUN_SECONDS" "reg delete" "$WINE" reg delete "$PATCH_REGISTRATION" /f /reg:32 >/dev/null 2>&1; }
component_missing() { rm "$INSTALL/$FIRST"; }
last_at_unknown_build() { cp "$(fixture "$LAST" unknown-build)" "$INSTALL/$LAST"; }
backup_blocked() { mkdir "$INSTALL/${PLAN_BACKUP[$FIRST]}"; }
new_component_missing() { rm "$DOWNLOADS/$FIRST"; }
notes_missing() { rm "$DOWNLOADS/$PLAN_NOTES"; }
# Corvandel on a drive with room for no component row: a tiny tmpfs, E:.
drive_full() {
    local small=$PATCH_WORK/wine-drives/small
    rm -rf "$INSTALL"
    INSTALL=$small/Corvandel INSTALL_WIN='E:\Corvandel'
    lay_out_outdated_installation
}
# The administrator's retry once the cause is gone: the deployment system
# runs the same command again.
unblock_backup() { rmdir "$INSTALL/${PLAN_BACKUP[$FIRST]}"; }
restore_notes() { notes_text >"$DOWNLOADS/$PLAN_NOTES"; }

echo "deploy rules: ${#RULES[@]} rules from $RULES_DOC, evaluated on Wine with $PATCH_EXE_NOTE"
patch_world_start || { echo "FAIL: could not start a Wine session"; exit 1; }
# A PC whose last component is at a build of the family the plan does not
# know meets the requirements where that build lies between the plan's two
# versions, as the file rules' range lets it.
unknown_build=$(file_versions "$(fixture "$LAST" unknown-build)" | cut -d' ' -f1 | tr -d '\r')
unknown_requirements="not met"
echo "deploy rules: the unknown build of the family is $unknown_build"
! version_at_least "$unknown_build" "$PLAN_OUTDATED_VERSION" || ! version_at_least "$PLAN_UPDATED_VERSION" "$unknown_build" ||
    unknown_requirements=met

# name | arrange | requirements before | detection before | the box (a catalogue id, or none) | detection after |
# then, and run again | detection after that
SCENARIOS=(
    "outdated_installation|:|met|not detected|none|detected||"
    "already_patched|already_patched|met|detected|none|detected||"
    "not_registered|not_registered|not met|not detected|IDS_NOT_INSTALLED|not detected||"
    "component_missing|component_missing|not met|not detected|IDS_NO_VERSION_INFO|not detected||"
    "last_component_at_an_unknown_build|last_at_unknown_build|$unknown_requirements|not detected|IDS_WRONG_VERSION|not detected||"
    "install_drive_too_full|drive_full|met|not detected|IDS_LOW_DISK_SPACE|not detected||"
    "backup_cannot_be_written|backup_blocked|met|not detected|IDS_BACKUP_FAILED|not detected|unblock_backup|detected"
    "new_component_missing_from_download|new_component_missing|met|not detected|IDS_COPY_FAILED|not detected||"
    "notes_missing_from_download|notes_missing|met|not detected|IDS_COPY_FAILED|not detected|restore_notes|detected"
)

# Runs the patch as the deployment system does, and what it showed.
run_and_read_box() { # NAME
    run_patch >"$PATCH_WORK/$1.run" 2>&1
    sed -n '2p' "$PATCH_WORK/$1.run" | tr -d '\r'
}

for row in "${SCENARIOS[@]}"; do
    IFS='|' read -r name arrange requirements before box detection retry after_retry <<<"$row"
    if [ "$arrange" = drive_full ] && [ ! -e "$WINEPREFIX/dosdevices/e:" ]; then
        skipped+=("$name: no tiny drive E: here (mounting a tmpfs needs root)")
        continue
    fi
    lay_out
    $arrange
    found=$(evaluate requirement)
    check "$name: requirements $requirements before the run; $found" test "${found%%:*}" = "$requirements"
    found=$(evaluate detection)
    check "$name: $before before the run; $found" test "${found%%:*}" = "$before"
    shown=$(run_and_read_box "$name")
    expected=$([ "$box" = none ] || catalogue_first_line "$box")
    check "$name: the box says ${expected:-nothing}; it said ${shown:-nothing}" test "$shown" = "$expected"
    found=$(evaluate detection)
    check "$name: $detection after the run; $found" test "${found%%:*}" = "$detection"
    [ -n "$retry" ] || continue
    $retry
    shown=$(run_and_read_box "$name-again")
    check "$name: run again once the cause is gone, it shows no box; it said ${shown:-nothing}" test -z "$shown"
    found=$(evaluate detection)
    check "$name: $after_retry after the second run; $found" test "${found%%:*}" = "$after_retry"
done
skipped+=("out of memory: the copy of a version resource cannot be made to fail on Wine")
printf 'skipped: %s\n' "${skipped[@]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
