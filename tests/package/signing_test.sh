#!/usr/bin/env bash
# scripts/package signing a release as it must be signed: with a key on a
# hardware token, timestamped. The token is a throwaway SoftHSM2 token whose
# key is generated on it and never extractable, its certificate made through
# the token; the timestamp server an RFC 3161 responder on 127.0.0.1
# (`openssl ts -reply` behind tsa_server.py), started here and stopped by PID.
#   tests/package/signing_test.sh      (after the windows preset is built)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit
source tests/package/package_lib.sh
OSSLSIGNCODE=$(osslsigncode --version 2>/dev/null | sed -n '1s/^osslsigncode \([0-9.]*\).*/\1/p')
echo "signing with osslsigncode $OSSLSIGNCODE ($(command -v osslsigncode))"
# What a timestamp server that refuses the connection, one that answers HTTP
# 503 and one that answers 200 with no timestamp come out as: the same facts
# whichever osslsigncode, TLS and HTTP libraries are installed.
REFUSED_ANSWER="no connection could be made"
DOWN_ANSWER="the server answered HTTP 503 (TSA out of service)"
GARBAGE_ANSWER="the server answered HTTP 200, but not with a timestamp osslsigncode could use"
make_kit "$work/good" "${GOOD[@]}"
trap 'stop_tsa; rm -rf "$work"' EXIT

# ------------------------------------------------------------------ the token
make_token
# shellcheck disable=SC2016 # the PIN stays in the environment, never in an argument
check "the key was generated on the token and can never leave it" bash -c \
    'GNUTLS_PIN=$CORVANDEL_PKCS11_PIN p11tool --provider "$1" --login --list-privkeys --detailed "pkcs11:token=corvandel-release" |
     grep -q "Flags:.*CKA_NEVER_EXTRACTABLE.*CKA_SENSITIVE"' _ "$MODULE"
check "the certificate was made through the token" test -s "$work/release.pem"

# ------------------------------------------------------ the timestamp server
start_tsa
check "the timestamp server started on 127.0.0.1" test -n "$LIVE"
DEAD=http://127.0.0.1:1/tsa # nothing listens on port 1 here
DOWN=${LIVE%/tsa}/unavailable # answers, but with HTTP 503
GARBAGE=${LIVE%/tsa}/garbage   # answers 200, with no timestamp

# ------------------------------------------ signing with the token's key
record_arguments "$work/bin" "$work/arguments" osslsigncode openssl p11tool
signed_time=1765000000 # 2025-12-06 05:46:40 UTC
export SOURCE_DATE_EPOCH=$signed_time
PATH=$work/bin:$PATH package token-1 "$work/good" "$work/token-1" "${TOKEN[@]}"
check "token-1: exit status 0, got $status ($(tail -n1 "$work/token-1.err"))" test $status -eq 0
check "token-1: the certificate came from the token" grep -q "^package: signed: CN = Corvandel Release Signing, SHA-256, RSA 2048-bit key, signing time 2025-12-06 05:46:40 UTC, key from --pkcs11-key $KEY on $MODULE$" "$work/token-1.out"
check "token-1: the signature verifies with the token's certificate" output_into /dev/null \
    osslsigncode verify -in "$work/token-1/CorvandelUpdate.exe" -CAfile "$work/release.pem"
PATH=$work/bin:$PATH package token-2 "$work/good" "$work/token-2" "${TOKEN[@]}" --cert "$work/release.pem"
check "token-2: with --cert, exit status 0, got $status ($(tail -n1 "$work/token-2.err"))" test $status -eq 0
check "token-2: packaging again without a timestamp gives the same zip" \
    cmp -s "$work/token-1/CorvandelPatch.zip" "$work/token-2/CorvandelPatch.zip"

# ECC keys sign, and are warned about: Smart App Control takes RSA only.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/ecc.key" -out "$work/ecc.pem" -days 2 \
    -subj "/CN=Corvandel ECC Signing" -addext extendedKeyUsage=codeSigning 2>/dev/null
