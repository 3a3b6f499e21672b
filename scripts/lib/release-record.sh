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
#   record_check FILE KIND         status 0 when FILE, a BUILDINFO (KIND BUILDINFO) or the pin (KIND
#                                  pin), holds only what such a record may: known fields, each once,
#                                  each value in its own syntax (Debian's for the suite, package
#                                  names and versions), exactly BUILD_PACKAGES as its toolchain;
#                                  else status 1 with RECORD_FAULT naming the line and the fault.
#                                  The readers below are only ever given a record checked so
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

RECORD_LIMIT_BYTES=65536
RECORD_FAULT=
record_fault() { RECORD_FAULT="${record_name}${number:+ line $number}: $(shown "$*")"; }

# What each field's value may be, and whether the field may stand in a KIND of record.
record_value_fault() { # KIND FIELD VALUE: prints what is wrong, nothing when the value may be
    local kind=$1 field=$2 value=$3 component
    if [ "$kind" = pin ]; then
        case $field in Build-Suite | Installed-Build-Depends) ;; *) echo "$field is not a field of the pin"; return ;; esac
    fi
    case $field in
        Format) [ "$value" = 1.0 ] || echo "Format \"$value\" is not 1.0" ;;
        Source) [ "$value" = CorvandelUpdate ] || echo "Source \"$value\" is not CorvandelUpdate" ;;
        Commit) is_commit "$value" || echo "Commit \"$value\" is not 40 hex digits" ;;
        Source-Tree) [[ $value == clean || $value == dirty ]] || echo "Source-Tree \"$value\" is neither clean nor dirty" ;;
        Source-Date-Epoch) [[ $value =~ ^[0-9]{1,12}$ ]] || echo "Source-Date-Epoch \"$value\" is not a number of seconds" ;;
        Build-Architecture) [[ $value =~ ^[a-z0-9][a-z0-9-]{0,31}$ ]] || echo "Build-Architecture \"$value\" is not a Debian architecture's name" ;;
        Build-Suite) is_debian_suite "$value" || echo "Build-Suite \"$value\" is not a Debian suite's name" ;;
        Build-Root) ;;
        Installed-Build-Depends) [ -z "$value" ] || echo "Installed-Build-Depends holds a value on its own line; it lists one package a line below it" ;;
        Osslsigncode) [[ $value =~ ^([0-9]+(\.[0-9]+)*)?$ ]] || echo "Osslsigncode \"$value\" is not a version" ;;
        Unsigned-Exe-Sha256 | Released-Exe-Sha256 | Signature-Sha256)
            is_sha256 "$value" || echo "$field \"$value\" is not 64 lower-case hex digits" ;;
        Component-Signer-*)
            for component in "${COMPONENTS[@]}"; do [ "$field" != "Component-Signer-$component" ] || break; done
            [ "$field" = "Component-Signer-$component" ] || { echo "$field names no component of the patch"; return; }
            [[ $value == none || $value =~ ^([0-9A-F]{2}:){31}[0-9A-F]{2}\ .+$ ]] ||
                echo "$field \"$value\" is neither none nor a SHA-256 fingerprint and a subject" ;;
        *) echo "$field is not a field of a BUILDINFO" ;;
    esac
}

record_check() { # FILE KIND
    local file=$1 kind=$2 record_name number='' line field value wrong depends='' package version listed
    local -A seen=() packages=()
    record_name=$([ "$kind" = pin ] && echo "$RELEASE_PIN" || echo BUILDINFO)
    RECORD_FAULT=
    { [ -f "$file" ] && [ ! -L "$file" ]; } || { record_fault "not a regular file"; return 1; }
    [ "$(stat -c %s "$file")" -le "$RECORD_LIMIT_BYTES" ] || { record_fault "larger than $RECORD_LIMIT_BYTES bytes"; return 1; }
    number=0
    while IFS= read -r line || [ -n "$line" ]; do
        number=$((number + 1))
        is_plain_text "$line" || { record_fault "holds a character that is not printable ASCII (a control character, or CR)"; return 1; }
        if [ -n "$depends" ] && [[ $line == " "* ]]; then
            [[ $line =~ ^\ ([^ ]+)\ \(=\ ([^ ]+)\)(,?)$ ]] ||
                { record_fault "\"$line\" is not \" PACKAGE (= VERSION),\""; return 1; }
            package=${BASH_REMATCH[1]} version=${BASH_REMATCH[2]}
            is_debian_package "$package" || { record_fault "\"$package\" is not a Debian package's name"; return 1; }
            is_debian_version "$version" || { record_fault "$package's version \"$version\" is not a Debian version"; return 1; }
            [[ " ${BUILD_PACKAGES[*]} " == *" $package "* ]] ||
                { record_fault "$package is not one of the packages that shape the exe (${BUILD_PACKAGES[*]})"; return 1; }
            [ -z "${packages[$package]:-}" ] || { record_fault "$package is listed twice"; return 1; }
            packages[$package]=$version
            continue
        fi
        depends=
        [[ $kind == pin && ( $line == "#"* || -z $line ) ]] && continue
        [[ $line =~ ^([A-Z][A-Za-z0-9.-]*):(\ (.*))?$ ]] || { record_fault "\"$line\" is not \"Field: value\""; return 1; }
        field=${BASH_REMATCH[1]} value=${BASH_REMATCH[3]}
        [ -z "${seen[$field]:-}" ] || { record_fault "$field is given twice (first on line ${seen[$field]})"; return 1; }
        seen[$field]=$number
        wrong=$(record_value_fault "$kind" "$field" "$value")
        [ -z "$wrong" ] || { record_fault "$wrong"; return 1; }
        [ "$field" != Installed-Build-Depends ] || depends=yes
    done <"$file"
    number=
    [ -z "${seen[Installed-Build-Depends]:-}" ] && [ "$kind" != pin ] && return 0
    listed=${!packages[*]}
    for package in "${BUILD_PACKAGES[@]}"; do
        [ -n "${packages[$package]:-}" ] || { record_fault "Installed-Build-Depends does not list $package${listed:+ (it lists $(tr ' ' '\n' <<<"$listed" | sort | xargs))}"; return 1; }
    done
}

# shellcheck disable=SC2034 # RECORD_FAULT: set here for the scripts that source this
sums_check() { # FILE NAME...
    local file=$1 line name record_name=SHA256SUMS number=0
    local -A wanted=() seen=()
    shift
    for name in "$@"; do wanted[$name]=yes; done
    RECORD_FAULT=
    { [ -f "$file" ] && [ ! -L "$file" ] && [ "$(stat -c %s "$file")" -le 4096 ]; } ||
        { number= && record_fault "not a regular file of at most 4096 bytes"; return 1; }
    while IFS= read -r line || [ -n "$line" ]; do
        number=$((number + 1))
        [[ $line =~ ^[0-9a-f]{64}\ \ ([A-Za-z0-9._-]+)$ ]] ||
            { record_fault "\"$(shown "$line")\" is not \"SHA-256  NAME\" for a file of the release"; return 1; }
        name=${BASH_REMATCH[1]}
        [ -n "${wanted[$name]:-}" ] || { record_fault "$name is not a file of the release"; return 1; }
        [ -z "${seen[$name]:-}" ] || { record_fault "$name is listed twice"; return 1; }
        seen[$name]=yes
    done <"$file"
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
