#!/usr/bin/env bash
# The next patch is one edit of plan/plan.inc. In a copy of this tree (its
# files as they stand, uncommitted changes too, without build/: git ls-files,
# committed there as a publisher commits the edit), the plan is moved to the
# family after this one's, outdated x.y.0.30 and updated x.y.0.34, with other
# byte counts; scripts/update-docs writes the deployment rules; then:
#   - a kit of components at the new updated version is packaged, and its dry run on Wine
#     updates an installation at the new outdated version;
#   - the patch leaves an installation already at the new updated version alone;
#   - a kit at this tree's updated version is refused;
#   - the deployment rules, as the copy's documents now give them, hold on Wine;
#   - the plan check finds nothing of the old plan left but the documents' prose.
# The copy shares this tree's release root and booted Wine prefix (both only
# ever added to), and builds only what packaging and the rules need.
#   tests/plan/next_patch_test.sh      (as root, after the windows preset is built)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
started=$SECONDS
here=$PWD

# ------------------------------------------------------------ the plans
source scripts/lib/plan.sh || exit 1
OLD_OUTDATED=$PLAN_OUTDATED_VERSION OLD_UPDATED=$PLAN_UPDATED_VERSION
IFS=. read -r major minor _ <<<"$PLAN_OUTDATED_VERSION"
NEXT_OUTDATED=$major.$((minor + 1)).0.30 NEXT_UPDATED=$major.$((minor + 1)).0.34
# A kit component at this tree's updated version: its fixture, as this tree builds it.
old_updated_fixture=$here/build/windows/fixtures/$(plan_fixture "${PLAN_COMPONENTS[0]}" updated).dll
timeout 900 cmake --build --preset windows --target "fixture_$(plan_fixture "${PLAN_COMPONENTS[0]}" updated)" >/dev/null ||
    { echo "FAIL: could not build $old_updated_fixture (configure the windows preset first)"; exit 1; }

# ------------------------------------------------------------- the copy
next=$(mktemp -d "${TMPDIR:-/tmp}/corvandel-next-patch.XXXXXX")
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' file; do
    [ -f "$file" ] && printf '%s\0' "$file"
done | tar --null -T - -cf - | tar -C "$next" -xf -
mkdir -p build/release-root build/windows/wine-template "$next/build/windows"
mkdir -p "$here/build/release-root" && ln -s "$here/build/release-root" "$next/build/release-root"
ln -s "$here/build/windows/wine-template" "$next/build/windows/wine-template"
old_plan=$(<plan/plan.inc) plan_text=$old_plan
plan_text=${plan_text/"\"$OLD_OUTDATED\""/"\"$NEXT_OUTDATED\""}
plan_text=${plan_text/"\"$OLD_UPDATED\""/"\"$NEXT_UPDATED\""}
for name in "${PLAN_COMPONENTS[@]}"; do
    read -r bytes_a bytes_b <<<"${PLAN_ROW_BYTES[$name]}"
    plan_text=${plan_text/", $bytes_a, $bytes_b)"/", $((bytes_a + 123457)), $((bytes_b + 234571)))"}
done
printf '%s\n' "$plan_text" >"$next/plan/plan.inc"
cd "$next" || exit 1
update_docs=$(scripts/update-docs 2>&1)
{ git init -q && git add -A && git -c user.name=test -c user.email=test@example.invalid commit -qm "The next patch"; } ||
    { echo "FAIL: could not commit the copy"; exit 1; }

source tests/package/package_lib.sh # the copy's: the next plan's PLAN_* values
source scripts/lib/patch-world.sh || exit 1
source scripts/lib/deployment-rules.sh || exit 1
trap 'patch_world_stop; rm -rf "$work" "$next"' EXIT
echo "next patch: $OLD_OUTDATED to $OLD_UPDATED becomes $PLAN_OUTDATED_VERSION to $PLAN_UPDATED_VERSION, in $next"
check "the copy's plan is the next one: $PLAN_OUTDATED_VERSION to $PLAN_UPDATED_VERSION, other byte counts" \
    test "$PLAN_OUTDATED_VERSION $PLAN_UPDATED_VERSION" = "$NEXT_OUTDATED $NEXT_UPDATED" -a "$plan_text" != "$old_plan"
check "update-docs rewrote the rules; it said: $update_docs" grep -q "are now the plan's ($NEXT_OUTDATED to $NEXT_UPDATED)" <<<"$update_docs"
check "the rules in $RULES_DOC detect $NEXT_UPDATED" grep -qF "| greater than or equal to | \`$NEXT_UPDATED\` |" "$RULES_DOC"

# ------------------------------------------------------------ the build
# What packaging, its kits and the rules test need, and nothing else.
targets=()
for name in "${PLAN_COMPONENTS[@]}"; do
    for role in outdated updated unknown-build; do targets+=("fixture_$(plan_fixture "$name" "$role")"); done
