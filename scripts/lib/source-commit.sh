# shellcheck shell=bash
# The commit a release is built from, as git holds it: the exe is built from
# the commit's own tree (git archive), never from a working tree, and a
# verifier builds only a commit that one of the repository's trusted refs
# reaches. Every git failure is reported in git's own words. Source it after
# scripts/lib/release-record.sh (EXE_SOURCES), from inside the repository; then:
#   git_fault WHAT GIT-ARGS...     runs git; on failure sets GIT_FAULT ("WHAT: git says: ...", one
#                                  line; a checkout owned by another user named as such, with the
#                                  safe.directory line that lets git work in it) and returns 1
#   commit_sources COMMIT          the EXE_SOURCES that COMMIT holds, a line each
#   commit_sources_digest COMMIT   their git tree entries' digest: the same digest, the same sources
#   commit_sources_archive COMMIT  a tar of them on standard output, as git archive gives it
#   worktree_differences COMMIT    "PATH: WHAT" a line for each way this working tree's EXE_SOURCES
#                                  differ from COMMIT's: an edit, a file the commit lacks (untracked or
#                                  ignored), one it holds and the tree lacks. It compares the files'
#                                  bytes with the commit's, so that the index's flags (skip-worktree,
#                                  assume-unchanged) hide nothing. Status 1 with GIT_FAULT when git fails
#   TRUSTED_REFS_DEFAULT           the refs a verifier trusts unless told otherwise
#   trusted_ref_check REF          status 0 when REF names a ref this repository has (a full name
#                                  under refs/, HEAD, or a branch or tag's short name), never a hash
#                                  or an expression; sets TRUSTED_REF to its full name
#   commit_trusted COMMIT REF...   status 0 when COMMIT is in the repository and one of the refs
#                                  (patterns as git for-each-ref takes them) reaches it; else
#                                  UNTRUSTED_WHY says why

GIT_FAULT=
git_fault() { # WHAT GIT-ARGS...
    local what=$1 said status=0 top
    shift
    said=$(git "$@" 2>&1 >&3) || status=$?
    [ "$status" -ne 0 ] || return 0
    if [[ $said == *"dubious ownership"* ]]; then
        top=$(sed -n "s/^fatal: detected dubious ownership in repository at '\(.*\)'\$/\1/p" <<<"$said" | head -n1)
        top=${top:-$PWD}
        GIT_FAULT="$what: $(shown "$top") is owned by another user (uid $(stat -c %u "$top" 2>/dev/null || echo unknown)), and git refuses to work in it; if you trust it: git config --global --add safe.directory $(shown "$top")"
    else
        GIT_FAULT="$what: git says: $(shown "$(grep -m1 '^fatal: ' <<<"$said" || grep -m1 '^error: ' <<<"$said" || head -n1 <<<"$said")")"
        [[ $GIT_FAULT != *": git says: " ]] || GIT_FAULT+="exit status $status"
    fi
    return 1
} 3>&1

commit_sources() { # COMMIT
    git ls-tree --name-only "$1" -- "${EXE_SOURCES[@]}"
}

commit_sources_digest() { # COMMIT
    git ls-tree "$1" -- "${EXE_SOURCES[@]}" | sha256sum | cut -c1-32
}

