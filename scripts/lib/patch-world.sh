# shellcheck shell=bash
# The patch at work on a throwaway Wine prefix, shared by scripts/demo,
# scripts/package and scripts/box-pictures. The world is 64-bit Windows, as
# most people who run the patch have: a 64-bit prefix, Corvandel under Program
# Files (x86). It is patched with the shipped 32-bit exe, under WOW64,
# wherever this machine can run it, else with the x86-64 twin of the same
# sources (PATCH_EXE, and PATCH_EXE_NOTE to say which). Source it from the
# project's root after the windows and windows-x64 presets are built. The
# installation is the plan's (scripts/lib/plan.sh): its registration, its
# components and their backups, its notes. Then:
#   patch_world_build        builds what the world runs: the exe, the stand-ins (windows preset),
#                            the helper and the twin (windows-x64 preset); each preset configured once,
#                            a build configuring again by itself when a CMake file changed
#   patch_world_take_builds DIR
#                            copies what the world runs (the stand-ins, the helper, the twin) out
#                            of the build trees into DIR and uses them from there, so that a build
#                            started later in this checkout cannot change them under the run
#   patch_world_start        a session in a new folder of $TMPDIR, its prefix copied from
#                            build/windows/wine-template (booted there once); sets WINEPREFIX,
#                            WINE, DISPLAY, INSTALL and DOWNLOADS (Unix paths of Corvandel's folder
#                            and of the folder the patch is run from) and INSTALL_WIN, DOWNLOADS_WIN
#   patch_world_stop         stops the session and removes its folder
#   lay_out_outdated_installation
#                            the registration, and the STAND_IN fixtures (the outdated version) in INSTALL
#   lay_out_download_folder  the release as a user unpacks it into DOWNLOADS: the UPDATED fixtures
#                            (the updated version), the notes and PATCH_EXE as CorvandelUpdate.exe
#   fixture NAME ROLE        the fixture of component NAME in ROLE (outdated, updated, ...;
#                            tests/wine/CMakeLists.txt builds them)
#   installation_snapshot    a line for each file in PATCH_FILES: a component's version, "notes"
#                            for the notes, "-" when absent
#   print_installation_table LABEL SNAPSHOT [LABEL SNAPSHOT ...]
#   run_patch                CorvandelUpdate.exe started from DOWNLOADS, its boxes answered and
#                            printed; the status is package_helper's (0: ended without a box;
#                            124: Wine itself did not end in time)
#   file_versions FILE...    each file's version as the platform reads it, and the name its version
#                            resource gives it (see tools/package_helper.cpp)

source scripts/lib/wine-host.sh
source scripts/lib/plan.sh || return 1
PATCH_BUILD=$(pwd)/build/windows         # the shipped exe, and the stand-ins
PATCH_BUILD_X64=$(pwd)/build/windows-x64 # the helper, and the twin
PATCH_HELPER=$PATCH_BUILD_X64/package_helper.exe
PATCH_TEMPLATE=$PATCH_BUILD/wine-template # a prefix booted once per build tree
# Each component and its backup, then the notes.
PATCH_FILES=()
for name in "${PLAN_COMPONENTS[@]}"; do PATCH_FILES+=("$name" "${PLAN_BACKUP[$name]}"); done
PATCH_FILES+=("$PLAN_NOTES")
PATCH_REGISTRATION=$PLAN_REGISTRATION
INSTALL_WIN='C:\Program Files (x86)\Corvandel'
if wine_runs_32bit; then
    PATCH_EXE=$PATCH_BUILD/CorvandelUpdate.exe
    PATCH_EXE_NOTE="the shipped exe, under WOW64 on a 64-bit prefix, as on 64-bit Windows"
else
    PATCH_EXE=$PATCH_BUILD_X64/CorvandelUpdate.exe
    # shellcheck disable=SC2034 # PATCH_EXE_NOTE: set here for the scripts that source this
    PATCH_EXE_NOTE="the x86-64 build of the same sources; this machine cannot run the shipped 32-bit exe"
fi
DOWNLOADS_WIN='C:\users\Public\Downloads\CorvandelPatch'
# The fixture that stands in for each installed component of an outdated installation.
declare -A STAND_IN=() UPDATED=()
for name in "${PLAN_COMPONENTS[@]}"; do STAND_IN[$name]=$(plan_fixture "$name" outdated); done
# And the fixture that stands in for each new component of the release.
for name in "${PLAN_COMPONENTS[@]}"; do UPDATED[$name]=$(plan_fixture "$name" updated); done

fixture() { printf '%s/fixtures/%s.dll\n' "$PATCH_BUILD" "$(plan_fixture "$1" "$2")"; } # NAME ROLE

patch_world_start() {
    PATCH_WORK=$(mktemp -d "${TMPDIR:-/tmp}/corvandel-patch.XXXXXX")
    ! declare -F leaves_behind >/dev/null || leaves_behind "$PATCH_WORK"
    # Wine keeps its server's folder in TMPDIR: the session's own, removed with it.
    PATCH_OUTER_TMPDIR=${TMPDIR-unset}
    export TMPDIR=$PATCH_WORK/tmp
    mkdir -p "$TMPDIR"
    # A 64-bit prefix boots on every machine; it runs the 32-bit exe where the machine can.
    scripts/lib/wine-session start "$PATCH_WORK" win64 "$PATCH_TEMPLATE" >"$PATCH_WORK/session.log" 2>&1 || {
        cat "$PATCH_WORK/session.log" >&2
        return 1
    }
    wine_use_prefix "$PATCH_WORK/wineprefix" win64
    DISPLAY=:$(cat "$PATCH_WORK/wine-session/display")
    export DISPLAY
    INSTALL=$WINEPREFIX/drive_c/Program\ Files\ \(x86\)/Corvandel
    DOWNLOADS=$WINEPREFIX/drive_c/users/Public/Downloads/CorvandelPatch
}