done
built() { # PRESET TARGET...
    timeout 300 cmake --preset "$1" >"$work/build-$1.log" 2>&1 &&
        timeout 900 cmake --build --preset "$1" -j2 --target "${@:2}" >>"$work/build-$1.log" 2>&1
}
for preset in windows windows-x64; do
    [ $preset = windows ] && wanted=(CorvandelUpdate "${targets[@]}") || wanted=(CorvandelUpdate package_helper)
    built $preset "${wanted[@]}" || tail -n5 "$work/build-$preset.log"
    check "the $preset preset builds ${wanted[*]}" test -s build/$preset/CorvandelUpdate.exe
done

# ------------------------------------------------------------ the kits
make_kit "$work/kit" "${BASE[@]}"
package next "$work/kit" "$work/out"
check "a kit at $NEXT_UPDATED is packaged, got $status ($(tail -n1 "$work/next.err"))" test "$status" -eq 0
# shellcheck disable=SC2016 # expanded by the shell or tool it is given to, not here
check "its exe, built in the release root, is not this tree's: the plan is compiled in" \
    bash -c '[ -s "$1" ] && ! cmp -s "$1" "$2"' _ "$work/out/CorvandelUpdate.exe" "$here/build/windows/CorvandelUpdate.exe"
check "its components are read as $NEXT_UPDATED" grep -q "^package: kit: ${PLAN_COMPONENTS[0]} $NEXT_UPDATED " "$work/next.out"
check "its dry run updated an installation at $NEXT_OUTDATED, keeping those as the backups" has_line "$work/next.out" \
    "package: dry run: the first run updated both components and kept the $NEXT_OUTDATED files as .old; the second copied only the notes; no box"
first=${PLAN_COMPONENTS[0]}
check "the dry run's table shows $first's backup at $NEXT_OUTDATED after each run" \
    grep -qE "^  ${PLAN_BACKUP[$first]//./\\.} +- +${NEXT_OUTDATED//./\\.} +${NEXT_OUTDATED//./\\.}\$" "$work/next.out"

make_kit "$work/old-kit" "${BASE[@]}"
cp "$old_updated_fixture" "$work/old-kit/$first"
package old "$work/old-kit" "$work/out-old"
check "a kit at $OLD_UPDATED is refused, exit status 1, got $status" test "$status" -eq 1
check "with the line that says why; printed: $(head -c 300 "$work/old.err")" has_line "$work/old.err" \
    "package: $first is $OLD_UPDATED; the patch installs $NEXT_UPDATED and would refuse $OLD_UPDATED on its next run"
check "and nothing written" test ! -e "$work/out-old"

# ------------------------------------- an installation already at the new version
already_updated() {
    local name output status=0
    { lay_out_outdated_installation && unzip -q "$work/out/CorvandelPatch.zip" -d "$DOWNLOADS"; } ||
        { check "the installation at $NEXT_UPDATED is laid out on Wine" false; return; }
    wine_runs_32bit || cp "$PATCH_EXE" "$DOWNLOADS/CorvandelUpdate.exe"
    for name in "${PLAN_COMPONENTS[@]}"; do cp "$(fixture "$name" updated)" "$INSTALL/$name"; done
    output=$(run_patch) || status=$?
    check "on an installation at $NEXT_UPDATED, the patch ends without a box (status $status): $(tail -n2 <<<"$output" | xargs)" \
        test "$status" -eq 0
    for name in "${PLAN_COMPONENTS[@]}"; do
        # shellcheck disable=SC2016 # expanded by the shell or tool it is given to, not here
        check "$name is left as it was, with no backup made" \
            bash -c 'cmp -s "$1" "$2" && [ ! -e "$3" ]' _ "$INSTALL/$name" "$(fixture "$name" updated)" "$INSTALL/${PLAN_BACKUP[$name]}"
    done
}
if patch_world_start; then
    already_updated
    patch_world_stop
else
    check "a Wine session starts" false
fi

# --------------------------------------------------- the rules and the documents
timeout 900 tests/deploy/rules_test.sh >"$work/rules.out" 2>&1 && status=0 || status=$?
check "the deployment rules of the next plan hold on Wine: $(tail -n1 "$work/rules.out")" test "$status" -eq 0
[ "$status" -eq 0 ] || grep -E '^(FAIL|note):' "$work/rules.out"
# The one edit leaves no copy of the old plan: what the plan check finds in
# the copy is the documents' prose, which still states the old versions and
# byte counts for the publisher to bring up to date.
tests/plan/written_once_test.sh >"$work/written-once.out" 2>&1
stale=$(grep '^FAIL: ' "$work/written-once.out" | grep -v '^FAIL: the documents state only' || true)
# shellcheck disable=SC2016 # expanded by the shell or tool it is given to, not here
check "the plan check finds what the documents still state of the old plan, and nothing else: $(grep -vE '^FAIL: (README\.md|docs/[^:]*\.md):' <<<"$stale" | head -n3)" \
    bash -c '[ -n "$1" ] && ! grep -vE "^FAIL: (README\.md|docs/[^:]*\.md):[0-9]+: " <<<"$1"' _ "$stale"

echo "next patch: $((SECONDS - started)) s"
report
