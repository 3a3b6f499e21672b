# shellcheck shell=bash
# What a release records about its own making, and how its detached
# signature is put back: shared by scripts/package, which writes BUILDINFO
# and CorvandelUpdate.exe.pem, and scripts/verify-release, which checks them.
# Source it after scripts/lib/signing.sh (osslsigncode_version).
#   PATCH_NAMES                    the files users run, as the zip and SHA256SUMS hold them: the exe
#                                  and the plan's components and notes (scripts/lib/plan.sh)
#   COMPONENTS                     the components among them
#   EXE_SOURCES                    what the exe is built from: a release's commit must hold them as built
#   BUILD_PACKAGES                 Debian's packages that shape the exe's bytes
#   toolchain_versions             "PACKAGE VERSION" for each, as installed here, or in the root
#                                  whose dpkg database TOOLCHAIN_ADMINDIR names
#   write_buildinfo FILE           from COMMIT SOURCE_TREE PINNED_TIME BUILD_SUITE UNSIGNED_SHA256
#                                  RELEASED_SHA256 and SIGNATURE_SHA256 ("" when unsigned), the
#                                  toolchain in TOOLCHAIN_FILE as toolchain_versions wrote it, and each component's
#                                  signer from COMPONENT_SIGNER ("FINGERPRINT SUBJECT" or "none")
#   release_reader ARGS...         scripts/lib/release_reader.py, with Debian's /usr/bin/python3
#   record_check FILE KIND         status 0 when FILE, a BUILDINFO (KIND BUILDINFO) or the pin (KIND
#                                  pin), holds only what such a record may: known fields, each once,
#                                  each value in its own syntax (Debian's for the suite, package
#                                  names and versions), exactly BUILD_PACKAGES as its toolchain;
#                                  else status 1 with RECORD_FAULT naming the line and the fault
#                                  (read by the release reader). The readers below are only ever
#                                  given a record checked so
#   sums_check FILE NAME...        status 0 when FILE is a SHA256SUMS in sha256sum's own format that
#                                  lists only NAMEs, each at most once; else status 1 with RECORD_FAULT
#   buildinfo_field FILE FIELD     a one-line field's value
#   buildinfo_toolchain FILE       the recorded "PACKAGE VERSION" lines
#   attach_signature PEM IN OUT    IN with the signature PEM attached, as the signer's tool attaches it
#   first_difference A B [SKIP]    the first offset at which A and B differ ("" for none); with
#                                  SKIP=signature, the fields signing changes in A's PE header are
#                                  skipped and B may go on past A's end (its signature)

source "${BASH_SOURCE[0]%/*}/outside-values.sh"
source "$(dirname "${BASH_SOURCE[0]}")/plan.sh" || return 1
# shellcheck disable=SC2034 # PATCH_NAMES: set here for the scripts that source this
PATCH_NAMES=(CorvandelUpdate.exe "${PLAN_COMPONENTS[@]}" "$PLAN_NOTES")
COMPONENTS=("${PLAN_COMPONENTS[@]}")
# shellcheck disable=SC2034 # EXE_SOURCES: set here for the scripts that source this
EXE_SOURCES=(update checks plan messages platform cmake CMakeLists.txt CMakePresets.json)
BUILD_PACKAGES=(
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix gcc-mingw-w64-i686-posix-runtime gcc-mingw-w64-base
    binutils-mingw-w64-i686 mingw-w64-i686-dev mingw-w64-common cmake cmake-data make
)

toolchain_versions() {
    local package version
    for package in "${BUILD_PACKAGES[@]}"; do
        version=$(dpkg-query ${TOOLCHAIN_ADMINDIR:+--admindir="$TOOLCHAIN_ADMINDIR"} -W -f='${Version}' "$package" \
            2>/dev/null) || version=
        echo "$package ${version:-(not installed)}"
    done
}

