#!/usr/bin/env bash
# completion_test.sh KESTRUN COMPLETION_SCRIPT
#
# Sources the bash completion and completes command lines the way bash does
# (COMP_WORDS/COMP_CWORD), checking the candidates offered.
set -euo pipefail
kestrun=$1 script=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
source "$here/options.sh"

# shellcheck disable=SC1090
source "$script"
[[ $(complete -p kestrun) == *'-F _kestrun'* ]] || fail "no completion registered for kestrun"
[[ $(complete -p kestrun-sim) == *'-F _kestrun'* ]] || fail "no completion registered for kestrun-sim"

# Completes a command line given as words; the last word is the one being
# completed (pass "" for an empty word). Prints the candidates sorted, one a line.
candidates() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _kestrun kestrun "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    ((${#COMPREPLY[@]} == 0)) || printf '%s\n' "${COMPREPLY[@]}" | sort
}

expect() {
    local want=$1; shift
    local got
    got=$(candidates "$@" | tr '\n' ' ' | sed 's/ $//')
    want=$(tr ' ' '\n' <<<"$want" | sed '/^$/d' | sort | tr '\n' ' ' | sed 's/ $//')
    [ "$got" = "$want" ] || fail "completing [$*]: got [$got], want [$want]"
}

models="DUNLIN1 DUNLIN2 ZARO2014 ZARO2018 DUNLINFD-Mini DUNLINFD1 DUNLINFD2 ZARO3014 ZARO3018"
arb="50000 100000 125000 250000 500000 800000 1000000"
data="$arb 2000000 4000000 5000000"

# Models after -D / --device, in every way bash may split the words.
expect "$models" kestrun -D ""
expect "$models" kestrun -a 500000 --device ""
expect "DUNLINFD-Mini DUNLINFD1 DUNLINFD2" kestrun -D DUNLINFD
expect "ZARO3014 ZARO3018" kestrun --device zaro30
expect "$models" kestrun --device "="
expect "DUNLIN1 DUNLIN2 DUNLINFD-Mini DUNLINFD1 DUNLINFD2" kestrun --device = DUN
expect "ZARO2014 ZARO2018" kestrun --device=ZARO20
expect "" kestrun -D CAN

# The model list is the tool's own (from --help).
help_models=$("$kestrun" --help | sed -n '/支持:/,/ZARO3014/p' | tr -s ' ,:' '\n' \
              | grep -E '^(DUNLIN|ZARO)' | sort | tr '\n' ' ' | sed 's/ $//')
[ "$(candidates kestrun -D "" | tr '\n' ' ' | sed 's/ $//')" = "$help_models" ] \
    || fail "completion models differ from kestrun --help: $help_models"

# Bit rates.
expect "$arb" kestrun -D DUNLIN2 -a ""
expect "$arb" kestrun --arb-rate ""
expect "100000 125000 1000000" kestrun -a 1
expect "$data" kestrun -D DUNLINFD2 -a 500000 -d ""
expect "250000 2000000" kestrun --data-rate 2
expect "4000000" kestrun --data-rate=4 -a 1 -d 4
expect "50000 500000 5000000" kestrun -d 5
expect "0 1" kestrun --iso ""
expect "1 10 11 12 13 14 15" kestrun -c 1

# Free values: nothing offered.
for opt in -m --message -i -p --period -n --count --id-start --id-end --id-step; do
    expect "" kestrun "$opt" ""
done

# Options.
expect "--id-start --id-end --id-step --id-random" kestrun -s --id-
expect "--data-rate --device" kestrun --d
expect "--receive" kestrun --rec
candidates kestrun - | grep -x -- -D >/dev/null || fail "-D not offered for -"
candidates kestrun - | grep -x -- --status >/dev/null || fail "--status not offered for -"

# Every long option of --help is offered, and every offered option is one
# kestrun accepts (with or without an argument, as the completion treats it).
offered=$(candidates kestrun -)
help_long=$(help_options | grep -- '^--' || true)
missing=$(comm -23 <(echo "$help_long") <(echo "$offered" | sort -u))
[ -z "$missing" ] || fail "options of --help not completed: $missing"
for opt in $offered; do
    # The completion offers values after exactly the options that take one.
    kind=flag
    case $opt in
        -D | --device | -a | --arb-rate | -d | --data-rate | --iso | -c | --channel | -i | --index | \
            -m | --message | -p | --period | -n | --count | --id-start | --id-end | --id-step)
            kind=arg ;;
    esac
    # Flags are followed by option names again, not by values.
    if [ "$kind" = flag ]; then
        [ "$(candidates kestrun "$opt" "" | head -1)" = "--arb-rate" ] \
            || fail "after $opt the completion does not offer options"
    fi
    check_option_accepted "$opt" "$kind"
done
echo "bash completion OK"