commit_sources_archive() { # COMMIT
    local sources
    mapfile -t sources < <(commit_sources "$1")
    [ ${#sources[@]} -gt 0 ] || { echo "fatal: commit $1 holds none of ${EXE_SOURCES[*]}" >&2; return 1; }
    git archive --format=tar "$1" -- "${sources[@]}"
}

worktree_differences() { # COMMIT
    local committed here path tab=$'\t' LC_ALL=C
    committed=$(mktemp) here=$(mktemp)
    # "PATH<tab>MODE<tab>BLOB" for every file, in the commit and in the working tree.
    if ! git_fault "reading commit ${1:0:12}" ls-tree -r --full-tree "$1" -- "${EXE_SOURCES[@]}" >"$committed"; then
        rm -f "$committed" "$here"
        return 1
    fi
    awk -F'\t' '{ split($1, entry, " "); print $2 "\t" entry[1] "\t" entry[3] }' "$committed" | sort -t"$tab" -k1,1 >"$committed.sorted"
    # Regular files hashed in one call, as git would store them; links by their target.
    find "${EXE_SOURCES[@]}" -type f -printf '%p\t%m\n' 2>/dev/null | sort -t"$tab" -k1,1 >"$here.files"
    paste <(cut -f1 "$here.files") <(awk -F'\t' '{ print (int(substr($2, length($2) - 2, 1)) % 2 ? "100755" : "100644") }' "$here.files") \
        <(cut -f1 "$here.files" | git hash-object --stdin-paths) >"$here"
    while IFS= read -r path; do
        printf '%s\t120000\t%s\n' "$path" "$(readlink -- "$path" | tr -d '\n' | git hash-object --stdin)"
    done < <(find "${EXE_SOURCES[@]}" -type l 2>/dev/null) >>"$here"
    sort -t"$tab" -k1,1 -o "$here" "$here"
    join -t"$tab" -a 1 -a 2 -o 0,1.2,1.3,2.2,2.3 -e - "$committed.sorted" "$here" | awk -F'\t' '
        $3 == "-" { print $1 ": not in the commit (an untracked or ignored file)"; next }
        $5 == "-" { print $1 ": in the commit, missing here"; next }
        $3 != $5 { print $1 ": differs from the commit"; next }
        $2 != $4 { print $1 ": its mode differs from the commit (" $4 " here, " $2 " committed)" }'
    rm -f "$committed" "$committed.sorted" "$here" "$here.files"
}

# The branches of the clone's remote origin, as it last fetched them. Not the
# tags: a tag fetched from any remote (a fork's) lands in refs/tags, so a tag
# counts only when --trusted-ref names it.
# shellcheck disable=SC2034 # TRUSTED_REFS_DEFAULT: set here for the scripts that source this
TRUSTED_REFS_DEFAULT=(refs/remotes/origin)
TRUSTED_REF=
# shellcheck disable=SC2034 # TRUSTED_REF: set here for the scripts that source this
trusted_ref_check() { # REF
    local full
    TRUSTED_REF=
    [[ ${#1} -le 200 && $1 =~ ^[A-Za-z0-9][A-Za-z0-9._/-]*$ ]] || return 1
    if [ "$1" = HEAD ]; then
        TRUSTED_REF=HEAD
        git rev-parse -q --verify "HEAD^{commit}" >/dev/null
        return
    fi
    full=$1
    [[ $full == refs/* ]] || full=$(git rev-parse -q --verify --symbolic-full-name "$1" 2>/dev/null) || return 1
    [[ $full == refs/* ]] && git check-ref-format "$full" && git show-ref -q --verify "$full" || return 1
    TRUSTED_REF=$full
}

UNTRUSTED_WHY=
# shellcheck disable=SC2034 # UNTRUSTED_WHY: set here for the scripts that source this
commit_trusted() { # COMMIT REF...
    local commit=$1 ref refs=()
    shift
    UNTRUSTED_WHY=
    for ref in "$@"; do
        if [ "$ref" = HEAD ]; then refs+=(HEAD); else mapfile -t -O "${#refs[@]}" refs < <(git for-each-ref --format='%(refname)' "$ref"); fi
    done
    if ! git cat-file -e "$commit^{commit}" 2>/dev/null; then
        UNTRUSTED_WHY="it is not in this repository"
        return 1
    fi
    for ref in "${refs[@]}"; do
        git merge-base --is-ancestor "$commit" "$ref" 2>/dev/null && return 0
    done
    UNTRUSTED_WHY="none of the refs this repository trusts reaches it"
    [ ${#refs[@]} -gt 0 ] || UNTRUSTED_WHY="this repository has none of the refs it trusts"
    return 1
}
