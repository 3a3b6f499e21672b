# shellcheck shell=bash
# What tests/docs/docs_test.sh reads in the documents and checks against the
# tree (its header says what each check holds). Source it from the project's
# root; then:
#   check_tree DIR     every check over the tree in DIR: one line a fault, then
#                      "checked: LINKS ANCHORS PATHS COMMANDS PICTURES LISTS OPTIONS PARTS",
#                      how many of each it checked
source scripts/lib/box-texts.sh

# ------------------------------------------------------------ reading a document
# One record a line, TAB-separated: "H LINE TEXT" a heading, "L LINE TARGET" a
# link or picture, "A LINE ID" an HTML anchor, and from code (a code span, or
# a line of a code block with its continuation lines joined) "P LINE PATH" a
# path of the tree (TOP: its top folders, as alternatives of a regular
# expression) and "X LINE scripts/NAME OPTION..." a command and the options
# shown after it, up to the end of that command.
read_markdown() { # FILE TOP
    awk -v top="$2" '
        function code(line, text,   rest, name, segment, options, i, c, two, depth, quote, end, path) {
            text = " " text
            rest = text
            while (match(rest, "[^A-Za-z0-9_./~$-](" top ")/[A-Za-z0-9_./*-]*")) {
                path = substr(rest, RSTART + 1, RLENGTH - 1)
                rest = substr(rest, RSTART + RLENGTH)
                sub(/[.,:]+$/, "", path)
                print "P\t" line "\t" path
            }
            while (match(text, /[^A-Za-z0-9_.\/-]scripts\/[a-z0-9][a-z0-9-]*/)) {
                name = substr(text, RSTART + 1, RLENGTH - 1)
                rest = substr(text, RSTART + RLENGTH)
                text = rest
                if (substr(rest, 1, 1) == "/") continue
                depth = 0; quote = ""; end = length(rest) + 1
                for (i = 1; i <= length(rest); i++) {
                    c = substr(rest, i, 1); two = substr(rest, i, 2)
                    if (quote != "") { if (c == quote) quote = ""; continue }
                    if (c == "\"" || c == "'\''") quote = c
                    else if (c == "[") depth++
                    else if (c == "]") depth--
                    else if (c == ";" || two == "&&" || two == "||" || two == " #" || (c == "|" && depth <= 0)) { end = i; break }
                    else if (substr(rest, i, 8) == "scripts/") { end = i; break }
                }
                segment = " " substr(rest, 1, end - 1)
                options = ""
                while (match(segment, /[ [|]--[a-z0-9][a-z0-9-]*/)) {
                    options = options " " substr(segment, RSTART + 1, RLENGTH - 1)
                    segment = substr(segment, RSTART + RLENGTH)
                }
                print "X\t" line "\t" name options
            }
        }
        function flush(   text, start, length_, before, span, n, target) {
            text = para
            while (match(text, /`[^`]+`/)) {
                start = RSTART; length_ = RLENGTH
                before = substr(text, 1, start - 1)
                n = gsub(/\n/, "\n", before)
                span = substr(text, start + 1, length_ - 2)
                gsub(/\n/, " ", span)
                code(para_line + n, span)
                # The span is replaced by as many line breaks as it held, so lines still count.
                span = substr(text, start, length_); gsub(/[^\n]/, "", span)
                text = before " " span substr(text, start + length_)
            }
            while (match(text, /\]\([^)]*\)/)) {
                before = substr(text, 1, RSTART - 1)
                n = gsub(/\n/, "\n", before)
                target = substr(text, RSTART + 2, RLENGTH - 3)
                sub(/^</, "", target); sub(/[ >].*$/, "", target)
                print "L\t" (para_line + n) "\t" target
                text = before substr(text, RSTART + RLENGTH)
            }
            while (match(text, /(id|name)="[^"]+"/)) {
                target = substr(text, RSTART, RLENGTH); sub(/^[a-z]+="/, "", target); sub(/"$/, "", target)
                print "A\t" para_line "\t" target
                text = substr(text, RSTART + RLENGTH)
            }
            para = ""
        }
        fence != "" {
            if ($0 ~ "^ *" fence) { fence = ""; next }
            if (joined != "") { joined = joined " " $0 } else { joined = $0; joined_line = NR }
            if (joined ~ /\\$/) { sub(/\\$/, "", joined); next }
            code(joined_line, joined)
            joined = ""
            next
        }
        /^ *(```|~~~)/ {
            flush(); fence = $0; sub(/^ */, "", fence); fence = substr(fence, 1, 3); next
        }
        /^#+ / {
            flush(); text = $0; sub(/^#+ +/, "", text); sub(/ +#+ *$/, "", text)
            print "H\t" NR "\t" text
            para = text; para_line = NR; flush(); next
        }
        /^ *\[[^]]+\]: / {
            flush(); text = $0; sub(/^ *\[[^]]+\]: */, "", text); sub(/ .*$/, "", text)
            print "L\t" NR "\t" text; next
        }
        /^[ \t]*$/ { flush(); next }
        { if (para == "") { para = $0; para_line = NR } else para = para "\n" $0 }
        END { flush() }
    ' "$1"
}

