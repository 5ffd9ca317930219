#!/usr/bin/env bash
# Tests the bash completion of ketterlin-scan: loads bash-completion and the completion file,
# then calls the completion function as bash would (COMP_WORDS split at bash's word breaks, so
# "--json=a" is "--json" "=" "a") in a scratch folder of folders and files.
# Usage: completion_test.sh COMPLETION_FILE KETTERLIN_SCAN
set -uo pipefail
completion=${1:?usage: completion_test.sh COMPLETION_FILE KETTERLIN_SCAN}
host=$(realpath "${2:?usage: completion_test.sh COMPLETION_FILE KETTERLIN_SCAN}")
bash_completion=/usr/share/bash-completion/bash_completion
if [[ ! -r $bash_completion ]]; then
    echo "bash-completion is not installed ($bash_completion)" >&2
    exit 1
fi
# shellcheck disable=SC1090
source "$bash_completion"
# shellcheck disable=SC1090
source "$completion"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/alpha" "$scratch/alpha beta" "$scratch/another" "$scratch/-dash" "$scratch/zeta"
: >"$scratch/apple.json"
: >"$scratch/zebra.txt"
cd "$scratch" || exit 1

# The completions at the end of `line` (the words after the command, as typed), sorted and
# joined with "|". The words are split as bash splits them for completion: at blanks, and around
# "=" (one of bash's COMP_WORDBREAKS), so "--json=a" is "--json" "=" "a".
completions() {
    local line="ketterlin-scan $1" word
    local -a typed
    read -ra typed <<<"$line"
    [[ $line == *" " ]] && typed+=("")
    COMP_WORDS=()
    for word in "${typed[@]}"; do
        if [[ $word == *=* ]]; then
            COMP_WORDS+=("${word%%=*}" "=")
            [[ -n ${word#*=} ]] && COMP_WORDS+=("${word#*=}")
        else
            COMP_WORDS+=("$word")
        fi
    done
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    _ketterlin_scan ketterlin-scan "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" \
        2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd'|'
}

failures=0
check() {
    local name=$1 expected=$2
    shift 2
    local actual
    actual=$(completions "$1")
    if [[ $actual != "$expected" ]]; then
        echo "FAIL $name: ketterlin-scan $1<TAB> gave '$actual', expected '$expected'"
        failures=$((failures + 1))
    fi
}

check "option prefix" "--no-color" "--no"
check "options sharing a prefix" "--top|--top-up" "--top"
check "PATH: folders only" "alpha|alpha beta|another" "a"
check "PATH after options" "zeta" "--quiet -d 3 z"
check "top-up targets" "alpha|alpha beta|another" "--top-up /srv a"
check "json file" "alpha|alpha beta|another|apple.json" "--json a"
check "json file joined with =" "alpha|alpha beta|another|apple.json" "--json=a"
check "load file" "zebra.txt|zeta" "--browse --load z"
check "html file joined with =" "zebra.txt|zeta" "--html=z"
check "helper program" "zebra.txt|zeta" "--helper z"
check "depth: a number" "" "--depth "
check "short depth: a number" "" "-d "
check "top joined with =: a number" "" "--top="
check "value for an option that takes none" "" "--quiet=a"
check "after --, a dash begins a folder" "-dash" "-- -"
check "before --, a dash begins an option" "-d" "-d"
check "after a path" "another" "/ an"

# Every option that ketterlin-scan --help lists is offered.
all=$(completions "-")
help_options=$("$host" --help | awk '
    /ketterlin-scan \[/ { print; next }
    /^ +-/ { sub(/^ +/, ""); sub(/  .*/, ""); print }' |
    grep -oE -- '(^|[ ,[])--?[A-Za-z][-A-Za-z]*' | sed 's/^[ ,[]//' | sort -u)
if [[ -z $help_options ]]; then
    echo "FAIL: $host --help lists no options"
    failures=$((failures + 1))
fi
for option in $help_options; do
    if [[ "|$all|" != *"|$option|"* ]]; then
        echo "FAIL: $option (from --help) is not completed"
        failures=$((failures + 1))
    fi
done

if ((failures > 0)); then
    echo "$failures completion checks failed"
    exit 1
fi
echo "all completion checks passed"
