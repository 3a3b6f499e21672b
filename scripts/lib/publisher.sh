# shellcheck shell=bash
# Who the publisher is, and how a release says so: the repository's list of
# the publisher's signing certificates, the signer of an Authenticode
# signature, and the detached signature over SHA256SUMS. Every signature is
# read and judged by scripts/lib/release_reader.py, from its structure: the
# primary signature alone decides, its signer is the certificate it names by
# issuer and serial, nested signatures are listed and never count. Shared by
# scripts/package and scripts/verify-release; source it after
# scripts/lib/signing.sh and scripts/lib/release-record.sh (release_reader). Then:
#   PUBLISHERS                     the list: one certificate a line, its SHA-256 fingerprint and whom
#                                  it is for
#   publisher_name FINGERPRINT     the name the list, or a --publisher in PUBLISHER_EXTRA, gives it;
#                                  status 1 when none does, 2 when the list cannot be read
#   certificate_fingerprint PEM    SHA-256 fingerprint of PEM's first certificate, as AB:CD:...
#   publishers_listed              how many certificates the list holds; status 1 with the reason when
#                                  it cannot be read
#   authenticode_read FILE FACTS ROOTS TSA_ROOTS
#                                  the reader's facts of FILE's Authenticode signature into FACTS (its
#                                  complaint, if any, into FACTS.err); status 0 it verifies against
#                                  ROOTS (its timestamp against TSA_ROOTS), 1 it does not, 2 it cannot
#                                  be read, 3 FILE is unsigned
#   sums_read P7S SUMS FACTS ROOTS the same for the detached CMS signature P7S over SUMS (0, 1 or 2)
#   fact FACTS KEY                 the value of the fact KEY (signer, publisher, timestamp): the signer
#                                  as "FINGERPRINT SUBJECT"
#   first_fault FACTS KIND...      the first fault of those KINDs (digest, signature, chain,
#                                  timestamp), in a few words; nothing when there is none
#   signature_fault FACTS          its first fault of any kind, or why it could not be read
#   nested_signatures FACTS        each nested signature's "SUBJECT (FINGERPRINT)", one a line
#   sign_sums SUMS P7S             a detached CMS signature (DER) over SUMS's exact bytes, by the
#                                  release's key, with its chain

PUBLISHERS=release/publishers
PUBLISHER_EXTRA=()

# Each PEM certificate of the input, NUL-terminated, for read -d ''.
pem_certificates() {
    awk '/-----BEGIN CERTIFICATE-----/ { on = 1 } on { print } /-----END CERTIFICATE-----/ { on = 0; printf "%c", 0 }'
}

bare_fingerprint() { tr -d ': \t' <<<"${1^^}"; }

certificate_fingerprint() { # PEM
    openssl x509 -in "$1" -noout -fingerprint -sha256 2>/dev/null | sed 's/^.*=//'
}

# Who the publisher is, for the reader: the list and each --publisher.
publisher_options() {
    local extra
    [ ! -f "$PUBLISHERS" ] || printf '%s\0' --publishers "$PUBLISHERS"
    for extra in "${PUBLISHER_EXTRA[@]}"; do printf '%s\0' --publisher "$extra"; done
}

publisher_name() { # FINGERPRINT
    local wanted listed status=0 fingerprint name
    wanted=$(bare_fingerprint "$1")
    for listed in "${PUBLISHER_EXTRA[@]}"; do
        [ "$(bare_fingerprint "$listed")" = "$wanted" ] && { echo "--publisher"; return 0; }
    done
    [ -f "$PUBLISHERS" ] || return 1
    listed=$(release_reader publishers "$PUBLISHERS") || status=2
    [ "$status" -eq 0 ] || return 2
    while read -r fingerprint name; do
        [ "$fingerprint" = "$wanted" ] && { echo "$name"; return 0; }
    done <<<"$listed"
    return 1
}