# SLUG: the anchor GitHub gives a heading's text (repeats are counted by the
# caller): the text as rendered (a link's words), in lower case, without
# anything but letters, digits, spaces, hyphens and underscores, spaces as hyphens.
slug() { # TEXT
    local text=$1
    while [[ $text =~ ^(.*)!?\[([^]]*)\]\([^\)]*\)(.*)$ ]]; do
        text=${BASH_REMATCH[1]}${BASH_REMATCH[2]}${BASH_REMATCH[3]}
    done
    text=${text,,}
    text=${text//[^[:alnum:] _-]/}
    SLUG=${text// /-}
}

declare -A ANCHORS=() ANCHORS_READ=()
read_anchors() { # FILE: fills ANCHORS["FILE#anchor"]
    local kind line text anchor
    local -A seen=()
    ANCHORS_READ[$1]=yes
    while IFS=$'\t' read -r kind line text; do
        case $kind in
            H)
                slug "$text"
                anchor=$SLUG
                if [ -n "${seen[$anchor]:-}" ]; then
                    seen[$anchor]=$((seen[$anchor] + 1))
                    anchor=$anchor-$((seen[$anchor] - 1))
                else
                    seen[$anchor]=1
                fi
                ANCHORS["$1#$anchor"]=yes
                ;;
            A) ANCHORS["$1#$text"]=yes ;;
        esac
    done < <(read_markdown "$1" "$TOP_FOLDERS")
}

# ------------------------------------------------------------ the checks
# The options a command's usage names: the "scripts/NAME ..." lines of its
# header comment and any line that speaks of its usage.
declare -A USAGE=()
usage_options() { # COMMAND: into USAGE[COMMAND]
    [ -z "${USAGE[$1]+known}" ] || return 0
    USAGE[$1]=$(awk -v name="$1" 'NR > 1 && !/^#/ { header = 1 }
        !header && NR > 1 && index($0, name " ") { print } tolower($0) ~ /usage/ { print }' "$1" |
        grep -oE -- '--[a-z0-9][a-z0-9-]*' | sort -u | xargs)
}

path_exists() { # PATH; a part in capitals stands for a name
    local part
    IFS=/ read -ra parts <<<"$1"
    for part in "${parts[@]}"; do [[ ! $part =~ ^[A-Z][A-Z0-9_]*$ ]] || return 0; done
    if [[ $1 == *'*'* ]]; then compgen -G "$1" >/dev/null; else [ -e "$1" ]; fi
}