openssl pkcs12 -export -inkey "$work/ecc.key" -in "$work/ecc.pem" -out "$work/ecc.pfx" -passout pass:
ECC_KEY="pkcs11:token=corvandel-release;object=ecc;type=private"
token_key ecc 03 ecdsa --curve secp384r1
token_certificate ecc 03 "Corvandel ECC Token Signing" "$work/ecc-token.pem"
SMART_APP_CONTROL="not RSA: Windows 11's Smart App Control accepts signatures from trusted providers made with RSA keys only, so it may block this release where it is on (a private CA's key inside an organisation is fine)"
# name | key options | signer | the key as the summary names it | its certificate
ECC_SIGNINGS=(
    "ecc_pfx|--pfx $work/ecc.pfx|CN = Corvandel ECC Signing|ECC P-256 (256-bit)|$work/ecc.pem"
    "ecc_token|--pkcs11-module $MODULE --pkcs11-key $ECC_KEY|CN = Corvandel ECC Token Signing|ECC P-384 (384-bit)|$work/ecc-token.pem"
)
for row in "${ECC_SIGNINGS[@]}"; do
    IFS='|' read -r name call signer key certificate <<<"$row"
    read -ra arguments <<<"$call"
    CORVANDEL_PFX_PASSWORD='' package "$name" "$work/good" "$work/$name" "${arguments[@]}"
    check "$name: exit status 0, got $status ($(tail -n1 "$work/$name.err"))" test $status -eq 0
    check "$name: warns that the key is not RSA" has_line "$work/$name.err" \
        "package: warning: the signing key of $signer is $key, $SMART_APP_CONTROL"
    check "$name: the summary names the key" grep -q "^package: signed: $signer, SHA-256, $key key, " "$work/$name.out"
    check "$name: the signature verifies" output_into /dev/null \
        osslsigncode verify -in "$work/$name/CorvandelUpdate.exe" -CAfile "$certificate"
done
check "an RSA key is not warned about" bash -c "! grep -q 'not RSA' '$work/token-1.err'"

# ------------------------------------------------------------- timestamps
PATH=$work/bin:$PATH package timestamped "$work/good" "$work/timestamped" "${TOKEN[@]}" \
    --timestamp "$DEAD" --timestamp "$LIVE" --tsa-ca "$work/tsa/root.pem"
check "timestamped: a dead server then a live one, exit status 0, got $status ($(tail -n1 "$work/timestamped.err"))" test $status -eq 0
check "timestamped: the summary names the server that answered and its time" \
    grep -qE "^package: timestamped by $LIVE: certified time [A-Z][a-z]{2} +[0-9]+ [0-9:]{8} 20[0-9]{2} GMT$" "$work/timestamped.out"
check "timestamped: the timestamp verifies against the TSA's root" output_into "$work/timestamp-verify.out" \
    osslsigncode verify -in "$work/timestamped/CorvandelUpdate.exe" -CAfile "$work/release.pem" -TSA-CAfile "$work/tsa/root.pem"
check "timestamped: and shows the certified time" \
    grep -qE '^[[:space:]]*(Timestamp time|The signature is timestamped): [A-Z][a-z]{2} +[0-9]+ [0-9:]{8} 20[0-9]{2} GMT$' "$work/timestamp-verify.out"
check "timestamped: the countersignature is the TSA's" grep -qx 'Timestamp Server Signature verification: ok' "$work/timestamp-verify.out"

# shellcheck disable=SC2016 # expanded by the shell or tool it is given to, not here
check "the PIN is in no argument, output or file written" \
    bash -c '! grep -rqF -- "$CORVANDEL_PKCS11_PIN" "$1"/token-* "$1"/timestamped "$1"/arguments "$1"/*.out "$1"/*.err' _ "$work"
check "the tools' arguments were recorded, so the check above means something" grep -q 'osslsigncode sign -pkcs11module' "$work/arguments"

# ------------------------------------------------ refusals, OUT_DIR left as it was
# Certificates that do not fit: one made through the token for servers, not code; one of another key.
PKCS11_MODULE_PATH=$MODULE openssl req -new -x509 -engine pkcs11 -keyform engine -key "$KEY" \
    -passin env:CORVANDEL_PKCS11_PIN -subj "/CN=Corvandel Server" -addext extendedKeyUsage=serverAuth \
    -days 2 -out "$work/server.pem" >/dev/null 2>&1
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/other.key" -out "$work/other.pem" -days 2 \
    -subj "/CN=Corvandel Other Signing" -addext extendedKeyUsage=codeSigning 2>/dev/null