# How many certificates the list holds; on a list that cannot be read, why, and status 1.
publishers_listed() {
    local listed
    [ -f "$PUBLISHERS" ] || { echo 0; return 0; }
    listed=$(release_reader publishers "$PUBLISHERS" 2>&1) || { echo "$listed"; return 1; }
    [ -n "$listed" ] || { echo 0; return 0; }
    wc -l <<<"$listed"
}

authenticode_read() { # FILE FACTS ROOTS TSA_ROOTS
    local publishers=()
    mapfile -t -d '' publishers < <(publisher_options)
    timeout 120 /usr/bin/python3 -E -s "$RELEASE_READER" authenticode "$1" --roots "$3" --tsa-roots "$4" "${publishers[@]}" \
        >"$2" 2>"$2.err"
}

sums_read() { # P7S SUMS FACTS ROOTS
    local publishers=()
    mapfile -t -d '' publishers < <(publisher_options)
    timeout 120 /usr/bin/python3 -E -s "$RELEASE_READER" cms "$1" "$2" --roots "$4" "${publishers[@]}" >"$3" 2>"$3.err"
}

fact() { sed -n "s/^$2 //p" "$1" | head -n1; } # FACTS KEY

first_fault() { # FACTS KIND...
    local kind reason
    for kind in "${@:2}"; do
        reason=$(fact "$1" "fault $kind")
        [ -z "$reason" ] || { echo "$reason"; return; }
    done
}

signature_fault() { # FACTS
    local reason
    reason=$(first_fault "$1" digest signature chain timestamp)
    [ -n "$reason" ] || reason=$(head -n1 "$1.err" 2>/dev/null || true)
    echo "${reason:-the reader gave no reason}"
}

nested_signatures() { # FACTS
    local fingerprint subject
    while read -r fingerprint subject; do
        echo "$subject ($fingerprint)"
    done < <(sed -n 's/^nested //p' "$1")
}

# The chain's certificates but the signer's own, which CMS adds by itself.
# shellcheck disable=SC2154 # staging: set by the script that sources this
chain_above_signer() { # OUT
    local signer cert
    signer=$(certificate_fingerprint "$staging/signer.pem")
    : >"$1"
    while IFS= read -r -d '' cert; do
        [ "$(openssl x509 -noout -fingerprint -sha256 <<<"$cert" 2>/dev/null | sed 's/^.*=//')" = "$signer" ] ||
            printf '%s\n' "$cert" >>"$1"
    done < <(pem_certificates <"$staging/chain.pem")
}

# One back end per key store, as for the exe: the key stays where it is.
# shellcheck disable=SC2154 # pfx: set by the script that sources this
sums_sign_pfx() { # SUMS P7S CHAIN
    with_secret CORVANDEL_PFX_PASSWORD openssl cms -sign -binary -noattr -md sha256 -in "$1" -signer "$staging/signer.pem" ${3:+-certfile "$3"} \
        -inkey "$pfx" -passin env:CORVANDEL_PFX_PASSWORD -outform DER -out "$2"
}
# shellcheck disable=SC2154 # pkcs11_key, pkcs11_module: set by the script that sources this
sums_sign_pkcs11() { # SUMS P7S CHAIN
    PKCS11_MODULE_PATH=$pkcs11_module with_secret CORVANDEL_PKCS11_PIN openssl cms -sign -binary -noattr -md sha256 -in "$1" \
        -signer "$staging/signer.pem" ${3:+-certfile "$3"} -engine "$PKCS11_ENGINE" -keyform engine \
        -inkey "$pkcs11_key" -passin env:CORVANDEL_PKCS11_PIN -outform DER -out "$2"
}
# shellcheck disable=SC2154 # signing_store: set by the script that sources this
sign_sums() { # SUMS P7S
    local chain=$staging/chain-above-signer.pem
    chain_above_signer "$chain"
    [ -s "$chain" ] || chain=
    "sums_sign_$signing_store" "$1" "$2" "$chain" >"$staging/sums.log" 2>&1 || {
        grep -v '^Engine ' "$staging/sums.log" >&2
        stop "signing SHA256SUMS with $SIGNER_SOURCE failed"
    }
}
