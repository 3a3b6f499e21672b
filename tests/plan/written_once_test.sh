#!/usr/bin/env bash
# The plan (plan/plan.inc) is written once, and everything else follows it.
# Fails when scripts/lib/plan.sh cannot read the plan or reads a broken one;
# when one of the plan's values (each version dotted and as its double-word,
# each byte count in decimal and in hex, the registration key) is written in
# any other file of the tree but the documents, beyond the few exceptions
# below; when a document (README.md, docs/*.md) states a four-part version, or
# a count of 100,000 bytes or more, that the plan does not hold; and when the
# deployment rules table is not the one the plan gives. Fast: no build.
#   tests/plan/written_once_test.sh
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
passed=0 failed=0
check() { if "${@:2}"; then passed=$((passed + 1)); else echo "FAIL: $1"; failed=$((failed + 1)); fi; }
work=$(mktemp -d "${TMPDIR:-/tmp}/corvandel-plan-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

source scripts/lib/plan.sh || { echo "FAIL: scripts/lib/plan.sh cannot read plan/plan.inc"; exit 1; }
source scripts/lib/deployment-rules.sh || exit 1
echo "plan: $PLAN_OUTDATED_VERSION to $PLAN_UPDATED_VERSION; ${PLAN_COMPONENTS[*]} and $PLAN_NOTES"

# ------------------------------------------------------- a broken plan is refused
# The plan's own text with one change, as a publisher might get it wrong;
# plan.sh must refuse it with one line naming the file, the changed line
# (none for a missing entry) and what is wrong.
IFS=. read -r major minor _ <<<"$PLAN_OUTDATED_VERSION"
first=${PLAN_COMPONENTS[0]}
read -r first_a _ <<<"${PLAN_ROW_BYTES[$first]}"
plan_text=$(<plan/plan.inc)
# name | text to change | its replacement | what the line must say
BROKEN=(
    "updated version of another family|\"$PLAN_UPDATED_VERSION\"|\"$((major + 1)).$minor.0.1\"|the updated version $((major + 1)).$minor.0.1 is not of the outdated one's family"
    "versions in the wrong order|PLAN_UPDATED_VERSION(\"$PLAN_UPDATED_VERSION\")|PLAN_UPDATED_VERSION(\"$major.$minor.0.0\")|is not later than the outdated one"
    "a number past 65535|\"$PLAN_OUTDATED_VERSION\"|\"$major.$minor.65536.0\"|has a number above 65535"
    "a version of three numbers|\"$PLAN_OUTDATED_VERSION\"|\"$major.$minor.1\"|is not four numbers joined by dots"
    "a byte count in hex|, $first_a,|, $(printf '0x%X' "$first_a"),|PLAN_COMPONENT is not of the form the file's head gives"
    "a byte count past a double-word|, $first_a,|, 4294967296,|the byte count 4294967296 is not a decimal number of at most 4294967295"
    "a backup named as its component|\"${PLAN_BACKUP[$first]}\"|\"${first^^}\"|is already the plan's component name on line"
    "a path for a file name|\"$first\"|\"..\\\\$first\"|is not a plain file name"
    "a comment after an entry|PLAN_NOTES(\"$PLAN_NOTES\")|PLAN_NOTES(\"$PLAN_NOTES\") // the notes|PLAN_NOTES is not of the form the file's head gives"
    "an entry the plan does not have|PLAN_NOTES(\"$PLAN_NOTES\")|PLAN_CAPTION(\"$PLAN_NOTES\")|not an entry of the plan"
    "the notes left out|PLAN_NOTES(\"$PLAN_NOTES\")||has no PLAN_NOTES entry"
)
# shellcheck disable=SC2317 # called through check
one_line() { [ "$(wc -l <<<"$1")" -eq 1 ] && [[ $1 == "$2: "*"$3"* ]]; } # SAID WHERE EXPECTED
for row in "${BROKEN[@]}"; do
    IFS='|' read -r name needle replacement expected <<<"$row"
    printf '%s\n' "${plan_text/"$needle"/"$replacement"}" >"$work/plan.inc"
    where=next/plan.inc
    [ -z "$replacement" ] || where+=:$(grep -nF -- "$replacement" "$work/plan.inc" | head -n1 | cut -d: -f1)
    said=$( (plan_read "$work/plan.inc" next/plan.inc) 2>&1) && status=0 || status=$?
    check "$name: refused; status $status, said: $said" test "$status" -ne 0
    check "$name: one line, \"$where: ... $expected\"; said: $said" one_line "$said" "$where" "$expected"
done

# ------------------------------------------------- the plan's values, written once
# Where a value of the plan may stand outside plan/plan.inc, and why:
# file | kind (version, double-word, byte count, registration key) | why it is there
EXCEPTIONS=(
    "tests/host/checks_test.cpp|byte count|the free-space check's worked values: its arithmetic tested on the byte counts its design was worked out on, with the clusters they need worked out by hand"
)
# Each value as the pattern it is written in: a version as "major.minor.build.revision"
# and its two double-words in hex, a byte count in decimal (five digits or more:
# shorter numbers are too common to tell apart) and in hex, the key with its
# backslashes written any way. Double-words and hex counts below 0x10000 only in
# full, eight digits.
hex_pattern() { # VALUE
    local hex
    hex=$(printf '%X' "$1")
    if [ "$1" -ge 65536 ]; then echo "0x0*$hex([^0-9A-F]|\$)"; else printf '0x%08X([^0-9A-F]|$)\n' "$1"; fi
}
# shellcheck disable=SC2016,SC2001 # a sed bracket expression, not the shell's
regex_quote() { sed 's#[][\\.*^$(){}+?|/]#\\&#g' <<<"$1"; }
# kind, pattern and what was found, tab-separated: patterns hold |.
PATTERNS=()
for version in "$PLAN_OUTDATED_VERSION" "$PLAN_UPDATED_VERSION"; do
    PATTERNS+=("version	(^|[^0-9.])$(regex_quote "$version")([^0-9]|\$)	$version")
    for word in $(plan_version_words "$version"); do
        PATTERNS+=("double-word	$(hex_pattern $((word)))	$word, of $version")
    done
done
for name in "${PLAN_COMPONENTS[@]}"; do
    for bytes in ${PLAN_ROW_BYTES[$name]}; do
        [ "$bytes" -lt 10000 ] || PATTERNS+=("byte count	(^|[^0-9A-Z_])$bytes([^0-9]|\$)	$bytes, of $name's row")
        PATTERNS+=("byte count	$(hex_pattern "$bytes")	$(printf '0x%X' "$bytes"), of $name's row")
    done
done
key_pattern=
# shellcheck disable=SC2141 # split at each backslash of the key
IFS=$'\\' read -ra segments <<<"$PLAN_REGISTRATION_KEY"
for segment in "${segments[@]}"; do key_pattern+=${key_pattern:+'[\\/]+'}$(regex_quote "$segment"); done
PATTERNS+=("registration key	$key_pattern	the registration key")

# An untracked file that a process is writing now is not the tree's: the log the test command's output is saved in.
here=$(pwd -P)
writing=$(find /proc/[0-9]*/fd -mindepth 1 -maxdepth 1 -type l -lname "$here/*" -printf '%h/%f\t%l\n' 2>/dev/null |
    awk -F'\t' -v here="$here" '{ info = $1; sub("/fd/", "/fdinfo/", info); while ((getline line < info) > 0) if (line ~ /^flags:/ &&
        substr(line, length(line)) % 4) print substr($2, length(here) + 2); close(info) }' 2>/dev/null)