# A self-signed code-signing certificate that expired in 2024: `openssl ca`
# is the one tool here that takes a certificate's dates as given.
expired_certificate() { # SUBJECT OUT KEY (a file, or a pkcs11: URI on the token)
    local ca=$work/expired-ca key_options=()
    mkdir -p "$ca" && : >"$ca/index.txt" && echo 01 >"$ca/serial"
    printf '[ca]\ndefault_ca=c\n[c]\ndatabase=%s/index.txt\nnew_certs_dir=%s\nserial=%s/serial\ndefault_md=sha256\npolicy=p\nunique_subject=no\ncopy_extensions=copy\n[p]\ncommonName=supplied\n' \
        "$ca" "$ca" "$ca" >"$ca/ca.cnf"
    [[ $3 != pkcs11:* ]] || key_options=(-engine pkcs11 -keyform engine -passin env:CORVANDEL_PKCS11_PIN)
    PKCS11_MODULE_PATH=$MODULE openssl req -new "${key_options[@]}" -key "$3" -subj "/CN=$1" \
        -addext extendedKeyUsage=codeSigning -out "$ca/request.csr" >/dev/null 2>&1
    PKCS11_MODULE_PATH=$MODULE openssl ca -batch -config "$ca/ca.cnf" -selfsign "${key_options[@]}" -keyfile "$3" \
        -in "$ca/request.csr" -startdate 20240101000000Z -enddate 20240102000000Z -notext -out "$2" >/dev/null 2>&1
}
# In a PFX without a password, and on the token beside a key of its own.
export CORVANDEL_PFX_PASSWORD=
openssl genpkey -algorithm rsa -pkeyopt rsa_keygen_bits:2048 -out "$work/expired.key" 2>/dev/null
expired_certificate "Corvandel Expired Signing" "$work/expired.pem" "$work/expired.key"
openssl pkcs12 -export -inkey "$work/expired.key" -in "$work/expired.pem" -out "$work/expired.pfx" -passout pass:
EXPIRED_KEY="pkcs11:token=corvandel-release;object=expired;type=private"
token_key expired 02 rsa --bits 2048
expired_certificate "Corvandel Expired Token Signing" "$work/expired-token.pem" "$EXPIRED_KEY"
token_store expired 02 "$work/expired-token.pem"
# shellcheck disable=SC2016 # expanded by the shell or tool it is given to, not here
check "the expired certificates were made" bash -c \
    'openssl x509 -in "$1" -noout -checkend 0 -ext extendedKeyUsage | grep -q "Code Signing" && ! openssl x509 -in "$1" -noout -checkend 0 >/dev/null &&
     openssl x509 -in "$2" -noout -ext extendedKeyUsage | grep -q "Code Signing" && ! openssl x509 -in "$2" -noout -checkend 0 >/dev/null' \
    _ "$work/expired.pem" "$work/expired-token.pem"
# A leaf issued by an intermediate CA that the PFX does not carry: its
# signature cannot be chained to any root, here or on Windows.
chain=$work/broken-chain
mkdir -p "$chain"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$chain/root.key" -out "$chain/root.pem" -days 2 \
    -subj "/CN=Corvandel Test Root" -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout "$chain/intermediate.key" -out "$chain/intermediate.csr" \
    -subj "/CN=Corvandel Test Intermediate" 2>/dev/null
printf 'basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign\n' >"$chain/ca.ext"
openssl x509 -req -in "$chain/intermediate.csr" -CA "$chain/root.pem" -CAkey "$chain/root.key" -CAcreateserial \
    -days 2 -extfile "$chain/ca.ext" -out "$chain/intermediate.pem" 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout "$chain/leaf.key" -out "$chain/leaf.csr" \
    -subj "/CN=Corvandel Unchained Signing" 2>/dev/null
printf 'extendedKeyUsage=codeSigning\nbasicConstraints=CA:false\n' >"$chain/leaf.ext"
openssl x509 -req -in "$chain/leaf.csr" -CA "$chain/intermediate.pem" -CAkey "$chain/intermediate.key" -CAcreateserial \
    -days 2 -extfile "$chain/leaf.ext" -out "$chain/leaf.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$chain/leaf.key" -in "$chain/leaf.pem" -out "$chain/leaf-only.pfx" -passout pass:
check "the unchained PFX holds the leaf alone" test "$(openssl pkcs12 -in "$chain/leaf-only.pfx" -passin pass: -nokeys 2>/dev/null | grep -c 'BEGIN CERTIFICATE')" = 1

