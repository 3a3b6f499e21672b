# shellcheck shell=bash
# Who the publisher is, and how a release says so: the repository's list of
# the publisher's signing certificates, the signer of an Authenticode
# signature, and the detached signature over SHA256SUMS. Shared by
# scripts/package and scripts/verify-release; source it after
# scripts/lib/signing.sh. Then:
#   PUBLISHERS                     the list: one certificate a line, its SHA-256 fingerprint and whom
#                                  it is for
#   publisher_name FINGERPRINT     the name the list, or a --publisher in PUBLISHER_EXTRA, gives it;
#                                  status 1 when none does
#   certificate_fingerprint PEM    SHA-256 fingerprint of PEM's first certificate, as AB:CD:...
#   authenticode_signer FILE OUT   the certificate that made FILE's Authenticode signature (its
#                                  signer's serial found among the signature's certificates), into
#                                  OUT; status 1 if FILE has none
#   certificate_subject PEM        PEM's subject, written as osslsigncode writes a signer
#   verify_fault LOG               why the osslsigncode verify that wrote LOG failed, in a few words
#   authenticode_verifies FILE LOG ROOTS TSA_ROOTS
#                                  status 0 when FILE's Authenticode signature (and its timestamp)
#                                  verify against ROOTS (TSA_ROOTS); osslsigncode's words in LOG
#   sign_sums SUMS P7S             a detached CMS signature (DER) over SUMS's exact bytes, by the
#                                  release's key, with its chain
#   sums_signer P7S SUMS ROOTS OUT verifies P7S over SUMS against the certificates in ROOTS; OUT gets
#                                  the signer's certificate; status 1 with SUMS_FAULT saying why

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

publisher_name() { # FINGERPRINT
    local wanted extra line
    wanted=$(bare_fingerprint "$1")
    for extra in "${PUBLISHER_EXTRA[@]}"; do
        [ "$(bare_fingerprint "$extra")" = "$wanted" ] && { echo "--publisher"; return 0; }
    done
    while read -r line; do
        [ "$(bare_fingerprint "${line%% *}")" = "$wanted" ] && { line=${line#* }; echo "${line#"${line%%[! ]*}"}"; return 0; }
    done < <(grep -v '^[[:space:]]*\(#\|$\)' "$PUBLISHERS" 2>/dev/null)
    return 1
}

# As OpenSSL prints a serial (decimal when small, 0x-hex otherwise), in bare
# hex without leading zeros, so two spellings of one serial compare equal.
bare_serial() { # SERIAL
    local serial=${1#serial=}
    case $serial in
        0x* | 0X*) serial=${serial:2} ;;
        *[!0-9]* | '') serial=${serial^^} ;; # already hex, as x509 -serial prints it
        *) serial=$(printf '%X' "$serial") ;;
    esac
    serial=${serial^^}
    serial=${serial#"${serial%%[!0]*}"}
    echo "${serial:-0}"
}

# Read from the signature itself, not from osslsigncode's report: the report
# leaves the signer out when the file's digest does not match.
authenticode_signer() { # FILE OUT
    local signature serial certs cert
    rm -f "$2" "$2.signature"
    osslsigncode extract-signature -pem -in "$1" -out "$2.signature" >/dev/null 2>&1 || return 1
    signature=$(cat "$2.signature")
    rm -f "$2.signature"
    serial=$(openssl pkcs7 -print <<<"$signature" 2>/dev/null |
        sed -n '/signer_info:/,$s/^[[:space:]]*serial: *//p' | head -n1)
    [ -n "$serial" ] || return 1
    serial=$(bare_serial "$serial")
    certs=$(openssl pkcs7 -print_certs <<<"$signature" 2>/dev/null)
    # Each certificate of the signature, one at a time, until the serial matches.
    while IFS= read -r -d '' cert; do
        [ "$(bare_serial "$(openssl x509 -noout -serial <<<"$cert" 2>/dev/null)")" = "$serial" ] || continue
        printf '%s\n' "$cert" >"$2"
        return 0
    done < <(pem_certificates <<<"$certs")
    return 1
}

# Why osslsigncode verify failed, in words that do not change with its
# version: a digest mismatch, or the chain's first error.
verify_fault() { # LOG
    local reason
    if grep -q 'MISMATCH' "$1"; then
        echo "the file's digest is not the one signed"
        return
    fi
    reason=$(sed -n 's/.*Verify error: *//p' "$1" | head -n1)
    shown "${reason:-see osslsigncode verify}"
    echo
}

# In the form osslsigncode names a signer: /C=../O=../CN=..
# A certificate is anyone's: its subject is shown as plain text on one line.
certificate_subject() { # PEM
    shown "$(openssl x509 -in "$1" -noout -subject -nameopt compat 2>/dev/null | sed 's/^subject= *//')"
}

authenticode_verifies() { # FILE LOG ROOTS TSA_ROOTS
    timeout 60 osslsigncode verify -in "$1" -CAfile "$3" -TSA-CAfile "$4" >"$2" 2>&1 || true
    grep -qx 'Signature verification: ok' "$2" || return 1
    ! grep -q 'Timestamp Server Signature verification: failed' "$2"
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

SUMS_FAULT=
# shellcheck disable=SC2034 # SUMS_FAULT: set here for the scripts that source this
sums_signer() { # P7S SUMS ROOTS OUT
    # A code-signing certificate signs it, so no e-mail purpose is asked of it.
    if ! openssl cms -verify -binary -inform DER -in "$1" -content "$2" -CAfile "$3" -purpose any -out /dev/null \
        -signer "$4" >"$4.log" 2>&1; then
        SUMS_FAULT=$(grep -m1 -o 'Verify error:.*\|[a-z ]*digest failure\|certificate verify error.*' "$4.log" ||
            tail -n1 "$4.log")
        return 1
    fi
}