mapfile -t files < <({ git ls-files --cached; git ls-files --others --exclude-standard | grep -vxF -e "$writing"; } |
    grep -vxE 'plan/plan\.inc|README\.md|docs/.*\.md' | while read -r file; do [ -f "$file" ] && echo "$file"; done)
found=()
for row in "${PATTERNS[@]}"; do
    IFS=$'\t' read -r kind pattern shown <<<"$row"
    while IFS=: read -r file number _; do
        allowed=
        for exception in "${EXCEPTIONS[@]}"; do
            IFS='|' read -r where what _ <<<"$exception"
            [ "$where|$what" != "$file|$kind" ] || allowed=yes
        done
        [ -n "$allowed" ] || found+=("$file:$number: $shown, which only plan/plan.inc may hold")
    done < <(grep -InHiE -- "$pattern" "${files[@]}")
done
[ ${#found[@]} -eq 0 ] || printf 'FAIL: %s\n' "${found[@]}"
check "no value of the plan is written outside plan/plan.inc (${#files[@]} files searched, ${#found[@]} found)" test ${#found[@]} -eq 0

# ------------------------------------------------------------- the documents
# What a document states must be what the plan holds: the versions a reader
# needs, and the byte counts of its rows.
NOT_VERSIONS=(127.0.0.1)
mapfile -t documents < <(ls README.md docs/*.md 2>/dev/null)
holds() { # VALUE LIST...
    local value=$1 item
    shift
    for item in "$@"; do [ "$item" = "$value" ] && return 0; done
    return 1
}
plan_counts=()
for name in "${PLAN_COMPONENTS[@]}"; do read -ra counts <<<"${PLAN_ROW_BYTES[$name]}"; plan_counts+=("${counts[@]}"); done
stated=()
while IFS=: read -r document number version; do
    [ "$(tr -cd . <<<"$version")" = ... ] || continue
    holds "$version" "${NOT_VERSIONS[@]}" "$PLAN_OUTDATED_VERSION" "$PLAN_UPDATED_VERSION" ||
        stated+=("$document:$number: the version $version is not one the plan holds ($PLAN_OUTDATED_VERSION, $PLAN_UPDATED_VERSION)")
done < <(grep -noHE '[0-9]+(\.[0-9]+)+' "${documents[@]}")
while IFS=: read -r document number phrase; do
    for count in $(grep -oE '[0-9][0-9,]*' <<<"$phrase" | tr -d ,); do
        [ "$count" -lt 100000 ] || holds "$count" "${plan_counts[@]}" ||
            stated+=("$document:$number: $count bytes is not a byte count of the plan (${plan_counts[*]})")
    done
done < <(grep -noHE '[0-9][0-9,]*( and [0-9][0-9,]*)? bytes' "${documents[@]}")
[ ${#stated[@]} -eq 0 ] || printf 'FAIL: %s\n' "${stated[@]}"
check "the documents state only the plan's versions and byte counts (${documents[*]})" test ${#stated[@]} -eq 0

rules_in_doc >"$work/rules" || echo "FAIL: $RULES_DOC has no deployment rules table between its markers"
check "$RULES_DOC's deployment rules are the plan's; run scripts/update-docs" cmp -s "$work/rules" <(rules_from_plan)

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
