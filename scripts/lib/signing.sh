# shellcheck shell=bash
# Signing for scripts/package: one back end per key store, then one
# timestamp step (scripts/lib/timestamps.sh) and one verify path shared by all. Source it after package's
# say, stop and fault are defined and $staging exists. A key store STORE is a
# pair of functions, and a third key store is a third pair:
#   signer_open_STORE        before anything is built: checks the store can be used and writes
#                            $staging/signer.pem (the signing certificate) and $staging/chain.pem
#                            (it and the rest of its chain); stops (exit 2) with one line if not
#   signer_sign_STORE IN OUT Authenticode, SHA-256, the description, the pinned signing time
# and sets SIGNER_SOURCE, how messages name where the key is.
#
# Secrets come only from the environment (CORVANDEL_PFX_PASSWORD,
# CORVANDEL_PKCS11_PIN) and reach the tools through openssl's env: source or
# a pipe that awk writes (secret_out): never an argument, never printed,
# never written to disk, and never expanded by the shell, whose trace
# (bash -x, SHELLOPTS=xtrace) would show it.
#
# The caller sets: signing_store (pfx or pkcs11), pfx, pkcs11_module, pkcs11_key, cert_file,
# timestamps (an array of URLs), tsa_ca, DESCRIPTION, pinned_time.

source "${BASH_SOURCE[0]%/*}/outside-values.sh"
source "${BASH_SOURCE[0]%/*}/timestamps.sh"

PKCS11_ENGINE=pkcs11
SYSTEM_ROOTS=/etc/ssl/certs/ca-certificates.crt
# Debian 12's own 2.5 (bookworm), its backport 2.9 and Debian 13's 2.9: all
# sign, timestamp and verify alike, and only word their output differently.
# Older ones are refused.
OSSLSIGNCODE_SUPPORTED=(2.5 2.9)

# (Its whole output is read: a version that exits non-zero, as 2.1 does, gives none.)
osslsigncode_version() {
    local said
    said=$(osslsigncode --version 2>/dev/null) || return 0
    sed -n '1s/^osslsigncode \([0-9][0-9.]*\).*/\1/p' <<<"$said"
}

check_osslsigncode() {
    local found oldest=${OSSLSIGNCODE_SUPPORTED[0]} said status=0
    said=$(osslsigncode --version 2>&1) || status=$?
    [ "$status" -eq 0 ] ||
        stop "osslsigncode --version failed (exit status $status: $(shown "$(head -n1 <<<"$said")")): packaging needs osslsigncode $oldest or later, which names its version; install Debian's (as root: apt-get install osslsigncode, or scripts/setup)"
    found=$(osslsigncode_version)
    [ -n "$found" ] || stop "osslsigncode does not say its version; signing needs osslsigncode $oldest or later"
    [ "$(printf '%s\n' "$oldest" "$found" | sort -V | head -n1)" = "$oldest" ] ||
        stop "osslsigncode $found found; signing needs osslsigncode $oldest or later (Debian 12 has $oldest)"
}

