#!/usr/bin/env bash
# What a customer's security team does on its own workstation, as an ordinary
# user: a throwaway user with subordinate ids (tests/lib/throwaway-user.sh)
# and a clone of this checkout of its own verifies a release packaged here as
# root (its release root made in a user namespace, cold, then cached),
# packages a kit, signed, verifies that, refuses a tampered and a hostile
# release, and deletes its whole build tree. The exe built in the
# user's root must be the root-made root's, byte for byte, and nothing outside
# the user's own folders may change. Where this machine refuses user
# namespaces, each row is skipped with the reason the tools give, never passed.
#   tests/package/unprivileged_test.sh      (as root, after the windows and windows-x64 presets are built)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
source tests/package/package_lib.sh
source tests/lib/throwaway-user.sh
source scripts/lib/release-record.sh
ROWS=(verify_cold verify_warm package_signed verify_own tampered hostile no_subordinate_ids delete_build untouched)
skip_all() { # WHY
    local row
    for row in "${ROWS[@]}"; do echo "skipped: $row: $1"; done
    echo "$passed passed, $failed failed, ${#ROWS[@]} skipped: $1"
    exit 0
}
[ "$(id -u)" -eq 0 ] || skip_all "making a throwaway user needs root"

# The user's own folders: outside this test's work folder, which only root may enter.
user_dir=$(mktemp -d /tmp/corvandel-user.XXXXXX)
trap 'rm -rf "$work" "$user_dir"' EXIT
throwaway_user_make "$user_dir"
# In a chroot whose / is no mount point the user's mount namespace cannot be made, and an
# ordinary user's tools, which need one too, stop there before writing anything.
# Anywhere else, a throwaway user that cannot run is this test's fault, and fails.
if ! refused=$(as_throwaway_user true 2>&1); then
    bash -c 'source scripts/lib/outside-values.sh && source scripts/lib/release-root.sh && in_chroot' ||
        { echo "FAIL: the throwaway user cannot run a command: $(tail -n1 <<<"$refused")"; exit 1; }
    skip_all "the throwaway user's mount namespace cannot be made in this chroot ($(tail -n1 <<<"$refused")), nor an ordinary user's build in a user namespace"
fi
# shellcheck disable=SC2016 # expanded by the shell or tool it is given to, not here
fault=$(as_throwaway_user bash -c 'cd "$1" && source scripts/lib/outside-values.sh && source scripts/lib/release-root.sh && userns_fault' _ "$PWD")
[ -z "$fault" ] || skip_all "$fault"

# A clone of this checkout for the user, with this tree's uncommitted work committed there.
clone=$THROWAWAY_HOME/checkout
git clone -q --no-local "$PWD" "$clone"
git ls-files -z | tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -C "$clone" -xf -
{ git -C "$clone" add -A && git -C "$clone" -c user.name=test -c user.email=test@example.invalid commit -qm "uncommitted work"; } || true
make_kit "$THROWAWAY_HOME/kit" "${BASE[@]}"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$THROWAWAY_HOME/cert.pem" -days 2 \
    -subj "/CN=Corvandel Unprivileged Test" -addext extendedKeyUsage=codeSigning 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$THROWAWAY_HOME/cert.pem" -out "$THROWAWAY_HOME/test.pfx" -passout pass:
chown -R "$THROWAWAY_UID:$THROWAWAY_UID" "$THROWAWAY_HOME"

# A release packaged here, as root, whose exe comes from the root-made root.
shared_release root-made "$user_dir/root-made"
check "root-made: the release to verify was packaged as root, got $status ($(tail -n1 "$work/root-made.err"))" test "$status" -eq 0
chmod -R a+rX "$user_dir/root-made"
root_made_exe=$(buildinfo_field "$user_dir/root-made/BUILDINFO" Unsigned-Exe-Sha256)

row_starts
sleep 1
# Runs a tool as the user in its clone: output in $work/NAME.out, exit in $status.
user_tool() { # NAME TOOL ARGS...
    local name=$1
    shift
    (cd "$clone" && as_throwaway_user timeout "$HANG_GUARD_SECONDS" "$@") >"$work/$name.out" 2>&1
    status=$?
    hang_guard "$name" "$status"
    sed "s/^/  $name: /" "$work/$name.out" # the whole of it, in this test's log
}
verdict() { tail -n1 "$work/$1.out"; }

