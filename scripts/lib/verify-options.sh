# shellcheck shell=bash
# scripts/verify-release's command line, read and checked. Source it; then:
#   verify_options ARGS...    sets release_arg (RELEASE_DIR, a folder), ca, tsa_ca, mirror,
#                             allow_unsigned, trusted_refs (as given: checked once the
#                             repository is known) and PUBLISHER_EXTRA; a usage error stops it
#                             (cannot, exit 2)
# shellcheck disable=SC2034 # set here for scripts/verify-release, which sources this
verify_options() {
    release_arg='' ca='' tsa_ca='' allow_unsigned='' mirror='' trusted_refs=()
    local -A given=()
    while [ $# -gt 0 ]; do
        case $1 in
            --publisher | --mirror | --ca | --tsa-ca | --trusted-ref)
                [ $# -ge 2 ] || cannot "$1 needs a value; $USAGE"
                [ -n "$2" ] || cannot "$1 was given an empty value; $USAGE"
                [ "$1" = --publisher ] || [ "$1" = --trusted-ref ] || [ -z "${given[$1]:-}" ] || cannot "$1 is given twice; $USAGE"
                given[$1]=yes
                case $1 in
                    --publisher)
                        [[ $(bare_fingerprint "$2") =~ ^[0-9A-F]{64}$ ]] ||
                            cannot "--publisher $(shown "$2"): not a SHA-256 fingerprint (64 hex digits)"
                        PUBLISHER_EXTRA+=("$2")
                        ;;
                    --mirror)
                        is_http_url "$2" || cannot "--mirror $(shown "$2"): not an http(s) URL"
                        mirror=${2%/}/
                        ;;
                    --trusted-ref) trusted_refs+=("$2") ;; # checked once the repository is known
                    --ca) ca=$(checked_file --ca "$2") || exit 2 ;;
                    --tsa-ca) tsa_ca=$(checked_file --tsa-ca "$2") || exit 2 ;;
                esac
                shift 2
                ;;
            --allow-unsigned) allow_unsigned=yes; shift ;;
            -h | --help) echo "$USAGE"; exit 0 ;;
            -*) cannot "unknown option $(shown "$1"); $USAGE" ;;
            *) [ -z "$release_arg" ] || cannot "one RELEASE_DIR only; $USAGE"; release_arg=$1; shift ;;
        esac
    done
    [ -n "$release_arg" ] || cannot "needs RELEASE_DIR; $USAGE"
    is_plain_text "$release_arg" || cannot "RELEASE_DIR $(shown "$release_arg"): a name with a control character in it"
    [ -d "$release_arg" ] || cannot "RELEASE_DIR $release_arg is not a folder"
}