# Plain "Field: value" text, as Debian's .buildinfo; the toolchain as its
# Installed-Build-Depends, one package a line.
write_buildinfo() { # FILE
    {
        echo "Format: 1.0"
        echo "Source: CorvandelUpdate"
        echo "Commit: $COMMIT"
        echo "Source-Tree: $SOURCE_TREE"
        echo "Source-Date-Epoch: $PINNED_TIME"
        echo "Build-Architecture: $(dpkg --print-architecture)"
        echo "Build-Suite: $BUILD_SUITE"
        echo "Build-Root: mmdebstrap --variant=minbase, the versions below pinned"
        echo "Installed-Build-Depends:"
        awk '{ printf " %s (= %s)%s\n", $1, $2, NR < n ? "," : "" }' n=${#BUILD_PACKAGES[@]} "$TOOLCHAIN_FILE"
        echo "Osslsigncode: $(osslsigncode_version)"
        echo "Unsigned-Exe-Sha256: $UNSIGNED_SHA256"
        echo "Released-Exe-Sha256: $RELEASED_SHA256"
        [ -z "$SIGNATURE_SHA256" ] || echo "Signature-Sha256: $SIGNATURE_SHA256"
        for name in "${COMPONENTS[@]}"; do echo "Component-Signer-$name: ${COMPONENT_SIGNER[$name]:-none}"; done
    } >"$1"
}

RELEASE_READER=$(cd "${BASH_SOURCE[0]%/*}" && pwd)/release_reader.py
# Debian's interpreter and its python3-* packages, whatever python3 comes first on PATH.
release_reader() { /usr/bin/python3 -E -s "$RELEASE_READER" "$@"; }

# The records are read by the release reader, which knows each field's syntax;
# the packages and components it is given are written once, here and in the plan.
RECORD_FAULT=
# shellcheck disable=SC2034 # RECORD_FAULT: set here for the scripts that source this
record_check() { # FILE KIND
    local name=BUILDINFO listed=() item
    [ "$2" != pin ] || name=$RELEASE_PIN
    for item in "${BUILD_PACKAGES[@]}"; do listed+=(--package "$item"); done
    for item in "${COMPONENTS[@]}"; do listed+=(--component "$item"); done
    RECORD_FAULT=$(release_reader record "$1" --kind "$2" --name "$name" "${listed[@]}" 2>&1) && return 0
    RECORD_FAULT=${RECORD_FAULT:-$name: the release reader gave no reason}
    return 1
}

# shellcheck disable=SC2034 # RECORD_FAULT: set here for the scripts that source this
sums_check() { # FILE NAME...
    local names=() name
    for name in "${@:2}"; do names+=(--name "$name"); done
    RECORD_FAULT=$(release_reader sums "$1" "${names[@]}" 2>&1) && return 0
    RECORD_FAULT=${RECORD_FAULT:-SHA256SUMS: the release reader gave no reason}
    return 1
}

buildinfo_field() { # FILE FIELD
    sed -n "s/^$2: *\\(.*[^ ]\\) *\$/\\1/p" "$1" | head -n1
}

buildinfo_toolchain() { # FILE
    awk '/^Installed-Build-Depends:/ { on = 1; next } on && /^ / { gsub(/[(=),]/, ""); print $1, $2; next } { on = 0 }' "$1"
}

# osslsigncode 2.5 to 2.13 verify the signature while attaching it, and may
# end with failure while the bytes are right (no CRL to be had offline, a
# root this machine lacks): the bytes are what is judged, the status is not.
attach_signature() { # PEM IN OUT
    rm -f "$3"
    timeout 60 osslsigncode attach-signature -sigin "$1" -in "$2" -out "$3" >"$3.log" 2>&1 || true
    [ -s "$3" ]
}

first_difference() { # A B [signature]
    local skip=() lengths
    if [ "${3:-}" = signature ]; then
        # The PE checksum, and the certificate table's entry in the data directory.
        local header optional checksum certificates
        header=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
        optional=$((header + 24))
        checksum=$((optional + 64))
        case $(od -An -tx2 -j"$optional" -N2 "$1" | tr -d ' ') in
            020b) certificates=$((optional + 112 + 32)) ;; # PE32+
            *) certificates=$((optional + 96 + 32)) ;;
        esac
        skip=("$checksum" 4 "$certificates" 8)
    fi
    lengths="$(stat -c %s "$1") $(stat -c %s "$2")"
    cmp -l "$1" "$2" 2>/dev/null | awk -v skip="${skip[*]}" -v lengths="$lengths" -v signature="${3:-}" '
        BEGIN { n = split(skip, s, " "); split(lengths, len, " ") }
        {
            offset = $1 - 1
            for (i = 1; i < n; i += 2) if (offset >= s[i] && offset < s[i] + s[i + 1]) next
            print offset; found = 1; exit
        }
        END {
            if (found) exit
            # Equal up to the shorter one: a longer B is A signed, a shorter one differs at its end.
            if (len[1] != len[2] && !(signature && len[2] > len[1])) print (len[1] < len[2] ? len[1] : len[2])
        }'
}
