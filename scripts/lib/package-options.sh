# shellcheck shell=bash
# scripts/package's command line, read and checked. Source it; then:
#   package_options ARGS...   sets kit and out (KIT_DIR and OUT_DIR, resolved), the
#                             signing options (pfx, pkcs11_module, pkcs11_key,
#                             cert_file, signing_store), timestamps, tsa_ca, ca and
#                             sign_components; a usage error stops it (stop, exit 2)
# Every value is checked before it is used; an option given twice, or with an
# empty value (a CI variable never set, say), is a usage error, never a quiet
# default: an empty --pfx must not publish an unsigned release.
# shellcheck disable=SC2034 # set here for scripts/package, which sources this
package_options() {
    local arguments=()
    timestamps=()
    pfx='' pkcs11_module='' pkcs11_key='' cert_file='' tsa_ca='' ca='' sign_components=
    local -A given=()
    while [ $# -gt 0 ]; do
        case $1 in
            --sign-components) sign_components=yes; shift ;;
            --pfx | --pkcs11-module | --pkcs11-key | --cert | --timestamp | --tsa-ca | --ca)
                [ $# -ge 2 ] || stop "$1 needs a value; $USAGE"
                [ -n "$2" ] || stop "$1 was given an empty value; $USAGE"
                [ "$1" = --timestamp ] || [ -z "${given[$1]:-}" ] || stop "$1 is given twice; $USAGE"
                given[$1]=yes
                case $1 in
                    --pfx) pfx=$2 ;;
                    --pkcs11-module) pkcs11_module=$2 ;;
                    --pkcs11-key) pkcs11_key=$2 ;;
                    --cert) cert_file=$2 ;;
                    --timestamp) timestamps+=("$2") ;;
                    --tsa-ca) tsa_ca=$2 ;;
                    --ca) ca=$2 ;;
                esac
                shift 2
                ;;
            -h | --help) echo "$USAGE"; exit 0 ;;
            -*) stop "unknown option $(shown "$1"); $USAGE" ;;
            *) arguments+=("$1"); shift ;;
        esac
    done
    [ ${#arguments[@]} -eq 2 ] || stop "needs KIT_DIR and OUT_DIR; $USAGE"
    kit_arg=${arguments[0]} out_arg=${arguments[1]}
    checked_environment
    # KIT_DIR itself may be a link: the packager names it on the command line,
    # and every entry inside is still checked, links refused.
    [ -n "$kit_arg" ] || stop "KIT_DIR is empty; $USAGE"
    is_plain_text "$kit_arg" || stop "KIT_DIR $(shown "$kit_arg"): a name with a control character in it"
    [ -d "$kit_arg" ] || stop "KIT_DIR $kit_arg is not a folder"
    kit=$(realpath -- "$kit_arg")
    out_check "$out_arg"
    # shellcheck disable=SC2154 # out: set by out_check (release-out.sh)
    case $out/ in "$kit"/*) stop "OUT_DIR $out_arg is inside KIT_DIR $kit_arg: its files would join the kit" ;; esac
    check_signing_options
    [ -z "$sign_components" ] || [ -n "$signing_store" ] ||
        stop "--sign-components needs --pfx or --pkcs11-key: the components are signed with the release's key"
    [ -z "$ca" ] || ca=$(checked_file --ca "$ca")
}