check_document() { # DOC: one line a fault; counts into COUNTED
    local doc=$1 kind line text file anchor command options option dir
    dir=$(dirname "$doc")
    while IFS=$'\t' read -r kind line text; do
        case $kind in
            L)
                [[ $text =~ ^[a-z][a-z0-9+.-]*: ]] && continue # a web address, mailto:
                counted[links]=$((counted[links] + 1))
                file=${text%%#*} anchor=
                [[ $text != *#* ]] || anchor=${text#*#}
                if [ -z "$file" ]; then
                    file=$doc
                else
                    file=$(realpath -m --relative-to=. "$dir/$file")
                    if [ ! -e "$file" ]; then
                        echo "$doc:$line: link $text: no such file or folder"
                        continue
                    fi
                fi
                if [ -z "$anchor" ] || [[ $file != *.md ]]; then continue; fi
                counted[anchors]=$((counted[anchors] + 1))
                [ -n "${ANCHORS_READ[$file]:-}" ] || read_anchors "$file"
                [ -n "${ANCHORS["$file#$anchor"]:-}" ] || echo "$doc:$line: link $text: $file has no heading that gives it"
                ;;
            P)
                counted[paths]=$((counted[paths] + 1))
                path_exists "$text" || echo "$doc:$line: $text: no such file or folder"
                ;;
            X)
                read -r command options <<<"$text"
                counted[commands]=$((counted[commands] + 1))
                if [ ! -f "$command" ] || [ ! -x "$command" ]; then
                    echo "$doc:$line: $command: no such command"
                    continue
                fi
                usage_options "$command"
                for option in $options; do
                    [[ " ${USAGE[$command]} " == *" $option "* ]] ||
                        echo "$doc:$line: $command does not take $option: its usage names ${USAGE[$command]:-no option}"
                done
                ;;
        esac
    done < <(read_markdown "$doc" "$TOP_FOLDERS")
}

check_pictures() { # one line a fault; counts into COUNTED
    local manifest=$BOX_PICTURES/$BOX_MANIFEST id picture digest expected
    local -A recorded=() pictured=()
    if [ ! -f "$manifest" ]; then
        echo "$manifest: missing: run scripts/box-pictures"
        return
    fi
    while read -r id picture digest; do
        if [ -z "$id" ] || [[ $id == \#* ]]; then continue; fi
        recorded[$id]=$digest pictured[$picture]=$id
    done <"$manifest"
    while read -r id; do
        counted[pictures]=$((counted[pictures] + 1))
        picture=$BOX_PICTURES/$(box_picture "$id")
        if ! expected=$(box_digest "$id"); then
            # Once more outside $(...), which keeps the reason it sets to itself.
            box_caption "$id" >/dev/null && box_text "$id" >/dev/null
            echo "$picture: cannot tell what it must show: $BOX_TEXTS_FAULT"
        elif [ -z "${recorded[$id]:-}" ]; then
            echo "$picture: no picture of the box $id in $manifest: run scripts/box-pictures"
        elif [ ! -f "$picture" ]; then
            echo "$picture: missing: run scripts/box-pictures"
        elif [ "${recorded[$id]}" != "$expected" ]; then
            echo "$picture: made from other texts than $id's caption and text now: run scripts/box-pictures"
        fi
        unset "recorded[$id]"
    done < <(box_ids)
    for id in "${!recorded[@]}"; do
        echo "$manifest: a picture of $id, a box the program no longer shows: run scripts/box-pictures"
    done
    for picture in "$BOX_PICTURES"/*.png; do
        [ -e "$picture" ] || continue
        [ -n "${pictured[${picture##*/}]:-}" ] || echo "$picture: not in $manifest: run scripts/box-pictures"
    done
}

# ------------------------------------------------------------ what the code says
# A reader's document names no test file (docs/development.md is where the
# tests are told), in its text or its code; HTML comments, which no reader
# sees, aside. One "LINE PATH" a test file.
test_files_named() { # DOC
    awk '{
        line = $0
        if (comment) { if (!(i = index(line, "-->"))) next; line = substr(line, i + 3); comment = 0 }
        while ((i = index(line, "<!--"))) {
            rest = substr(line, i + 4)
            if ((j = index(rest, "-->"))) line = substr(line, 1, i - 1) substr(rest, j + 3)
            else { line = substr(line, 1, i - 1); comment = 1 }
        }
        text = " " line
        while (match(text, /[^A-Za-z0-9_.\/-]tests\/[A-Za-z0-9_.-]+[A-Za-z0-9_.\/-]*/)) {
            print NR "\t" substr(text, RSTART + 1, RLENGTH - 1)
            text = substr(text, RSTART + RLENGTH)
        }
    }' "$1"
}