# The signing options as given: which key store, and each file or URL usable.
# Sets signing_store ("" for none) and makes the files' paths full. An option
# given with an empty value never gets here: that is a usage error.
# shellcheck disable=SC2154 # timestamps: set by the script that sources this
check_signing_options() {
    local url
    signing_store=
    [ -z "$pfx" ] || signing_store=pfx
    if [ -n "$pkcs11_key$pkcs11_module" ]; then
        [ -z "$pfx" ] || stop "--pfx and --pkcs11-key name two keys: give one; $USAGE"
        { [ -n "$pkcs11_key" ] && [ -n "$pkcs11_module" ]; } || stop "--pkcs11-module and --pkcs11-key go together; $USAGE"
        signing_store=pkcs11
    fi
    [ -z "$cert_file" ] || [ "$signing_store" = pkcs11 ] || stop "--cert goes with --pkcs11-key (a PFX holds its own chain)"
    if [ "$signing_store" = pfx ]; then
        pfx=$(checked_file --pfx "$pfx")
        [ -n "${CORVANDEL_PFX_PASSWORD+set}" ] ||
            stop "--pfx needs the PFX's password in the environment variable CORVANDEL_PFX_PASSWORD (empty for none)"
    elif [ "$signing_store" = pkcs11 ]; then
        pkcs11_module=$(checked_file --pkcs11-module "$pkcs11_module")
        [ -z "$cert_file" ] || cert_file=$(checked_file --cert "$cert_file")
        is_pkcs11_uri "$pkcs11_key" || stop "--pkcs11-key $(shown "$pkcs11_key"): not a pkcs11: URI (RFC 7512)"
        # A PIN written into the URI would be an argument of every tool it is given to.
        [[ ${pkcs11_key,,} != *pin-value=* && ${pkcs11_key,,} != *pin-source=* ]] ||
            stop "--pkcs11-key: the URI carries a PIN; remove it and give the PIN in CORVANDEL_PKCS11_PIN"
        # ${VAR:+set}: the PIN itself is never expanded, so that no trace (bash -x) shows it.
        [ -n "${CORVANDEL_PKCS11_PIN:+set}" ] ||
            stop "--pkcs11-key needs the token's PIN in the environment variable CORVANDEL_PKCS11_PIN"
    fi
    for url in "${timestamps[@]}"; do
        [ -n "$signing_store" ] || stop "--timestamp needs --pfx or --pkcs11-key: only a signature can be timestamped"
        is_http_url "$url" || stop "--timestamp $(shown "$url"): not an http(s) URL"
    done
    if [ -n "$tsa_ca" ]; then
        [ ${#timestamps[@]} -gt 0 ] || stop "--tsa-ca goes with --timestamp"
        tsa_ca=$(checked_file --tsa-ca "$tsa_ca")
    fi
}

# A secret, from the environment variable NAME to standard output, without a
# newline: awk reads it, so the shell never expands it (bash -x traces every
# expansion, and a step's trace may go to a log on disk).
secret_out() { # NAME
    with_secret "$1" awk -v name="$1" 'BEGIN { printf "%s", ENVIRON[name] }'
}

# shellcheck disable=SC2154 # staging: set by the script that sources this
signer_name() { openssl x509 -in "$staging/signer.pem" -noout -subject -nameopt oneline | sed 's/^subject= *//'; }

# The signing certificate must be valid now and meant for code signing.
check_signer_certificate() {
    local usages
    openssl x509 -in "$staging/signer.pem" -noout -checkend 0 >/dev/null ||
        stop "$SIGNER_SOURCE: the certificate of $SIGNER has expired ($(openssl x509 -in "$staging/signer.pem" -noout -enddate))"
    usages=$(openssl x509 -in "$staging/signer.pem" -noout -ext extendedKeyUsage 2>/dev/null || true)
    [ -z "$usages" ] || grep -q 'Code Signing' <<<"$usages" ||
        stop "$SIGNER_SOURCE: the certificate of $SIGNER is not for code signing (extended key usage: $(tail -n +2 <<<"$usages" | xargs))"
}

# Before anything is built, the key signs a digest (check_digest, then each
# store's own way to $staging/check.sig), and the certificate must verify it:
# the key is there, usable, and the certificate's own.
check_digest() { printf 'Corvandel signing check' | openssl dgst -sha256 -binary >"$staging/check.digest"; }
key_is_the_certificates() { # WHERE
    openssl pkeyutl -verify -certin -inkey "$staging/signer.pem" -pkeyopt digest:sha256 -in "$staging/check.digest" \
        -sigfile "$staging/check.sig" >/dev/null 2>&1 ||
        stop "$1: the key is not the one of the certificate of $(signer_name)"
}

# -------------------------------------------------------- a PKCS#12 file
pfx_certificates() { # [openssl pkcs12 options...]
    with_secret CORVANDEL_PFX_PASSWORD openssl pkcs12 -in "$pfx" -passin env:CORVANDEL_PFX_PASSWORD -nokeys "$@" 2>/dev/null ||
        with_secret CORVANDEL_PFX_PASSWORD openssl pkcs12 -legacy -in "$pfx" -passin env:CORVANDEL_PFX_PASSWORD -nokeys "$@" 2>/dev/null
}

# Only certificates, never the key, leave the PFX here. The key is tried
# before anything is built: the system's OpenSSL, which signs SHA256SUMS with
# it, must read it and sign a digest with it, and the certificate verify that.
signer_open_pfx() {
    SIGNER_SOURCE=$pfx
    pfx_certificates -out "$staging/chain.pem" ||
        stop "$pfx: not a PKCS#12 file that opens with the password in CORVANDEL_PFX_PASSWORD"
    # The certificate of the PFX's own key; a PFX that marks none lists it first.
    pfx_certificates -clcerts -out "$staging/signer.pem" && [ -s "$staging/signer.pem" ] ||
        openssl x509 -in "$staging/chain.pem" -out "$staging/signer.pem" 2>/dev/null ||
        stop "$pfx: holds no certificate"
    check_digest
    if ! with_secret CORVANDEL_PFX_PASSWORD openssl pkeyutl -sign -inkey "$pfx" -passin env:CORVANDEL_PFX_PASSWORD -pkeyopt digest:sha256 \
        -in "$staging/check.digest" -out "$staging/check.sig" >"$staging/check.log" 2>&1; then
        # The key's bytes only pass through the pipe, never to a file.
        if with_secret CORVANDEL_PFX_PASSWORD openssl pkcs12 -legacy -in "$pfx" -passin env:CORVANDEL_PFX_PASSWORD -nocerts -nodes 2>/dev/null |
            grep -q 'PRIVATE KEY'; then
            stop "$pfx: its key is encrypted with a legacy cipher (RC2 or 3DES, as older Windows exports it), which this system's OpenSSL does not read; convert it once with openssl pkcs12 -legacy -in $pfx -nodes -passin env:CORVANDEL_PFX_PASSWORD | openssl pkcs12 -export -out NEW.pfx -passout env:CORVANDEL_PFX_PASSWORD, then give --pfx NEW.pfx"
        fi
        stop "$pfx: holds no private key that this system's OpenSSL can use (a PFX exported without its key?)"
    fi
    key_is_the_certificates "$pfx"
}

signer_sign_pfx() { # IN OUT
    local signing=(sign -pkcs12 "$pfx" -h sha256 -n "$DESCRIPTION" -time "$pinned_time")
    # osslsigncode reads an empty password from a pipe as no password at all.
    [ -z "${CORVANDEL_PFX_PASSWORD:+set}" ] || signing+=(-readpass /dev/stdin)
    osslsigncode "${signing[@]}" -in "$1" -out "$2" < <(secret_out CORVANDEL_PFX_PASSWORD)
}

# ------------------------------------------ a key on a token or HSM (PKCS#11)
# The key never leaves the token: it signs there. The certificate comes from
# --cert, or from the token, beside the key.
signer_open_pkcs11() {
    SIGNER_SOURCE="--pkcs11-key $pkcs11_key on $pkcs11_module"
    command -v p11tool >/dev/null || stop "missing tool: p11tool (gnutls-bin; scripts/setup installs it)"
    openssl engine -t "$PKCS11_ENGINE" >/dev/null 2>&1 ||
        stop "OpenSSL's PKCS#11 engine is missing (Debian's libengine-pkcs11-openssl; scripts/setup installs it)"
    timeout 60 p11tool --provider "$pkcs11_module" --list-tokens >/dev/null 2>&1 ||
        stop "--pkcs11-module $pkcs11_module: not a PKCS#11 module that loads"
    # The key is found and the PIN opens it: a digest is signed on the token;
    # it must then verify with the certificate, the key's own.
    check_digest
    # In a subshell: the engine can crash on a key it failed to load, and the
    # shell's report of that belongs in the log.
    if ! (PKCS11_MODULE_PATH=$pkcs11_module with_secret CORVANDEL_PKCS11_PIN timeout 60 openssl pkeyutl -engine "$PKCS11_ENGINE" -keyform engine \
        -inkey "$pkcs11_key" -passin env:CORVANDEL_PKCS11_PIN -sign -pkeyopt digest:sha256 \
        -in "$staging/check.digest" -out "$staging/check.sig"; exit) >"$staging/check.log" 2>&1; then
        if grep -q 'PIN incorrect\|PIN_INCORRECT' "$staging/check.log"; then
            stop "$SIGNER_SOURCE: the token refuses the PIN in CORVANDEL_PKCS11_PIN"
        elif grep -q 'PIN locked\|PIN_LOCKED' "$staging/check.log"; then
            stop "$SIGNER_SOURCE: the token's PIN is locked"
        fi
        stop "$SIGNER_SOURCE: no private key there (no such token, or no such key on it)"
    fi
    if [ -n "$cert_file" ]; then
        { openssl x509 -in "$cert_file" -out "$staging/signer.pem" 2>/dev/null &&
            cp "$cert_file" "$staging/chain.pem"; } || stop "--cert $cert_file: holds no PEM certificate"
    else
        local cert_uri=${pkcs11_key/type=private/type=cert}
        [[ $cert_uri == *type=cert* ]] || cert_uri="$cert_uri;type=cert"
        { timeout 60 p11tool --provider "$pkcs11_module" --export-chain "$cert_uri" >"$staging/chain.pem" 2>/dev/null &&
            openssl x509 -in "$staging/chain.pem" -out "$staging/signer.pem" 2>/dev/null; } ||
            stop "$SIGNER_SOURCE: the token holds no certificate for this key; give its chain with --cert CHAIN.pem"
    fi
    key_is_the_certificates "$SIGNER_SOURCE"
}

signer_sign_pkcs11() { # IN OUT
    osslsigncode sign -pkcs11module "$pkcs11_module" -key "$pkcs11_key" -certs "$staging/chain.pem" \
        -readpass /dev/stdin -h sha256 -n "$DESCRIPTION" -time "$pinned_time" -in "$1" -out "$2" \
        < <(secret_out CORVANDEL_PKCS11_PIN)
}

# The signing key's algorithm and size, read from its certificate: the same
# for a key in a file and one on a token. Sets SIGNER_KEY ("RSA 3072-bit",
# "ECC P-256 (256-bit)", ...); warns when the key is not RSA, because Windows
# 11's Smart App Control accepts signatures from trusted providers made with
# RSA keys only.
read_signer_key() {
    local text algorithm bits curve
    text=$(openssl x509 -in "$staging/signer.pem" -noout -text)
    algorithm=$(sed -n 's/^ *Public Key Algorithm: *//p' <<<"$text" | head -n1)
    bits=$(sed -n 's/^ *Public-Key: (\([0-9]*\) bit).*/\1/p' <<<"$text" | head -n1)
    case $algorithm in
        rsaEncryption) SIGNER_KEY="RSA $bits-bit" ;;
        id-ecPublicKey)
            curve=$(sed -n 's/^ *NIST CURVE: *//p' <<<"$text" | head -n1)
            [ -n "$curve" ] || curve=$(sed -n 's/^ *ASN1 OID: *//p' <<<"$text" | head -n1)
            SIGNER_KEY="ECC ${curve:-of an unnamed curve} ($bits-bit)"
            ;;
        *) SIGNER_KEY="$algorithm${bits:+ ($bits-bit)}" ;;
    esac
    [[ $SIGNER_KEY == RSA* ]] ||
        warn "the signing key of $SIGNER is $SIGNER_KEY, not RSA: Windows 11's Smart App Control accepts signatures from trusted providers made with RSA keys only, so it may block this release where it is on (a private CA's key inside an organisation is fine)"
}

