#!/usr/bin/env bash
# The documents cannot drift from the tree they describe. README.md and every
# docs/*.md are read as GitHub renders them (code blocks and code spans apart
# from the text), and each of these must hold:
#
#   check      holds when                                              a fault reads
#   links      every relative link and picture names a file or         DOC:LINE: link TARGET: no such file or folder
#              folder of the tree
#   anchors    every #anchor, in the same document or another, is      DOC:LINE: link TARGET: FILE has no heading that gives it
#              one a heading gives, by GitHub's rules: the heading's
#              text in lower case, all but letters, digits, spaces,
#              hyphens and underscores dropped, spaces as hyphens, and
#              -1, -2 ... on a repeated one
#   paths      every path of the tree a document shows in code         DOC:LINE: PATH: no such file or folder
#              (scripts/..., tests/..., docs/..., any top folder) exists;
#              a part in capitals (LEG, SUITE) stands for a name
#   commands   every scripts/NAME a document shows in code is a        DOC:LINE: scripts/NAME: no such command
#              command of scripts/, and every --option shown after     DOC:LINE: scripts/NAME does not take --OPTION: its usage names ...
#              it is one its usage names: the "scripts/NAME ..."
#              lines of its header comment, or its usage line
#   pictures   each box the program can show (scripts/lib/box-texts.sh) docs/boxes/PICTURE: ...: run scripts/box-pictures
#              has its picture, and the manifest beside the pictures
#              records the digest of its current caption and text
#   test files no document but docs/development.md names a test file  DOC:LINE: PATH: a test file, in a document for readers ...
#   lists      a list marked <!-- list: NAME --> ... <!-- end of list --> DOC:LINE: the list NAME leaves out ... / names ...
#              names exactly the array NAME of scripts/lib/release-record.sh
#   options    an option alone in a code span is one a command takes    DOC:LINE: --OPTION: no command of scripts/ takes it
#   parts      development.md's table of scripts/lib/ has each part,    docs/development.md:LINE: scripts/lib/PART: the table says ...
#              with exactly the commands that load it                   docs/development.md: scripts/lib/PART: not in the table ...
#
# (tests/docs/docs_lib.sh reads the documents and makes these checks.) Then
# it makes copies of the tree with one fault each (the table FAULTS below) and
# requires each fault to be found, so that a check which has stopped finding
# anything fails too.
#   tests/docs/docs_test.sh
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
export LC_ALL=C.UTF-8
source tests/docs/docs_lib.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/corvandel-docs.XXXXXX")
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check() { if "${@:2}"; then passed=$((passed + 1)); else echo "FAIL: $1"; failed=$((failed + 1)); fi; }

# ------------------------------------------------------------ this tree
check_tree . >"$work/faults"
read -r _ links anchors paths commands pictures lists options parts < <(grep '^checked: ' "$work/faults")
while IFS= read -r fault; do
    check "$fault" false
done < <(grep -v '^checked: ' "$work/faults")
echo "docs: $links links, $anchors anchors, $paths paths, $commands commands, $lists lists and $options options in README.md and docs/; $parts parts of scripts/lib/; $pictures box pictures"
check "the documents have links, anchors, paths, commands, lists, options and parts to check" \
    test "$links" -gt 0 -a "$anchors" -gt 0 -a "$paths" -gt 0 -a "$commands" -gt 0 -a "$lists" -gt 0 -a "$options" -gt 0 -a "$parts" -gt 0
check "every box the program can show is pictured (found $pictures)" test "$pictures" -ge 8

# ------------------------------------------------------------ faults it must find
# A copy of the tree as it is now, committed or not, without build/.
pristine=$work/pristine
mkdir -p "$pristine"
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' file; do
    [ -e "$file" ] && cp --parents -p "$file" "$pristine/"
done

replace() { # FILE OLD NEW: every OLD in FILE, which must hold one
    grep -qF -- "$2" "$1" || { echo "cannot make the fault: $1 has no \"$2\""; return 1; }
    OLD=$2 NEW=$3 perl -0pi -e 's/\Q$ENV{OLD}\E/$ENV{NEW}/g' "$1"
}
# FILE TEXT: a new file, since the copy's files are links to the pristine tree's.
append() { { cat "$1" && printf '%s\n' "$2"; } >"$1.new" && mv "$1.new" "$1"; }
reword() { # FILE START: "Reworded " put into the text of the C string literal that follows START
    replace "$1" "$2\"" "$2\"Reworded "
}