# What packaging builds and boots in the user's clone (the exe, the stand-ins, the Wine
# helper, the template prefix), made meanwhile, as the user, while the root is made.
(cd "$clone" && as_throwaway_user bash -c 'source scripts/lib/patch-world.sh && patch_world_build &&
    patch_world_start && patch_world_stop') >"$work/prepare.out" 2>&1 &
preparing=$!
user_tool verify_cold scripts/verify-release "$user_dir/root-made" --trusted-ref HEAD
check "verify_cold: verified as the user, exit 0, got $status: $(verdict verify_cold)" test "$status" -eq 0
check "verify_cold: the root made in a user namespace gives the root-made root's exe, byte for byte" \
    grep -qx "verify-release: verified: CorvandelUpdate.exe is commit .* rebuilt byte for byte; it is unsigned" "$work/verify_cold.out"
check "verify_cold: the root was made now, for the user" grep -q ', made now$' "$work/verify_cold.out"
# The user's roots, each as "DIR INODE": a root reused is the same folder (a rebuild writes in it).
user_roots() { find "$clone/build/release-root" -mindepth 1 -maxdepth 1 -type d -name '*-user' -printf '%p %i\n' 2>/dev/null | sort; }
roots_cold=$(user_roots)
user_tool verify_warm scripts/verify-release "$user_dir/root-made" --trusted-ref HEAD
# How long each takes is a response time (scripts/bench-response): what must hold here is that the cached root is reused.
check "verify_warm: verified again, exit 0, got $status: $(verdict verify_warm)" test "$status" -eq 0
check "verify_warm: the root made cold was reused, not made again: the same folder ($roots_cold; now $(user_roots))" \
    bash -c "test -n '$roots_cold' && test '$(user_roots)' = '$roots_cold' && grep -q '^verify-release: the root: ' '$work/verify_warm.out' && ! grep -q ', made now$' '$work/verify_warm.out'"

# Signed: the whole of packaging as the user, the exe the root-made root's.
wait "$preparing" || { echo "could not build or boot what packaging needs in the user's clone:"; cat "$work/prepare.out"; }
THROWAWAY_ENV="CORVANDEL_PFX_PASSWORD=" user_tool package_signed scripts/package "$THROWAWAY_HOME/kit" "$THROWAWAY_HOME/signed" \
    --pfx "$THROWAWAY_HOME/test.pfx"
check "package_signed: packaged and signed as the user, exit 0, got $status ($(verdict package_signed))" \
    test "$status" -eq 0 -a -s "$THROWAWAY_HOME/signed/CorvandelUpdate.exe.pem"
check "package_signed: its unsigned exe is the root-made root's ($root_made_exe)" \
    test "$(buildinfo_field "$THROWAWAY_HOME/signed/BUILDINFO" Unsigned-Exe-Sha256 2>/dev/null)" = "$root_made_exe"
fingerprint=$(openssl x509 -in "$THROWAWAY_HOME/cert.pem" -noout -fingerprint -sha256 | sed 's/^.*=//')
user_tool verify_own scripts/verify-release "$THROWAWAY_HOME/signed" --ca "$THROWAWAY_HOME/cert.pem" --publisher "$fingerprint" --trusted-ref HEAD
check "verify_own: the user's signed release verifies, exit 0, got $status: $(verdict verify_own)" test "$status" -eq 0

# Tampered with and re-summed, as anyone who controls the download folder could.
rebuild_sums() { (cd "$1" && sha256sum CorvandelUpdate.exe Kestovar.ocx Sorvalen.ocx QuilbrexPatch.txt BUILDINFO >SHA256SUMS); }
cp -a "$user_dir/root-made" "$user_dir/tampered" && cp -a "$user_dir/root-made" "$user_dir/hostile"
rm "$user_dir/tampered/CorvandelPatch.zip" # a release folder may come without its zip
printf '\001' | dd of="$user_dir/tampered/CorvandelUpdate.exe" bs=1 seek=1040 conv=notrunc status=none
sed -i "s/^Released-Exe-Sha256: .*/Released-Exe-Sha256: $(sha256sum <"$user_dir/tampered/CorvandelUpdate.exe" | cut -d' ' -f1)/" \
    "$user_dir/tampered/BUILDINFO"
rebuild_sums "$user_dir/tampered"
sed -i 's#^Build-Suite: .*#Build-Suite: x/../../../..#' "$user_dir/hostile/BUILDINFO"
rebuild_sums "$user_dir/hostile"
chmod -R a+rX "$user_dir/tampered" "$user_dir/hostile"
user_tool tampered scripts/verify-release "$user_dir/tampered" --trusted-ref HEAD
check "tampered: a byte changed in the exe is not verified, exit 1, got $status: $(verdict tampered)" \
    bash -c "test $status -eq 1 && grep -q '^verify-release: not verified: rebuild: ' '$work/tampered.out'"
user_tool hostile scripts/verify-release "$user_dir/hostile"
check "hostile: a suite that climbs out of the build tree is refused, exit 2, got $status: $(verdict hostile)" \
    bash -c "test $status -eq 2 && grep -qx 'verify-release: cannot verify: BUILDINFO line [0-9]*: Build-Suite \"x/../../../..\" is not a Debian suite.s name' '$work/hostile.out'"

# Without subordinate ids the tools stop before they write anything, saying how to give some.
cp "$user_dir/etc/subuid" "$work/subuid" && cp "$user_dir/etc/subgid" "$work/subgid"
sed -i "/^$THROWAWAY_USER:/d" "$user_dir/etc/subuid" "$user_dir/etc/subgid"
# Every file with its size and time, every folder by name: a folder's own time moves with a file made and removed.
listing() { find "$clone/build" "$user_dir/tmp" \( -type f -printf '%p %s %T@\n' \) -o -printf '%p\n' 2>/dev/null | sort; }
before=$(listing)
user_tool no_subordinate_ids scripts/verify-release "$user_dir/root-made"
check "no_subordinate_ids: refused, exit 2, got $status, with the line that says how to give them: $(verdict no_subordinate_ids)" \
    bash -c "test $status -eq 2 && grep -qx 'verify-release: cannot verify: $THROWAWAY_USER has no range of subordinate user and group ids in /etc/subuid and /etc/subgid, which a user namespace needs; as root, give it one no other user has, such as: usermod --add-subuids 100000-165535 --add-subgids 100000-165535 $THROWAWAY_USER' '$work/no_subordinate_ids.out'"
check "no_subordinate_ids: nothing was written" test "$(listing)" = "$before"
cp "$work/subuid" "$user_dir/etc/subuid" && cp "$work/subgid" "$user_dir/etc/subgid"

user_tool delete_build rm -rf build
check "delete_build: the user deleted its whole build tree, exit 0, got $status ($(verdict delete_build))" \
    test "$status" -eq 0 -a ! -e "$clone/build"
owned=$(find "$THROWAWAY_HOME" "$user_dir/tmp" ! -user "$THROWAWAY_UID" -print -quit)
check "untouched: everything in the user's folders is the user's own${owned:+; not: $owned}" test -z "$owned"
# What changed there that the user could write: nothing else can be its tools' write, whatever root's
# work beside this test (other steps, another run of the test command) changes meanwhile.
outside=(/etc /usr /opt /srv /home /root /var/lib /var/cache)
touch -r "$marker" "$user_dir/marker"
changed=$(as_throwaway_user find "${outside[@]}" -xdev -newer "$user_dir/marker" ! -type l -writable -print 2>/dev/null |
    head -n 3 | tr '\n' ' ')
check "untouched: nothing outside the user's folders that it may write changed${changed:+; changed: $changed}" test -z "$changed"
users=$(find "${outside[@]}" -xdev -path "$THROWAWAY_HOME" -prune -o -user "$THROWAWAY_UID" -print 2>/dev/null |
    head -n 3 | tr '\n' ' ')
check "untouched: nothing of the user's outside its folders${users:+; found: $users}" test -z "$users"
left=$(find "$user_dir/tmp" -mindepth 1 -maxdepth 1 -printf '%f ')
check "untouched: the user's temporary folder is empty${left:+; it holds $left}" test -z "$left"

report