patch_world_build() {
    { [ -f build/windows/CMakeCache.txt ] || cmake --preset windows; } &&
        cmake --build --preset windows -j2 --target CorvandelUpdate "${STAND_IN[@]/#/fixture_}" &&
        { [ -f build/windows-x64/CMakeCache.txt ] || cmake --preset windows-x64; } &&
        cmake --build --preset windows-x64 -j2 --target CorvandelUpdate package_helper
}

patch_world_take_builds() { # DIR
    local dir=$1 name
    mkdir -p "$dir/windows/fixtures" "$dir/windows-x64" &&
        for name in "${STAND_IN[@]}"; do cp "$PATCH_BUILD/fixtures/$name.dll" "$dir/windows/fixtures/"; done &&
        cp "$PATCH_HELPER" "$dir/windows-x64/" && cp "$PATCH_EXE" "$dir/${PATCH_EXE#"$(dirname "$PATCH_BUILD")"/}" || return 1
    PATCH_EXE=$dir/${PATCH_EXE#"$(dirname "$PATCH_BUILD")"/}
    PATCH_BUILD=$dir/windows PATCH_BUILD_X64=$dir/windows-x64
    PATCH_HELPER=$PATCH_BUILD_X64/package_helper.exe
}

patch_world_stop() {
    [ -n "${PATCH_WORK:-}" ] || return 0
    scripts/lib/wine-session stop "$PATCH_WORK" >/dev/null 2>&1 || true
    rm -rf "$PATCH_WORK"
    PATCH_WORK=
    if [ "$PATCH_OUTER_TMPDIR" = unset ]; then unset TMPDIR; else export TMPDIR=$PATCH_OUTER_TMPDIR; fi
}

# A Unix path as the programs on Wine name it: C: is the prefix's drive_c, Z: the Unix root.
windows_path() {
    local path
    path=$(realpath -m "$1")
    case $path in
        "$WINEPREFIX/drive_c"/*) path="C:${path#"$WINEPREFIX/drive_c"}" ;;
        *) path="Z:$path" ;;
    esac
    printf '%s\n' "${path//\//\\}"
}

file_versions() {
    local paths=() file
    for file in "$@"; do paths+=("$(windows_path "$file")"); done
    wine_bounded "$WINE_RUN_SECONDS" "the helper to read file versions" \
        scripts/lib/wine-run "$PATCH_WORK" "$PATCH_HELPER" versions "${paths[@]}"
}

# Registered as Corvandel's 32-bit installer does, through the 32-bit view.
# App Paths is one key shared by both views, so the twin finds it too.
lay_out_outdated_installation() {
    local name
    mkdir -p "$INSTALL" "$DOWNLOADS" &&
        wine_bounded "$WINE_RUN_SECONDS" "reg add of the registration" "$WINE" reg add "$PATCH_REGISTRATION" /v "$PLAN_FOLDER_VALUE" /t REG_SZ /d "$INSTALL_WIN" /f /reg:32 \
            >/dev/null 2>&1 || return 1
    for name in "${PLAN_COMPONENTS[@]}"; do
        cp "$PATCH_BUILD/fixtures/${STAND_IN[$name]}.dll" "$INSTALL/$name" || return 1
    done
}

lay_out_download_folder() {
    local name
    mkdir -p "$DOWNLOADS" || return 1
    for name in "${PLAN_COMPONENTS[@]}"; do
        cp "$PATCH_BUILD/fixtures/${UPDATED[$name]}.dll" "$DOWNLOADS/$name" || return 1
    done
    printf 'Corvandel patch %s\r\n' "$PLAN_UPDATED_VERSION" >"$DOWNLOADS/$PLAN_NOTES" &&
        cp "$PATCH_EXE" "$DOWNLOADS/CorvandelUpdate.exe"
}

installation_snapshot() {
    local name paths=()
    for name in "${PLAN_COMPONENTS[@]}"; do paths+=("$INSTALL/$name" "$INSTALL/${PLAN_BACKUP[$name]}"); done
    file_versions "${paths[@]}" | cut -d' ' -f1 | sed 's/^absent$/-/'
    [ -e "$INSTALL/$PLAN_NOTES" ] && echo notes || echo -
}

print_installation_table() {
    local labels=() snapshots=() row snapshot
    while [ $# -ge 2 ]; do
        labels+=("$1")
        snapshots+=("$2")
        shift 2
    done
    {
        printf '  %-18s' file
        printf ' %-12s' "${labels[@]}"
        echo
        for row in "${!PATCH_FILES[@]}"; do
            printf '  %-18s' "${PATCH_FILES[row]}"
            for snapshot in "${snapshots[@]}"; do
                printf ' %-12s' "$(sed -n "$((row + 1))p" <<<"$snapshot")"
            done
            echo
        done
    } | sed 's/ *$//'
}

# The helper kills the patch after WINE_RUN_SECONDS; the outer limit covers Wine itself.
run_patch() {
    wine_bounded $((WINE_RUN_SECONDS + 60)) "the patch to run" scripts/lib/wine-run "$PATCH_WORK" "$PATCH_HELPER" run \
        "$DOWNLOADS_WIN" "$DOWNLOADS_WIN\\CorvandelUpdate.exe" "$WINE_RUN_SECONDS"
}
