# shellcheck shell=bash
# What the packaging tests share. Source it from the project's root.
#   work                 a folder of the test's own, removed at exit; TMPDIR is $work/tmp
#   check WHAT COMMAND...  counts COMMAND's success; on failure prints "FAIL: WHAT"
#   has_line FILE LINE, output_into FILE COMMAND...
#   make_kit DIR ENTRY...  a kit from the component fixtures (below)
#   BASE, GOOD           the entries of a plain kit, and of a good kit in odd case with one component padded
#   the plan's PLAN_* values (scripts/lib/plan.sh), and ROWS_OF NAME: its row's byte counts as the
#   warnings give them, "BYTES_A and BYTES_B"
#   package NAME ARGS...   runs scripts/package; its output in $work/NAME.out and .err, its exit in $status
#   shared_release NAME OUT  a plain kit's unsigned release, packaged once per run of the test command
#   package_alongside NAME ARGS..., packages_wait, packaged NAME
#                        the same, side by side with others (below)
#   record_arguments BIN LOG TOOL...  shims in BIN that log every argument TOOL is given to LOG
#   tool NAME ENV... -- TOOL ARGS...   a row's call of TOOL with ENV (NAME=VALUE...): output in
#                        $work/NAME.out and .err, exit in $status
#   refused NAME STATUS LINE [OUT_DIR]  the row ended with STATUS and LINE alone (warnings aside),
#                        OUT_DIR absent, and untouched
#   row_starts           marks a row's start: what is written later is the row's, but for the
#                        files that processes (the caller's) have open for writing now
#   written_since_row PATH... [-- PRUNE...]  up to three files written under PATH since then
#   untouched NAME       nothing outside the build tree written since the row's tool started, and
#                        the tools' temporary folder (TMPDIR) empty; it is emptied for the next row
#   report               prints "N passed, N failed" and fails if any did
source scripts/lib/plan.sh || exit 1
fixtures=build/windows/fixtures
work=$(realpath "$(mktemp -d "${TMPDIR:-/tmp}/corvandel-package-test.XXXXXX")")
# The tools' temporary folders are the test's own: tests that run side by side never see each other's.
mkdir -p "$work/tmp"
export TMPDIR=$work/tmp
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check() { # WHAT COMMAND...
    if "${@:2}"; then passed=$((passed + 1)); else echo "FAIL: $1"; failed=$((failed + 1)); fi
}
has_line() { grep -qxF -- "$2" "$1"; } # FILE LINE
output_into() { # FILE COMMAND...
    local file=$1
    shift
    "$@" >"$file"
}

ROWS_OF() { local bytes=${PLAN_ROW_BYTES[$1]}; echo "${bytes/ / and }"; } # NAME

# A kit from entries NAME=WHAT: a fixture's name (with + for 400,000 bytes
# more), "notes", "/" for a folder, "@TARGET" for a symbolic link to TARGET,
# or "-" for no such entry.
make_kit() { # DIR ENTRY...
    local dir=$1 entry name what
    shift
    mkdir -p "$dir"
    for entry in "$@"; do
        name=${entry%%=*} what=${entry#*=}
        rm -rf "${dir:?}/$name"
        case $what in
            -) ;;
            /) mkdir "$dir/$name" ;;
            @*) ln -s "${what#@}" "$dir/$name" ;;
            notes) printf 'Corvandel patch notes\r\n' >"$dir/$name" ;;
            *+) { cat "$fixtures/${what%+}.dll" && head -c 400000 /dev/zero; } >"$dir/$name" ;;
            *) cp "$fixtures/$what.dll" "$dir/$name" ;;
        esac
    done
}
# shellcheck disable=SC2034 # BASE: set here for the scripts that source this
BASE=(Kestovar.ocx=kestovar-updated Sorvalen.ocx=sorvalen-updated QuilbrexPatch.txt=notes)
# shellcheck disable=SC2034 # GOOD: set here for the scripts that source this
GOOD=(kestovar.OCX=kestovar-updated+ SORVALEN.OCX=sorvalen-updated QuilbrexPatch.TXT=notes)