# ------------------------------------------------------ shared by all stores
signer_open() {
    "signer_open_$signing_store"
    SIGNER=$(signer_name)
    check_signer_certificate
    read_signer_key
}

sign_exe() { # IN OUT
    "signer_sign_$signing_store" "$1" "$2" >"$staging/sign.log" 2>&1 || {
        grep -v '^Engine ' "$staging/sign.log" >&2
        stop "signing with $SIGNER_SOURCE failed"
    }
}

# The signature alone, in PEM, for anyone who rebuilds the exe to attach
# (scripts/verify-release). Proven first: attached to a fresh copy of the
# unsigned exe it must give the signed exe byte for byte, or it is a fault.
detach_signature() { # SIGNED UNSIGNED PEM
    osslsigncode extract-signature -pem -in "$1" -out "$3" >"$staging/extract.log" 2>&1 ||
        { cat "$staging/extract.log" >&2; stop "could not extract the signature from the signed exe"; }
    cp "$2" "$staging/unsigned.exe"
    if ! attach_signature "$3" "$staging/unsigned.exe" "$staging/attached.exe"; then
        fault "${3##*/}: osslsigncode could not attach it to the unsigned exe ($(tail -n1 "$staging/attached.exe.log"))"
    elif ! cmp -s "$staging/attached.exe" "$1"; then
        fault "${3##*/}: attached to the unsigned exe it does not give the signed exe (they differ at offset $(first_difference "$staging/attached.exe" "$1"))"
    fi
}

