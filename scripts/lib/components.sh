# shellcheck shell=bash
# The kit's components as Windows will judge them: an OCX is a DLL, and
# Smart App Control and App Control for Business block an unsigned DLL from
# loading, however well the program that loads it is signed. Source it after
# kit.sh, signing.sh and publisher.sh, once check_kit has filled kit_file and
# the patch world runs; then:
#   check_component_signatures     reads each component's Authenticode signature; with
#                                  --sign-components (sign_components=yes) signs the unsigned ones
#                                  with the release's key. Sets COMPONENT_SIGNER[NAME] to
#                                  "FINGERPRINT SUBJECT", or "none"; a signature that does not verify
#                                  is a fault, an unsigned component a warning

declare -A COMPONENT_SIGNER=()

# Against the system's roots and --ca, the timestamp against them and --tsa-ca:
# the reader's facts into FACTS, its status (scripts/lib/publisher.sh).
# shellcheck disable=SC2154 # staging: set by the script that sources this
component_read() { # FILE FACTS
    trusted_roots "$staging/component-roots.pem" ${ca:+"$ca"}
    trusted_roots "$staging/component-tsa-roots.pem" ${tsa_ca:+"$tsa_ca"}
    authenticode_read "$1" "$2" "$staging/component-roots.pem" "$staging/component-tsa-roots.pem"
}

# shellcheck disable=SC2154 # timestamps: set by the script that sources this
sign_component() { # NAME
    local name=$1 signed=$staging/components/$1 v
    mkdir -p "$staging/components"
    DESCRIPTION=$name sign_exe "${kit_file[$name]}" "$signed.unstamped"
    if [ ${#timestamps[@]} -gt 0 ]; then
        timestamp_exe "$signed.unstamped" "$signed" "${timestamps[@]}"
        rm -f "$signed.unstamped"
    else
        mv "$signed.unstamped" "$signed"
    fi
    verify_exe "$signed"
    # Signing appends to the file: the patch must still read the same version.
    v=$(file_versions "$signed" | cut -d' ' -f1 | tr -d '\r')
    check_version "$name" "$signed" "$v" "$name, signed,"
    warn_row_bytes "$name" "$signed" "$name, signed,"
    kit_file["$name"]=$signed
    COMPONENT_SIGNER[$name]="$SIGNER_FINGERPRINT $SIGNER"
    say "$name: signed with the release's key as $SIGNER${TIMESTAMP_SERVER:+, timestamped by $TIMESTAMP_SERVER}; still $v"
}

# shellcheck disable=SC2034 # COMPONENT_SIGNER: set here for the scripts that source this
# shellcheck disable=SC2154 # sign_components: set by the script that sources this
check_component_signatures() {
    local name file facts subject status nested
    for name in "${COMPONENTS[@]}"; do
        file=${kit_file[$name]} facts=$staging/$name.facts status=0
        component_read "$file" "$facts" || status=$?
        if [ "$status" -eq 3 ]; then
            COMPONENT_SIGNER[$name]=none
            if [ "$sign_components" = yes ]; then
                sign_component "$name"
            else
                warn "$name is not signed: where Smart App Control or an App Control for Business policy is on, Windows blocks an unsigned DLL from loading, so Corvandel could not load it, and its Properties show no publisher; have the component team sign it, or sign it with the release's key (--sign-components)"
            fi
            continue
        fi
        subject=$(fact "$facts" signer | cut -s -d' ' -f2-)
        while IFS= read -r nested; do
            say "$name: also holds a nested signature by $nested, which Windows does not judge it by and which does not count here"
        done < <(nested_signatures "$facts")
        if [ "$status" -ne 0 ]; then
            fault "$name is signed${subject:+ by $subject}, and its signature does not verify against the system's trusted roots${ca:+ and --ca $ca} ($(signature_fault "$facts")): the kit's component was changed after signing, or its signer is not trusted"
            continue
        fi
        COMPONENT_SIGNER[$name]=$(fact "$facts" signer)
        say "$name: signed by $subject, and the signature verifies${sign_components:+; it is left as it is, never signed again}"
    done
}
