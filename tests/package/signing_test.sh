#!/usr/bin/env bash
# scripts/package signing a release as it must be signed: with a key on a
# hardware token, timestamped. The token is a throwaway SoftHSM2 token whose
# key is generated on it and never extractable, its certificate made through
# the token; the timestamp server an RFC 3161 responder on 127.0.0.1
# (`openssl ts -reply` behind tsa_server.py), started here and stopped by PID.
#   tests/package/signing_test.sh      (after the windows preset is built)
set -uo pipefail
cd "$(dirname "$0")/../.."
source tests/package/package_lib.sh
make_kit "$work/good" "${GOOD[@]}"
MODULE=$(realpath /usr/lib/softhsm/libsofthsm2.so)
KEY="pkcs11:token=corvandel-release;object=release;type=private"
tsa_pid=
trap '[ -z "$tsa_pid" ] || kill "$tsa_pid" 2>/dev/null; rm -rf "$work"' EXIT

# ------------------------------------------------------------------ the token
export SOFTHSM2_CONF=$work/softhsm2.conf
mkdir -p "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" >"$SOFTHSM2_CONF"
export CORVANDEL_PKCS11_PIN="pin-$(openssl rand -hex 8)"
softhsm2-util --init-token --free --label corvandel-release --so-pin "so-$(openssl rand -hex 8)" \
    --pin "$CORVANDEL_PKCS11_PIN" >/dev/null
GNUTLS_PIN=$CORVANDEL_PKCS11_PIN p11tool --provider "$MODULE" --login --generate-privkey rsa --bits 2048 \
    --label release --id 01 "pkcs11:token=corvandel-release" >/dev/null 2>&1
check "the key was generated on the token and can never leave it" bash -c \
    'GNUTLS_PIN=$CORVANDEL_PKCS11_PIN p11tool --provider "$1" --login --list-privkeys --detailed "pkcs11:token=corvandel-release" |
     grep -q "Flags:.*CKA_NEVER_EXTRACTABLE.*CKA_SENSITIVE"' _ "$MODULE"
PKCS11_MODULE_PATH=$MODULE openssl req -new -x509 -engine pkcs11 -keyform engine -key "$KEY" \
    -passin env:CORVANDEL_PKCS11_PIN -subj "/CN=Corvandel Release Signing" -addext extendedKeyUsage=codeSigning \
    -days 2 -out "$work/release.pem" >/dev/null 2>&1
GNUTLS_PIN=$CORVANDEL_PKCS11_PIN p11tool --provider "$MODULE" --login --write --load-certificate "$work/release.pem" \
    --label release --id 01 "pkcs11:token=corvandel-release" >/dev/null 2>&1
check "the certificate was made through the token" test -s "$work/release.pem"

# ------------------------------------------------------ the timestamp server
tsa=$work/tsa
mkdir -p "$tsa"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tsa/root.key" -out "$tsa/root.pem" -days 2 \
    -subj "/CN=Corvandel Test TSA Root" -addext basicConstraints=critical,CA:true \
    -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout "$tsa/tsa.key" -out "$tsa/tsa.csr" -subj "/CN=Corvandel Test TSA" 2>/dev/null
printf 'extendedKeyUsage=critical,timeStamping\nkeyUsage=critical,digitalSignature\nbasicConstraints=CA:false\n' >"$tsa/ext.cnf"
openssl x509 -req -in "$tsa/tsa.csr" -CA "$tsa/root.pem" -CAkey "$tsa/root.key" -CAcreateserial -days 2 \
    -extfile "$tsa/ext.cnf" -out "$tsa/tsa.pem" 2>/dev/null
echo 01 >"$tsa/serial"
cat >"$tsa/tsa.cnf" <<CONFIG
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = $tsa/serial
crypto_device = builtin
signer_cert = $tsa/tsa.pem
signer_key = $tsa/tsa.key
certs = $tsa/root.pem
signer_digest = sha256
default_policy = 1.3.6.1.4.1.55555.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_alg = sha256
CONFIG
# Bounded: it stops by itself after 10 minutes, and is killed at exit.
/usr/bin/python3 tests/package/tsa_server.py "$tsa/port" "$tsa/tsa.cnf" 600 &
tsa_pid=$!
for _ in $(seq 50); do [ -s "$tsa/port" ] && break; sleep 0.2; done
check "the timestamp server started on 127.0.0.1" test -s "$tsa/port"
LIVE=http://127.0.0.1:$(cat "$tsa/port" 2>/dev/null)/tsa
DEAD=http://127.0.0.1:1/tsa # nothing listens on port 1 here
DOWN=${LIVE%/tsa}/unavailable # answers, but with HTTP 503