# name | exit status | environment PIN ("" for the right one, "(empty)" for none) | arguments after KIT_DIR OUT_DIR | the lines it must print
REFUSALS=(
    "expired_in_pfx|2||--pfx $work/expired.pfx|$work/expired.pfx: the certificate of CN = Corvandel Expired Signing has expired (notAfter=Jan  2 00:00:00 2024 GMT)"
    "expired_on_token|2||--pkcs11-module $MODULE --pkcs11-key $EXPIRED_KEY|--pkcs11-key $EXPIRED_KEY on $MODULE: the certificate of CN = Corvandel Expired Token Signing has expired (notAfter=Jan  2 00:00:00 2024 GMT)"
    "pin_in_uri|2||--pkcs11-module $MODULE --pkcs11-key $KEY;pin-value=1234|--pkcs11-key: the URI carries a PIN; remove it and give the PIN in CORVANDEL_PKCS11_PIN"
    "empty_pin|2|(empty)|${TOKEN[*]}|--pkcs11-key needs the token's PIN in the environment variable CORVANDEL_PKCS11_PIN"
    "signature_does_not_verify|1||--pfx $chain/leaf-only.pfx|CorvandelUpdate.exe: its signature does not verify against the certificates of $chain/leaf-only.pfx and the system's trusted roots (unable to get local issuer certificate)"
    "wrong_pin|2|wrong-pin|${TOKEN[*]}|--pkcs11-key $KEY on $MODULE: the token refuses the PIN in CORVANDEL_PKCS11_PIN"
    "no_such_key|2||--pkcs11-module $MODULE --pkcs11-key pkcs11:token=corvandel-release;object=other;type=private|--pkcs11-key pkcs11:token=corvandel-release;object=other;type=private on $MODULE: no private key there (no such token, or no such key on it)"
    "module_does_not_load|2||--pkcs11-module $work/release.pem --pkcs11-key $KEY|--pkcs11-module $work/release.pem: not a PKCS#11 module that loads"
    "cert_not_for_code_signing|2||${TOKEN[*]} --cert $work/server.pem|--pkcs11-key $KEY on $MODULE: the certificate of CN = Corvandel Server is not for code signing (extended key usage: TLS Web Server Authentication)"
    "cert_of_another_key|2||${TOKEN[*]} --cert $work/other.pem|--pkcs11-key $KEY on $MODULE: the key is not the one of the certificate of CN = Corvandel Other Signing"
    "pfx_and_token|2||--pfx $work/release.pem ${TOKEN[*]}|--pfx and --pkcs11-key name two keys: give one; usage: scripts/package KIT_DIR OUT_DIR [--pfx FILE | --pkcs11-module LIB --pkcs11-key URI [--cert CHAIN.pem]] [--sign-components] [--timestamp URL]... [--tsa-ca FILE] [--ca FILE]"
    "no_server_answers|2||${TOKEN[*]} --timestamp $DEAD --timestamp $DOWN --timestamp $GARBAGE|--timestamp $DEAD gave no timestamp: $REFUSED_ANSWER~--timestamp $DOWN gave no timestamp: $DOWN_ANSWER~--timestamp $GARBAGE gave no timestamp: $GARBAGE_ANSWER"
    "unknown_tsa|1||${TOKEN[*]} --timestamp $LIVE|CorvandelUpdate.exe: the timestamp from $LIVE does not verify against the system's trusted roots (self-signed certificate in certificate chain)"
)
check_refusal() { # NAME STATUS LINES (~ between lines)
    check "$1: exit status $2, got $status" test "$status" = "$2"
    check "$1: prints its line(s); printed: $(head -c 400 "$work/$1.err")" \
        test "$(grep -v '^package: warning:' "$work/$1.err")" = "package: ${3//\~/$'\n'package: }"
    check "$1: OUT_DIR left as it was (empty)" test -z "$(ls -A "$work/out-$1")"
}
for row in "${REFUSALS[@]}"; do
    IFS='|' read -r name expected_status pin call expected <<<"$row"
    read -ra arguments <<<"$call"
    mkdir -p "$work/out-$name"
    case $pin in
        "") pin=$CORVANDEL_PKCS11_PIN ;;
        "(empty)") pin= ;;
    esac
    CORVANDEL_PKCS11_PIN=$pin package_alongside "$name" "$work/good" "$work/out-$name" "${arguments[@]}"
done
packages_wait
for row in "${REFUSALS[@]}"; do
    IFS='|' read -r name expected_status pin call expected <<<"$row"
    packaged "$name"
    check_refusal "$name" "$expected_status" "$expected"
done
# An osslsigncode older than any Debian 12 has.
mkdir -p "$work/old-bin" "$work/out-too_old"
printf '#!/bin/sh\necho "osslsigncode 2.4, using:"\n' >"$work/old-bin/osslsigncode"
chmod +x "$work/old-bin/osslsigncode"
PATH=$work/old-bin:$PATH package too_old "$work/good" "$work/out-too_old" "${TOKEN[@]}"
check_refusal too_old 2 "osslsigncode 2.4 found; signing needs osslsigncode 2.5 or later (Debian 12 has 2.5)"

report
