# shellcheck shell=bash
# What Wine can run on this machine, and how to start it: the one place every
# script that runs Wine asks. Source it; then:
#   wine_runs_32bit          status 0 where Wine starts 32-bit Windows programs. Found by starting
#                            the 32-bit loader, never guessed from the kernel; CORVANDEL_WINE_32BIT=no
#                            makes any machine answer no, so that path can be checked anywhere
#   wine_host_line           one line saying what this machine runs under Wine
#   WINE_NO_32BIT            why a 32-bit program cannot be run here, for skip messages
#   wine_use_prefix PREFIX [ARCH]
#                            exports WINEPREFIX, WINEARCH, WINELOADER and WINE, the loader to start
#                            programs with (ARCH win32 or win64; by default the prefix's own)
#   pe_is_32bit FILE         status 0 when FILE is a 32-bit Windows program or library
#   WINE_BOOT_SECONDS, WINE_RUN_SECONDS
#                            how long a prefix's boot, and one program's run on Wine, may take: far
#                            more than either needs, so that they hold on a loaded machine (two test
#                            commands side by side on two cores), and still end a hang
#   wine_bounded SECONDS WHAT COMMAND...
#                            COMMAND, for at most SECONDS; past that, one line on stderr says what it
#                            waited for, and the status is 124. COMMAND gets no TMPDIR (see below)
#
# Debian's /usr/bin/wine (and wineboot, winepath, regedit through it) always
# starts the 32-bit loader when wine32 is installed, so nothing here goes
# through it: a 64-bit prefix is driven by the 64-bit loader, which starts the
# 32-bit one itself for a 32-bit program (WOW64) where the machine can.

WINE32_LOADER=/usr/lib/wine/wine
WINE64_LOADER=/usr/lib/wine/wine64
WINE_NO_32BIT_WHY="this machine cannot start 32-bit programs"
[ "${CORVANDEL_WINE_32BIT:-}" != no ] ||
    WINE_NO_32BIT_WHY="CORVANDEL_WINE_32BIT=no: treated as a machine that cannot start 32-bit programs"
# shellcheck disable=SC2034 # WINE_NO_32BIT: set here for the scripts that source this
WINE_NO_32BIT="$WINE_NO_32BIT_WHY, so Wine runs no 32-bit Windows program here"

# shellcheck disable=SC2034 # WINE_BOOT_SECONDS, WINE_RUN_SECONDS: set here for the scripts that source this
WINE_BOOT_SECONDS=600 WINE_RUN_SECONDS=300

# Debian 13's Wine 10 aborts as it starts ("free(): invalid pointer") whenever
# TMPDIR is set, whatever its value; the tests set it to keep the temporary
# files of runs side by side apart, and users set it too. So no Wine process,
# nor wineserver, is given one: wine_bounded, wine-session and wine-run leave it
# out, and what is started otherwise is started by env -u TMPDIR.
wine_bounded() { # SECONDS WHAT COMMAND...
    local seconds=$1 what=$2 status=0
    shift 2
    env -u TMPDIR timeout "$seconds" "$@" || status=$?
    [ "$status" -ne 124 ] || echo "timed out after $seconds s waiting for $what" >&2
    return "$status"
}

wine_runs_32bit() {
    [ "${CORVANDEL_WINE_32BIT:-}" != no ] || return 1
    if [ -z "${CORVANDEL_WINE_32BIT_FOUND:-}" ]; then
        local status=0
        CORVANDEL_WINE_32BIT_FOUND=no
        wine_bounded "$WINE_RUN_SECONDS" "the 32-bit loader's version" "$WINE32_LOADER" --version >/dev/null 2>&1 || status=$?
        [ "$status" -ne 0 ] || CORVANDEL_WINE_32BIT_FOUND=yes
        # A loader that hangs is a broken Wine, not a machine without 32-bit programs: said, never silent.
        [ "$status" -ne 124 ] || echo "wine: $WINE32_LOADER --version still running after $WINE_RUN_SECONDS s: Wine is broken here; 32-bit programs are treated as not running" >&2
        export CORVANDEL_WINE_32BIT_FOUND # asked once, for this script and what it starts
    fi
    [ "$CORVANDEL_WINE_32BIT_FOUND" = yes ]
}

wine_host_line() {
    if wine_runs_32bit; then
        echo "Wine runs 32-bit and 64-bit Windows programs here"
    else
        echo "Wine runs only 64-bit Windows programs here ($WINE_NO_32BIT_WHY)"
    fi
}

wine_use_prefix() { # PREFIX [ARCH]
    local arch=${2:-}
    if [ -z "$arch" ]; then
        arch=$(sed -n 's/^#arch=//p' "$1/system.reg" 2>/dev/null | head -n1)
        arch=${arch:-win32}
    fi
    case $arch in
        win32) WINE=$WINE32_LOADER ;;
        win64) WINE=$WINE64_LOADER ;;
        *) echo "wine-host: unknown prefix architecture $arch" >&2; return 2 ;;
    esac
    export WINEPREFIX=$1 WINEARCH=$arch WINELOADER=$WINE WINE
    # No Mono or Gecko to install, and no menu entries or file associations for the
    # desktop (winemenubuilder would write them in the user's home at every start).
    export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
}

pe_is_32bit() { # FILE: the machine field of the PE header is 0x014c for i386
    local header machine
    header=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ') || return 1
    [ -n "$header" ] || return 1
    machine=$(od -An -tx2 -j$((header + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
    [ "$machine" = 014c ]
}