# A tool's run is bounded by a hang guard, never by how fast it should be:
# what its answer takes is a response time, which scripts/bench-response
# measures. A run still going after HANG_GUARD_SECONDS is killed (status
# 124), and the row fails saying so.
HANG_GUARD_SECONDS=900
hang_guard() { # NAME STATUS
    [ "$2" = 124 ] || return 0
    echo "FAIL: $1: hang guard: still running after $((HANG_GUARD_SECONDS / 60)) minutes, and killed"
    failed=$((failed + 1))
}

# shellcheck disable=SC2034 # status: set here for the scripts that source this
package() { # NAME ARGS...: runs scripts/package, its output in $work/NAME.out and .err
    local name=$1
    shift
    timeout "$HANG_GUARD_SECONDS" scripts/package "$@" >"$work/$name.out" 2>"$work/$name.err"
    status=$?
    echo "$status" >"$work/$name.status"
    hang_guard "$name" "$status"
}

# One unsigned release of a plain kit (BASE), for the tests that only check
# a release: packaged once per run of the test command, in the folder it
# names in CORVANDEL_TEST_SHARED (one test at a time makes it, the others
# wait), and copied to OUT; a test run alone packages its own. Its time is
# the commit's, whatever SOURCE_DATE_EPOCH the test sets.
shared_release() { # NAME OUT: as package does
    local shared=${CORVANDEL_TEST_SHARED:-}
    if [ -z "$shared" ]; then
        make_kit "$work/shared-kit" "${BASE[@]}"
        (unset SOURCE_DATE_EPOCH && package "$1" "$work/shared-kit" "$2")
        packaged "$1"
        return
    fi
    mkdir -p "$shared"
    (
        flock 9
        [ ! -s "$shared/release/SHA256SUMS" ] || exit 0
        rm -rf "$shared/kit" "$shared/release.new"
        make_kit "$shared/kit" "${BASE[@]}"
        unset SOURCE_DATE_EPOCH
        package "$1" "$shared/kit" "$shared/release.new"
        [ "$status" -ne 0 ] || mv "$shared/release.new" "$shared/release"
    ) 9>>"$shared/lock"
    [ -e "$work/$1.status" ] || echo "(packaged once in this run of the test command, into $shared)" | tee "$work/$1.out" >"$work/$1.err"
    packaged "$1" # "no status" when another test packaged it
    if [ -s "$shared/release/SHA256SUMS" ] && cp -a "$shared/release" "$2"; then status=0; fi
}

