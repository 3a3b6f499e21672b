# shellcheck shell=bash
# Timestamps for scripts/package: an RFC 3161 server countersigns a
# signature, so that it stays valid after the signing certificate expires.
# Sourced by scripts/lib/signing.sh, after package's stop is defined and
# $staging exists; then:
#   timestamp_exe IN OUT URL...    IN timestamped into OUT by the first server that answers
#                                  (TIMESTAMP_SERVER names it); when none does, one line per server
#                                  says what it answered, and packaging stops (exit 2)
#   timestamp_answer URL EXE       why URL gave no timestamp, in words that hold for every osslsigncode

# Why a server gave no timestamp, found by asking it once more with the same
# query: osslsigncode's own words for a dead or failing server come from the
# TLS and HTTP libraries it was built on, and change with them from one Debian
# release to the next, while curl's exit status and the server's HTTP status
# line do not.
# shellcheck disable=SC2154 # staging: set by the script that sources this
timestamp_answer() { # URL EXE
    local url=$1 query=$staging/probe.tsq headers=$staging/probe.headers code status
    openssl ts -query -data "$2" -sha256 -cert -out "$query" 2>/dev/null || { echo "no timestamp query could be made"; return; }
    rm -f "$headers"
    timeout 60 curl -sS --max-time 30 -o /dev/null -D "$headers" -H 'Content-Type: application/timestamp-query' \
        --data-binary "@$query" "$url" 2>/dev/null
    code=$?
    case $code in
        0) ;;
        6) echo "its host name could not be resolved"; return ;;
        7) echo "no connection could be made"; return ;;
        28 | 124) echo "no answer within 30 s"; return ;;
        35 | 51 | 53 | 54 | 58 | 59 | 60 | 66 | 77 | 80 | 83 | 90 | 91) echo "no secure connection could be made (curl exit status $code)"; return ;;
        *) echo "no answer it could read (curl exit status $code)"; return ;;
    esac
    # The last status line, "HTTP/1.1 503 Service Unavailable": a server may answer 100 Continue first.
    status=$(tr -d '\r' <"$headers" | grep '^HTTP/' | tail -n1 | cut -s -d' ' -f2-)
    code=${status%% *} reason=
    [ "$code" = "$status" ] || reason=" (${status#* })"
    if [ -z "$code" ]; then
        echo "the server's answer had no HTTP status"
    elif [ "$code" = 200 ]; then
        echo "the server answered HTTP 200, but not with a timestamp osslsigncode could use"
    else
        echo "the server answered HTTP $code$reason"
    fi
}

# Servers are tried in order until one answers, as release engineers expect
# when a TSA is down. None answering stops the packaging: one line per server.
TIMESTAMP_SERVER=''
# shellcheck disable=SC2034 # TIMESTAMP_SERVER: set here for the scripts that source this
timestamp_exe() { # IN OUT URL...
    local in=$1 out=$2 url answers=()
    shift 2
    for url in "$@"; do
        if timeout 90 osslsigncode add -verbose -ts "$url" -h sha256 -in "$in" -out "$out" \
            >"$staging/timestamp.log" 2>&1 && [ -s "$out" ]; then
            TIMESTAMP_SERVER=$url
            return 0
        fi
        rm -f "$out"
        answers+=("--timestamp $url gave no timestamp: $(timestamp_answer "$url" "$in")")
    done
    printf 'package: %s\n' "${answers[@]}" >&2
    exit 2
}