# A list the code holds, stated in a document between "<!-- list: NAME -->"
# and "<!-- end of list -->": its code spans (a folder's trailing / dropped)
# must be exactly the items of the array NAME of scripts/lib/release-record.sh.
# One "LINE NAME ITEM..." a list, TAB-separated.
lists_stated() { # DOC
    perl -0ne 'while (/(?<!`)<!-- list: (\w+) -->(.*?)<!-- end of list -->/sg) {
        my ($name, $body, $line) = ($1, $2, 1 + (substr($_, 0, $-[0]) =~ tr/\n//));
        my @items = map { s{/$}{}r } $body =~ /`([^`]+)`/g;
        print join("\t", $line, $name, @items), "\n";
    }' "$1"
}
code_list() { # NAME: its items, one a line; status 1 when the code has no such list
    bash -c 'source scripts/lib/release-record.sh >/dev/null 2>&1 && [[ $(declare -p "$1" 2>/dev/null) == "declare -a"* ]] &&
        { declare -n list=$1; printf "%s\n" "${list[@]}"; }' _ "$1"
}
check_lists() { # DOC: one line a fault; counts into COUNTED
    local line name items expected missing extra
    while IFS=$'\t' read -r line name items; do
        counted[lists]=$((counted[lists] + 1))
        if ! expected=$(code_list "$name"); then
            echo "$1:$line: the list $name: scripts/lib/release-record.sh holds no such list"
            continue
        fi
        missing=$(comm -23 <(sort -u <<<"$expected") <(tr '\t' '\n' <<<"$items" | sort -u) | xargs)
        extra=$(comm -13 <(sort -u <<<"$expected") <(tr '\t' '\n' <<<"$items" | sort -u) | xargs)
        [ -z "$missing" ] || echo "$1:$line: the list $name leaves out $missing, which scripts/lib/release-record.sh holds"
        [ -z "$extra" ] || echo "$1:$line: the list $name names $extra, which scripts/lib/release-record.sh does not hold"
    done < <(lists_stated "$1")
}

# An option named on its own in a code span (`--timestamp URL`) is one a
# command of scripts/ takes; one written with "=" is another tool's.
options_named() { # DOC: one "LINE OPTION" each
    awk '/^ *(```|~~~)/ { fence = !fence; next } !fence {
        text = $0
        while (match(text, /`--[a-z0-9][a-z0-9-]*[^`]*`/)) {
            span = substr(text, RSTART + 1, RLENGTH - 2); text = substr(text, RSTART + RLENGTH)
            if (span !~ /^--[a-z0-9-]+=/) { sub(/[^a-z0-9-].*$/, "", span); print NR "\t" span }
        }
    }' "$1"
}
declare -A ANY_OPTION=()
check_options() { # DOC: one line a fault; counts into COUNTED
    local line option command
    if [ ${#ANY_OPTION[@]} -eq 0 ]; then
        for command in scripts/*; do
            if [ ! -f "$command" ] || [ ! -x "$command" ]; then continue; fi
            usage_options "$command"
            for option in ${USAGE[$command]}; do ANY_OPTION[$option]=$command; done
        done
    fi
    while IFS=$'\t' read -r line option; do
        counted[options]=$((counted[options] + 1))
        [ -n "${ANY_OPTION[$option]:-}" ] || echo "$1:$line: $option: no command of scripts/ takes it"
    done < <(options_named "$1")
}

# The parts of scripts/lib/ each command loads, itself or through another
# part: one "PART COMMAND" a line. A file loads a part when a line of its
# own (not a comment) names it after a "/".
part_loaders() {
    local file part command queue more files=()
    local -A loads=() seen=()
    for file in scripts/* scripts/lib/*; do [ ! -f "$file" ] || files+=("$file"); done
    # One pass over every file: the suite's cost is this table's check, run once per fault row.
    while read -r file part; do loads[$file]+=" $part"; done < <(awk -v parts="$(printf '%s\n' scripts/lib/*)" '
        BEGIN { n = split(parts, part, "\n") }
        /^[[:space:]]*#/ { next }
        { for (i = 1; i <= n; i++) { name = substr(part[i], 13)
              if (part[i] != FILENAME && !((FILENAME, i) in found) && index($0, "/" name)) { found[FILENAME, i] = 1; print FILENAME, part[i] } } }' "${files[@]}")
    for command in scripts/*; do
        [ -f "$command" ] || continue
        seen=()
        read -ra queue <<<"${loads[$command]:-}"
        while [ ${#queue[@]} -gt 0 ]; do
            part=${queue[0]} queue=("${queue[@]:1}")
            [ -z "${seen[$part]:-}" ] || continue
            seen[$part]=yes
            echo "${part##*/} ${command##*/}"
            read -ra more <<<"${loads[$part]:-}"
            queue+=("${more[@]}")
        done
    done
}
# development.md's table of scripts/lib/'s parts: a row for each part, its
# last column naming (in code) exactly the commands that load it.
check_part_table() { # one line a fault; counts into COUNTED
    local doc=docs/development.md line part said loaders command commands=()
    local -A by=() told=()
    while read -r part command; do by[$part]+=" $command "; done < <(part_loaders)
    for command in scripts/*; do [ ! -f "$command" ] || commands+=("${command#scripts/}"); done
    while IFS=$'\t' read -r line part said; do
        counted[parts]=$((counted[parts] + 1))
        told[$part]=yes
        if [ ! -e "scripts/lib/$part" ]; then
            echo "$doc:$line: scripts/lib/$part: no such part"
            continue
        fi
        # Both as the commands in scripts/'s order, each once: no process a part.
        said=" $said " loaders=''
        for command in "${commands[@]}"; do [[ $said != *" $command "* ]] || loaders+=" $command"; done
        said=${loaders# } loaders=''
        for command in "${commands[@]}"; do [[ ${by[$part]:-} != *" $command "* ]] || loaders+=" $command"; done
        loaders=${loaders# }
        [ "$said" = "$loaders" ] ||
            echo "$doc:$line: scripts/lib/$part: the table says ${said:-no command} loads it; ${loaders:-no command} does"
    done < <(awk -F'|' '/^\| part of `scripts\/lib\/`/ { table = 1; next } table && !/^\|/ { table = 0 }
        table && $2 ~ /`/ { said = ""
            rest = $(NF - 1); while (match(rest, /`[^`]+`/)) { said = said " " substr(rest, RSTART + 1, RLENGTH - 2); rest = substr(rest, RSTART + RLENGTH) }
            rest = $2; while (match(rest, /`[^`]+`/)) { print NR "\t" substr(rest, RSTART + 1, RLENGTH - 2) "\t" said; rest = substr(rest, RSTART + RLENGTH) } }' "$doc")
    [ "${counted[parts]}" -gt 0 ] || echo "$doc: no table of scripts/lib/'s parts (a header row beginning | part of \`scripts/lib/\`)"
    for part in scripts/lib/*; do
        [ -n "${told[${part##*/}]:-}" ] || echo "$doc: scripts/lib/${part##*/}: not in the table of scripts/lib/'s parts"
    done
}

# Every check over the tree in DIR: its faults, then "checked: links anchors paths commands pictures lists options parts".
check_tree() ( # DIR
    cd "$1" || exit 1
    declare -A counted=([links]=0 [anchors]=0 [paths]=0 [commands]=0 [pictures]=0 [lists]=0 [options]=0 [parts]=0)
    TOP_FOLDERS=$(find . -mindepth 1 -maxdepth 1 -type d ! -name build ! -name .git -printf '%f\n' | sed 's/\./\\./g' | paste -sd'|')
    for doc in README.md docs/*.md; do
        check_document "$doc"
        check_lists "$doc"
        check_options "$doc"
        [ "$doc" = docs/development.md ] && continue
        test_files_named "$doc" | while IFS=$'\t' read -r line path; do
            echo "$doc:$line: $path: a test file, in a document for readers; what the tests prove is told in docs/development.md"
        done
    done
    check_part_table
    check_pictures
    echo "checked: ${counted[links]} ${counted[anchors]} ${counted[paths]} ${counted[commands]} ${counted[pictures]} ${counted[lists]} ${counted[options]} ${counted[parts]}"
)

