#!/usr/bin/env bash
# Checks the bash completions of kivo_dump and kivo_store: packaging/tests/completion_test.sh <file>
# with <file> the completion file that both commands load. Each case is a command line with the cursor at its end
# (a final blank starts an empty word) and the sorted candidates expected; files come from a
# temporary folder.
file=$(realpath "${1:?usage: $0 <completion file>}") || exit 2
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT && cd "$tmp" || exit 2
mkdir sub && touch demo.db demo.txt lo.db objects.txt a:b.db

cases=(  # expected | line
    "a:b.db demo.db demo.txt lo.db localhost objects.txt sub|kivo_dump "
    "lo.db localhost|kivo_dump lo"                 "b.db|kivo_dump a:"
    "demo.db demo.txt|kivo_dump file:de"           "sub|kivo_store file:s"
    "-|kivo_dump localhost "                       "|kivo_dump localhost al"
    "-|kivo_dump host:7446 "                       "-|kivo_dump h - "
    "DB KIVO QOR TUK YEB|kivo_dump h - - "         "KIVO|kivo_dump h u p KI"
    "KIVO|kivo_dump h u p ki"                      "|kivo_dump h u p X"
    "pattern pattern_file|kivo_dump file:demo.db?mode=ro - - DB "
    "pattern pattern_file|kivo_dump [::1]:7446 u p QOR pat"
    "|kivo_dump h u p DB PAT"                      "|kivo_dump h u p DB Machine "
    "|kivo_dump h u p DB pattern "                 "options|kivo_dump h u p db pattern .Nil() "
    "|kivo_dump h u p DB pattern x options "
    "demo.db demo.txt|kivo_dump h u p DB pattern_file de"
    "options_file report|kivo_dump h u p DB pattern_file p "
    "report|kivo_dump h u p DB pattern_file p r"
    "objects.txt|kivo_dump h u p DB pattern_file p options_file o"
    "report|kivo_dump h u p DB pattern_file p options_file o "
    "|kivo_dump h u p DB pattern_file p report "
    "|kivo_dump h u p DB pattern_file p options_file o report "
    "--help --version|kivo_store -"                "--version|kivo_store --v"
    "demo.db demo.txt|kivo_store de"               "|kivo_store --help "
    "create delete import put retention update|kivo_store s.db "
    "retention|kivo_store s.db re"                 "|kivo_store s.db Put"
    "--if-missing age= entries=|kivo_store s.db create "
    "--if-missing entries=|kivo_store s.db create age=60 "
    "|kivo_store s.db create age="                 "entries=|kivo_store s.db create --if-missing e"
    "--if-missing|kivo_store s.db create --if-missing"
    "age= entries=|kivo_store s.db retention "     "|kivo_store s.db retention entries=5 age=1 "
    "--create|kivo_store s.db put "                "|kivo_store s.db put .Nil().End() --"
    "|kivo_store s.db put --create "               "|kivo_store s.db delete "
    "--create|kivo_store file:s.db?mode=rw import --c"
    "objects.txt|kivo_store s.db import --create o" "|kivo_store s.db import objects.txt --"
    "|kivo_store s.db import file:o"
    "--create a:b.db demo.db demo.txt lo.db objects.txt sub|kivo_store s.db import "
    "|kivo_store s.db bogus "
)

# Runs one case (in a subshell, with the completion file sourced); $3 non-empty: without COMP_LINE.
check() {
    local expect=$1 line=$2 word got blank
    read -ra blank <<<"$line"
    COMP_WORDS=() COMP_LINE=$line COMP_POINT=${#line}
    [[ -z $3 ]] || unset COMP_LINE
    for word in "${blank[@]}"; do  # bash's own split: blanks, then runs of ":" or "="
        while [[ $word =~ ^([^:=]+|[:=]+)(.*)$ ]]; do
            COMP_WORDS+=("${BASH_REMATCH[1]}") word=${BASH_REMATCH[2]}
        done
    done
    [[ $line == *' ' ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    source "$file" || { echo "FAIL: '$line': the completion file cannot be read"; return 1; }
    local registered=($(complete -p "${COMP_WORDS[0]}"))
    "${registered[-2]}" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    got=$(for word in "${COMPREPLY[@]}"; do echo "${word:-<empty>}"; done | LC_ALL=C sort |
        paste -sd ' ')
    [[ $got == "$expect" ]] && return
    echo "FAIL: '$line'${3:+ (no COMP_LINE)}: expected '$expect', got '$got'" && return 1
}

failures=0
for case in "${cases[@]}"; do
    ( check "${case%%|*}" "${case#*|}" ) || ((++failures))
    [[ ${case#*|} == *[:=]* ]] || ( check "${case%%|*}" "${case#*|}" plain ) || ((++failures))
done
((failures == 0)) || { echo "completion: $failures failures" && exit 1; }
echo "completion: ${#cases[@]} cases pass"