# The rows of a table packaged side by side, PACKAGE_JOBS at a time: each row
# has its own kit and OUT_DIR, and the packagings share only the release root,
# which they lock while they build. packages_wait waits for them all;
# packaged NAME then sets $status as package does.
# (Polled, as the test command's steps are: bash's wait -n says "no such job"
# for a packaging that has ended already.)
PACKAGE_JOBS=3 PACKAGING=()
package_alongside() { # NAME ARGS...
    local name=$1 pid running
    shift
    while [ ${#PACKAGING[@]} -ge "$PACKAGE_JOBS" ]; do
        running=()
        for pid in "${PACKAGING[@]}"; do ! kill -0 "$pid" 2>/dev/null || running+=("$pid"); done
        [ ${#running[@]} -lt ${#PACKAGING[@]} ] || sleep 0.3
        PACKAGING=("${running[@]}")
    done
    { timeout "$HANG_GUARD_SECONDS" scripts/package "$@" >"$work/$name.out" 2>"$work/$name.err"; echo $? >"$work/$name.status"; } &
    PACKAGING+=($!)
}
packages_wait() { [ ${#PACKAGING[@]} -eq 0 ] || wait "${PACKAGING[@]}"; PACKAGING=(); }
packaged() { status=$(cat "$work/$1.status" 2>/dev/null || echo "no status"); hang_guard "$1" "$status"; } # NAME

# A secret must never reach a tool's arguments: these shims record them.
record_arguments() { # BIN LOG TOOL...
    local bin=$1 log=$2 tool
    shift 2
    mkdir -p "$bin"
    for tool in "$@"; do
        # shellcheck disable=SC2016 # the shim's own $0, $* and $@
        printf '#!/bin/sh\necho "$0 $*" >>"%s"\nexec %s "$@"\n' "$log" "$(command -v "$tool")" >"$bin/$tool"
        chmod +x "$bin/$tool"
    done
}

# A throwaway SoftHSM2 token, corvandel-release, with a key generated on it
# (never extractable) and a code-signing certificate made through it, in
# $work/release.pem and on the token. Sets MODULE, KEY, TOKEN (package's
# options) and exports SOFTHSM2_CONF and CORVANDEL_PKCS11_PIN.
# shellcheck disable=SC2034 # TOKEN: set here for the scripts that source this
make_token() {
    MODULE=$(realpath /usr/lib/softhsm/libsofthsm2.so)
    KEY="pkcs11:token=corvandel-release;object=release;type=private"
    TOKEN=(--pkcs11-module "$MODULE" --pkcs11-key "$KEY")
    export SOFTHSM2_CONF=$work/softhsm2.conf
    mkdir -p "$work/tokens"
    printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" >"$SOFTHSM2_CONF"
    CORVANDEL_PKCS11_PIN="pin-$(openssl rand -hex 8)"
    export CORVANDEL_PKCS11_PIN
    softhsm2-util --init-token --free --label corvandel-release --so-pin "so-$(openssl rand -hex 8)" \
        --pin "$CORVANDEL_PKCS11_PIN" >/dev/null
    token_key release 01 rsa --bits 2048
    token_certificate release 01 "Corvandel Release Signing" "$work/release.pem"
}

# On the token: a key OBJECT generated there (p11tool's --generate-privkey
# KIND and its options), then a self-signed code-signing certificate for it,
# made through the token and stored beside it.
token_key() { # OBJECT ID KIND [OPTIONS...]
    GNUTLS_PIN=$CORVANDEL_PKCS11_PIN p11tool --provider "$MODULE" --login --generate-privkey "$3" "${@:4}" \
        --label "$1" --id "$2" "pkcs11:token=corvandel-release" >/dev/null 2>&1
}
token_certificate() { # OBJECT ID SUBJECT OUT
    PKCS11_MODULE_PATH=$MODULE openssl req -new -x509 -engine pkcs11 -keyform engine \
        -key "pkcs11:token=corvandel-release;object=$1;type=private" -passin env:CORVANDEL_PKCS11_PIN \
        -subj "/CN=$3" -addext extendedKeyUsage=codeSigning -days 2 -out "$4" >/dev/null 2>&1
    token_store "$1" "$2" "$4"
}
token_store() { # OBJECT ID CERTIFICATE
    GNUTLS_PIN=$CORVANDEL_PKCS11_PIN p11tool --provider "$MODULE" --login --write --load-certificate "$3" \
        --label "$1" --id "$2" "pkcs11:token=corvandel-release" >/dev/null 2>&1
}

# An RFC 3161 timestamp server on 127.0.0.1 (`openssl ts -reply` behind
# tsa_server.py) with a throwaway root, $work/tsa/root.pem. Sets LIVE, its
# URL ("" when it did not start); bounded: it stops by itself after an
# hour (a hang guard, far beyond any test's run), and stop_tsa kills it by PID.
tsa_pid=
# shellcheck disable=SC2034 # LIVE: set here for the scripts that source this
start_tsa() {
    local tsa=$work/tsa
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
    /usr/bin/python3 tests/package/tsa_server.py "$tsa/port" "$tsa/tsa.cnf" 3600 &
    tsa_pid=$!
    local guard=$((SECONDS + 300))
    until [ -s "$tsa/port" ] || ! kill -0 "$tsa_pid" 2>/dev/null || [ $SECONDS -ge $guard ]; do sleep 0.2; done
    [ -s "$tsa/port" ] || ! kill -0 "$tsa_pid" 2>/dev/null || echo "FAIL: hang guard: the timestamp server had chosen no port after 5 minutes"
    LIVE=
    [ ! -s "$tsa/port" ] || LIVE=http://127.0.0.1:$(cat "$tsa/port")/tsa
}
stop_tsa() { [ -z "$tsa_pid" ] || kill "$tsa_pid" 2>/dev/null; }

# What a row may not touch: /etc, this checkout outside build/, and whatever
# the tools would leave in their temporary folder or beside OUT_DIR. A file
# that a process had open for writing when the row started is the caller's
# (the log that `scripts/test | tee test.log` writes, say): the row's tool
# had not started then, so it is never counted as the tool's write.
marker=$work/before-row
checkout=$(pwd -P)
# Every file some process holds open for writing now: "PID STARTTIME<tab>FILE" a line.
open_for_writing() {
    # Each descriptor's flags end in the access mode's octal digit: 1 write, 2 read and write.
    find /proc/[0-9]*/fd -mindepth 1 -maxdepth 1 -type l -lname '/*' -printf '%h/%f\t%l\n' 2>/dev/null |
        awk -F'\t' '{ info = $1; sub("/fd/", "/fdinfo/", info); mode = ""
            while ((getline line < info) > 0) if (line ~ /^flags:/) mode = substr(line, length(line)) % 4
            close(info); if (mode != 1 && mode != 2) next
            split($1, part, "/"); stat = "/proc/" part[3] "/stat"; started = ""
            # The start time, the 20th field after the command name in its parentheses.
            if ((getline line < stat) > 0) { sub(/.*\) /, "", line); split(line, field, " "); started = field[20] }
            close(stat); print part[3] " " started "\t" $2 }' 2>/dev/null
}
# Looked for once as the test starts, too: one look at a busy machine has
# missed the log that a tee of the caller's writes, and a row's own two looks
# then both missed it. A process seen at any look before the row is the caller's.
open_for_writing | sort -u >"$work/caller.writers"
row_starts() {
    touch "$marker"
    open_for_writing | sort -u - "$work/caller.writers" >"$marker.writers"
    cut -f2- "$marker.writers" | sort -u >"$marker.open"
}
# What was written since the row started under each PATH, the caller's files
# and what PRUNE names (find's -path patterns) left out.
written_since_row() { # PATH... [-- PRUNE...]
    local paths=() prune=(-path /nowhere) path
    while [ $# -gt 0 ] && [ "$1" != -- ]; do paths+=("$1"); shift; done
    [ $# -eq 0 ] || { shift; for path in "$@"; do prune+=(-o -path "$path"); done; }
    # Still open for writing, once the row's tool has ended, by a process that was there
    # before the row began, a file is the caller's too: a second look, so that one look
    # missing a busy machine's log cannot fail the row. A process the tool left is no caller.
    open_for_writing | awk -F'\t' 'NR == FNR { before[$1] = 1; next } $1 in before { print $2 }' \
        <(cut -f1 "$marker.writers") - >>"$marker.open"
    find "${paths[@]}" -mindepth 1 -xdev \( "${prune[@]}" \) -prune -o -newer "$marker" -print 2>/dev/null |
        grep -vxF -f "$marker.open" | head -n 3 | tr '\n' ' '
}
untouched() { # NAME
    local changed
    changed=$(written_since_row /etc "$checkout" -- "$checkout/build" "$checkout/.git")
    check "$1: nothing outside the build tree was written${changed:+; written: $changed}" test -z "$changed"
    changed=$(find "$TMPDIR" -mindepth 1 -maxdepth 1 -printf '%f ')
    check "$1: the tools' temporary folder is empty${changed:+; it holds $changed}" test -z "$changed"
    rm -rf "${TMPDIR:?}"/*
}
row_starts
# Lets a row's tool run; a row is one tool's call with the environment it names.
tool() { # NAME ENV... -- TOOL ARGS...: output in $work/NAME.out and .err, exit in $status
    local name=$1 environment=()
    shift
    while [ "$1" != -- ]; do environment+=("$1"); shift; done
    shift
    row_starts
    env "${environment[@]}" timeout "$HANG_GUARD_SECONDS" "$@" >"$work/$name.out" 2>"$work/$name.err"
    status=$?
    hang_guard "$name" "$status"
}
refused() { # NAME STATUS LINE [OUT_DIR]: the row's verdict, its one line, OUT_DIR absent, nothing written
    check "$1: exit status $2, got $status" test "$status" -eq "$2"
    check "$1: says \"$3\"; said: $(grep -v ': warning:' "$work/$1.err" | head -c 400)" \
        test "$(grep -v ': warning:' "$work/$1.err")" = "$3"
    [ -z "${4:-}" ] || check "$1: OUT_DIR left as it was (absent)" test ! -e "$4" -a ! -L "$4"
    untouched "$1"
}

report() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