# The system's trusted roots, where it has them, and FILEs, in one file.
trusted_roots() { # OUT [FILE...]
    local out=$1 roots=()
    [ ! -f "$SYSTEM_ROOTS" ] || roots=("$SYSTEM_ROOTS")
    cat /dev/null "${roots[@]}" "${@:2}" >"$out"
}

# The signature against the signer's chain and the system's trusted roots;
# the timestamp, if any, against the system's roots and --tsa-ca: judged by
# the release reader from the signature's structure (scripts/lib/publisher.sh),
# the certified time read from the timestamp's token.
TIMESTAMP_TIME=
# shellcheck disable=SC2034 # TIMESTAMP_TIME: set here for the scripts that source this
verify_exe() { # EXE
    local exe=$1 facts=$staging/verify.facts status=0 reason
    trusted_roots "$staging/trusted.pem" "$staging/chain.pem"
    trusted_roots "$staging/tsa-trusted.pem" ${tsa_ca:+"$tsa_ca"}
    authenticode_read "$exe" "$facts" "$staging/trusted.pem" "$staging/tsa-trusted.pem" || status=$?
    reason=$(first_fault "$facts" digest signature chain)
    if [ "$status" -ge 2 ] || [ -n "$reason" ]; then
        fault "${exe##*/}: its signature does not verify against the certificates of $SIGNER_SOURCE and the system's trusted roots (${reason:-$(signature_fault "$facts")})"
        return 0
    fi
    [ -n "$TIMESTAMP_SERVER" ] || return 0
    reason=$(first_fault "$facts" timestamp)
    [ -n "$reason" ] || [ "$(fact "$facts" timestamp)" != none ] || reason="the signature holds no timestamp"
    [ -z "$reason" ] ||
        fault "${exe##*/}: the timestamp from $TIMESTAMP_SERVER does not verify against the system's trusted roots${tsa_ca:+ and --tsa-ca $tsa_ca} ($reason)"
    TIMESTAMP_TIME=$(fact "$facts" timestamp)
}