# name | how the copy is broken | a line the check must print (an extended regular expression; empty: no fault at all)
# First the contradictions the documents once held, then faults of every kind.
FAULTS=(
    "the exe's sources listed without plan/|replace docs/verifying.md '\`checks/\`, \`plan/\`, ' '\`checks/\`, '|^docs/verifying.md:[0-9]+: the list EXE_SOURCES leaves out plan,"
    "the exe's sources grown in the code alone|replace scripts/lib/release-record.sh 'EXE_SOURCES=(update ' 'EXE_SOURCES=(tools update '|^docs/verifying.md:[0-9]+: the list EXE_SOURCES leaves out tools,"
    "the upload folder holding more than the patch|replace docs/deploying.md '\`Sorvalen.ocx\` and' '\`Sorvalen.ocx\`, \`patch.cmd\` and'|^docs/deploying.md:[0-9]+: the list PATCH_NAMES names patch.cmd, which"
    "a test script named in code for release engineers|append docs/releasing.md 'Each refusal has its row in \`tests/package/hostile_test.sh\`.'|^docs/releasing.md:[0-9]+: tests/package/hostile_test.sh: a test file, in a document for readers"
    "a test script named in text for administrators|replace docs/deploying.md \"by this project's tests\" 'by tests/deploy/rules_test.sh'|^docs/deploying.md:[0-9]+: tests/deploy/rules_test.sh: a test file"
    "a part paired with a command that does not load it|replace docs/development.md \$'them \x7c \`box-pictures\`' \$'them \x7c \`box-pictures\`, \`test\`'|^docs/development.md:[0-9]+: scripts/lib/box-texts.sh: the table says box-pictures test loads it; box-pictures does"
    "a part left out of the table|replace docs/development.md \$'\`deployment-rules.sh\` \x7c the' \$'deployment rules \x7c the'|^docs/development.md: scripts/lib/deployment-rules.sh: not in the table"
    "an option no command takes|append docs/releasing.md 'Sign the components too (\`--sign-component\`).'|^docs/releasing.md:[0-9]+: --sign-component: no command of scripts/ takes it"
    "a moved document|mv docs/verifying.md docs/verify.md|^README.md:[0-9]+: link docs/verifying.md: no such file"
    "a renamed heading|replace docs/releasing.md '## Moving the pin' '## Moving the toolchain pin'|^docs/releasing.md:[0-9]+: link #moving-the-pin: docs/releasing.md has no heading"
    "a renamed heading another document links|replace docs/helpdesk.md '### Reading the versions' '### Reading versions'|^docs/deploying.md:[0-9]+: link helpdesk.md#reading-the-versions: docs/helpdesk.md has no heading"
    "an option a command does not take|replace docs/releasing.md '--sign-components \\' '--sign-component \\'|^docs/releasing.md:[0-9]+: scripts/package does not take --sign-component:"
    "an option gone from a command's usage|replace scripts/verify-release ' [--mirror URL]' ''|^docs/verifying.md:[0-9]+: scripts/verify-release does not take --mirror:"
    "a command that is gone|rm scripts/pin-toolchain|^docs/releasing.md:[0-9]+: scripts/pin-toolchain: no such command"
    "a path that is gone|rm tests/deploy/rules_test.sh|^docs/development.md:[0-9]+: tests/deploy/rules_test.sh: no such file"
    "a box's text changed|reword messages/catalogue.inc 'CATALOGUE_TEXT(IDS_BACKUP_FAILED, '|^docs/boxes/backup-failed.png: made from other texts than IDS_BACKUP_FAILED's.*: run scripts/box-pictures"
    "the caption changed|reword messages/catalogue.inc 'CATALOGUE_TEXT(IDS_UPDATE_TITLE, '|^docs/boxes/out-of-memory.png: made from other texts"
    "the out-of-memory text changed|reword messages/error_box.h 'OUT_OF_MEMORY_TEXT[] = '|^docs/boxes/out-of-memory.png: made from other texts than OUT_OF_MEMORY_TEXT's"
    "the out-of-memory text moved|replace messages/error_box.h 'OUT_OF_MEMORY_TEXT[]' 'OUT_OF_MEMORY[]'|^docs/boxes/out-of-memory.png: cannot tell what it must show: messages/error_box.h has no OUT_OF_MEMORY_TEXT"
    "a picture missing|rm docs/boxes/copy-failed.png|^docs/boxes/copy-failed.png: missing: run scripts/box-pictures"
    "a new message without a picture|append messages/catalogue.inc 'CATALOGUE_TEXT(IDS_DRIVE_LOCKED, \"The drive is locked.\")'|^docs/boxes/drive-locked.png: no picture of the box IDS_DRIVE_LOCKED"
    "GitHub's anchors for a code span, punctuation and a repeated heading|append docs/development.md \$'## The \`rules_test.sh\`: its table, and 1.2.3 (again)\\n\\n## The \`rules_test.sh\`: its table, and 1.2.3 (again)\\n\\n[one](#the-rules_testsh-its-table-and-123-again) [two](development.md#the-rules_testsh-its-table-and-123-again-1)'|"
)

for row in "${FAULTS[@]}"; do
    IFS='|' read -r name break expected <<<"$row"
    copy=$work/fault
    rm -rf "$copy"
    cp -al "$pristine" "$copy"
    if ! made=$(cd "$copy" && eval "$break" 2>&1); then
        check "$name: $made" false
        continue
    fi
    check_tree "$copy" | grep -v '^checked: ' >"$work/found"
    if [ -z "$expected" ]; then
        check "$name: no fault is found; found: $(paste -sd'|' "$work/found")" test ! -s "$work/found"
    else
        check "$name: found; it printed: $(paste -sd'|' "$work/found")" grep -qE -- "$expected" "$work/found"
    fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