# ------------------------------------------ signing with the token's key
record_arguments "$work/bin" "$work/arguments" osslsigncode openssl p11tool
TOKEN=(--pkcs11-module "$MODULE" --pkcs11-key "$KEY")
signed_time=1765000000 # 2025-12-06 05:46:40 UTC
export SOURCE_DATE_EPOCH=$signed_time
PATH=$work/bin:$PATH package token-1 "$work/good" "$work/token-1" "${TOKEN[@]}"
check "token-1: exit status 0, got $status ($(tail -n1 "$work/token-1.err"))" test $status -eq 0
check "token-1: the certificate came from the token" grep -q "^package: signed: CN = Corvandel Release Signing, SHA-256, signing time 2025-12-06 05:46:40 UTC, key from --pkcs11-key $KEY on $MODULE$" "$work/token-1.out"
check "token-1: the signature verifies with the token's certificate" output_into /dev/null \
    osslsigncode verify -in "$work/token-1/CorvandelUpdate.exe" -CAfile "$work/release.pem"
PATH=$work/bin:$PATH package token-2 "$work/good" "$work/token-2" "${TOKEN[@]}" --cert "$work/release.pem"
check "token-2: with --cert, exit status 0, got $status ($(tail -n1 "$work/token-2.err"))" test $status -eq 0
check "token-2: packaging again without a timestamp gives the same zip" \
    cmp -s "$work/token-1/CorvandelPatch.zip" "$work/token-2/CorvandelPatch.zip"

# ------------------------------------------------------------- timestamps
PATH=$work/bin:$PATH package timestamped "$work/good" "$work/timestamped" "${TOKEN[@]}" \
    --timestamp "$DEAD" --timestamp "$LIVE" --tsa-ca "$tsa/root.pem"
check "timestamped: a dead server then a live one, exit status 0, got $status ($(tail -n1 "$work/timestamped.err"))" test $status -eq 0
check "timestamped: the summary names the server that answered and its time" \
    grep -qE "^package: timestamped by $LIVE: certified time [A-Z][a-z]{2} +[0-9]+ [0-9:]{8} 20[0-9]{2} GMT$" "$work/timestamped.out"
check "timestamped: the timestamp verifies against the TSA's root" output_into "$work/timestamp-verify.out" \
    osslsigncode verify -in "$work/timestamped/CorvandelUpdate.exe" -CAfile "$work/release.pem" -TSA-CAfile "$tsa/root.pem"
check "timestamped: and shows the certified time" grep -qE '^[[:space:]]*Timestamp time: ' "$work/timestamp-verify.out"
check "timestamped: the countersignature is the TSA's" grep -qx 'Timestamp Server Signature verification: ok' "$work/timestamp-verify.out"

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
# name | exit status | environment PIN ("" for the right one) | arguments after KIT_DIR OUT_DIR | the lines it must print
REFUSALS=(
    "wrong_pin|2|wrong-pin|${TOKEN[*]}|--pkcs11-key $KEY on $MODULE: the token refuses the PIN in CORVANDEL_PKCS11_PIN"
    "no_such_key|2||--pkcs11-module $MODULE --pkcs11-key pkcs11:token=corvandel-release;object=other;type=private|--pkcs11-key pkcs11:token=corvandel-release;object=other;type=private on $MODULE: no private key there (no such token, or no such key on it)"
    "module_does_not_load|2||--pkcs11-module $work/release.pem --pkcs11-key $KEY|--pkcs11-module $work/release.pem: not a PKCS#11 module that loads"
    "cert_not_for_code_signing|2||${TOKEN[*]} --cert $work/server.pem|--pkcs11-key $KEY on $MODULE: the certificate of CN = Corvandel Server is not for code signing (extended key usage: TLS Web Server Authentication)"
    "cert_of_another_key|2||${TOKEN[*]} --cert $work/other.pem|--pkcs11-key $KEY on $MODULE: the key is not the one of the certificate of CN = Corvandel Other Signing"
    "pfx_and_token|2||--pfx $work/release.pem ${TOKEN[*]}|--pfx and --pkcs11-key name two keys: give one; usage: scripts/package KIT_DIR OUT_DIR [--pfx FILE | --pkcs11-module LIB --pkcs11-key URI [--cert CHAIN.pem]] [--timestamp URL]... [--tsa-ca FILE]"
    "no_server_answers|2||${TOKEN[*]} --timestamp $DEAD --timestamp $DOWN|--timestamp $DEAD gave no timestamp: Connection refused~--timestamp $DOWN gave no timestamp: HTTP 503, reason=TSA out of service"
    "unknown_tsa|1||${TOKEN[*]} --timestamp $LIVE|CorvandelUpdate.exe: the timestamp from $LIVE does not verify against the system's trusted roots (self-signed certificate in certificate chain)"
)
for row in "${REFUSALS[@]}"; do
    IFS='|' read -r name expected_status pin call expected <<<"$row"
    read -ra arguments <<<"$call"
    mkdir -p "$work/out-$name"
    CORVANDEL_PKCS11_PIN=${pin:-$CORVANDEL_PKCS11_PIN} package "$name" "$work/good" "$work/out-$name" "${arguments[@]}"
    check "$name: exit status $expected_status, got $status" test $status -eq "$expected_status"
    check "$name: prints its line(s); printed: $(head -c 400 "$work/$name.err")" \
        test "$(grep -v '^package: warning:' "$work/$name.err")" = "$(sed 's/^/package: /' <<<"${expected//\~/$'\n'}")"
    check "$name: OUT_DIR left as it was (empty)" test -z "$(ls -A "$work/out-$name")"
done

report
