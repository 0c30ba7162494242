#!/usr/bin/env bash
# docs_test.sh KESTRUN SOURCE_DIR VERSION COMPLETION_SCRIPT [KESTRUN_SIMCTL]
#
# The man pages and the bash completion against the programs: kestrun(1)
# documents every option of `kestrun --help` and only options kestrun accepts,
# with the argument each takes; the completion offers those options, values
# after exactly those that take one, and the models and bit rates; version
# and model table are the tool's; both pages format without warnings;
# kestrun-sim(1) documents every kestrun-simctl command.
set -euo pipefail
kestrun=$1 source=$2 version=$3 script=$4 simctl=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
page="$source/docs/man/kestrun.1"
sim_page="$source/docs/man/kestrun-sim.1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
declare -A kinds  # option -> arg | flag, as kestrun.1 shows it

# roff without its escapes: "\-" is "-", font changes vanish.
unroff() {
    sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\(em/-/g'
}
# Lines of a section (.SH NAME up to the next .SH).
section() {
    awk -v name="$2" '/^\.SH / { on = ($0 == ".SH " name || $0 == ".SH \"" name "\"") ; next } on' "$1"
}
# The options named in a text, one per line: long (--name) and short (-X)
# forms that stand as words of their own ("DUNLINFD-Mini" names none).
options_in_text() {
    grep -oP '(?<![\w-])(--[a-z][a-z-]*[a-z]|-[A-Za-z](?![\w-]))' | sort -u
}

# Runs kestrun with the given arguments and prints getopt's diagnostics
# (standard error); -h ends every run before any adapter is touched.
getopt_complaints() {
    "$kestrun" "$@" 2>&1 >/dev/null | grep -E "option|argument" || true
}

# Fails unless kestrun accepts option $1 (taking an argument when $2 = arg,
# none when $2 = flag), and fails when the option's argument need is other
# than declared.
check_option_accepted() {
    local opt=$1 kind=$2 out
    if [ "$kind" = arg ]; then
        out=$(getopt_complaints "$opt" 1 -h)
        [ -z "$out" ] || fail "kestrun refuses $opt 1: $out"
        out=$(getopt_complaints "$opt")
        [[ $out == *"requires an argument"* ]] || fail "$opt takes no argument in kestrun"
    else
        out=$(getopt_complaints "$opt" -h)
        [ -z "$out" ] || fail "kestrun refuses $opt: $out"
        # Last on the line: an option that wants an argument says so. (No
        # model is given, so the run ends before any adapter is touched.)
        out=$(getopt_complaints "$opt")
        [[ $out != *"requires an argument"* ]] || fail "$opt takes an argument in kestrun"
        if [[ $opt == --* ]]; then
            out=$(getopt_complaints "$opt=1" -h)
            [[ $out == *"doesn't allow an argument"* ]] || fail "$opt takes an argument in kestrun"
        fi
    fi
}

# The tag line of every .TP entry in OPTIONS: "-D, --device model".
section "$page" OPTIONS | awk 'tp { print; tp = 0 } /^\.TP/ { tp = 1 }' | unroff \
    | sed -e 's/^\.[A-Z]* //' -e 's/"//g' -e 's/  */ /g' -e 's/ , /, /g' >"$work/tags"
[ -s "$work/tags" ] || fail "no option entries in the OPTIONS section of kestrun.1"
options_in_text <"$work/tags" >"$work/man_options"
"$kestrun" --help | options_in_text >"$work/help_options"
[ -s "$work/help_options" ] || fail "no options in kestrun --help"

# 1. Every option of --help has its entry.
missing=$(comm -23 "$work/help_options" "$work/man_options")
[ -z "$missing" ] || fail "options in --help but not in kestrun.1: $missing"

# 2. Every documented option is one kestrun accepts, with an argument exactly
#    when the entry shows one after the option names.
while IFS= read -r tag; do
    kind=flag
    # "-D, --device model" / "--iso 0|1": a word after the last option.
    rest=$(sed -E 's/^(-[A-Za-z], )?--?[A-Za-z-]+//' <<<"$tag")
    [[ $rest =~ [^[:space:]] ]] && kind=arg
    for opt in $(options_in_text <<<"$tag"); do
        check_option_accepted "$opt" "$kind"
        kinds[$opt]=$kind
    done
done <"$work/tags"

# 3. Options kestrun has but --help leaves out are still documented, and
#    only those (a new option must be added to --help or to this list).
extra_expected=$(printf '%s\n' -b -e -n -p --echo | sort)
extra=$(comm -13 "$work/help_options" "$work/man_options")
[ "$extra" = "$extra_expected" ] || fail "kestrun.1 options beyond --help: $(echo $extra)"

# 4. Version and models.
grep -q "^\.TH KESTRUN 1 .*\"kestrun $version\"" "$page" || fail "kestrun.1 is not for $version"
[[ $("$kestrun" -v) == *"-v$version-"* ]] || fail "kestrun -v is not $version"
help_models=$("$kestrun" --help | sed -n '/支持:/,/ZARO3014/p' | tr -s ' ,:' '\n' \
              | grep -E '^(DUNLIN|ZARO)' | sort)
[ "$(wc -l <<<"$help_models")" = 9 ] || fail "expected 9 models in --help: $help_models"
# The tool's rows "model, vid:pid, channels": the models of its table
# (app/models.cpp), each with the USB identity of the driver the library
# dispatches it to (api/kcan_api.cpp: the classic driver's constants or the FD
# driver's model table).
awk '{ gsub(/[{}",;]/, " ") }
     FILENAME ~ /dunlin2_protocol/ && /constexpr/ { classic[$3] = $5 }
     FILENAME ~ /kcan_api/ && $2 ~ /^Family::/ { family[$1] = $2 }
     FILENAME ~ /fd_protocol/ && $1 ~ /^KCAN_TYPE_/ && $3 ~ /^0x/ {
         id[$1] = tolower(substr($3, 3) ":" substr($4, 3)) "\t" $5 }
     FILENAME ~ /models/ && $1 ~ /^KCAN_TYPE_/ { order[++n] = $1; name[$1] = $2 }
     END {
         id["Family::Classic"] = tolower(substr(classic["kVendorId"], 3) ":" \
             substr(classic["kProductId"], 3)) "\t" classic["kChannelCount"]
         for (i = 1; i <= n; i++) {
             t = order[i]
             print name[t] "\t" (family[t] == "Family::Classic" ? id[family[t]] : id[t])
         }
     }' "$source/drivers/classic/dunlin2_protocol.h" "$source/api/kcan_api.cpp" \
        "$source/drivers/fd/fd_protocol.cpp" "$source/app/models.cpp" >"$work/ids"
# ... and CAN FD as kestrun decides it: a data rate is refused, or validation
# goes on to the missing -m (so no adapter is touched).
while IFS=$'\t' read -r model usb channels; do
    out=$("$kestrun" -D "$model" -a 500000 -d 2000000 -s || true)
    case $out in
        *不支持FD功能*) fd=no ;;
        *"-m 参数"*) fd=yes ;;
        *) fail "kestrun -D $model -d: neither refused nor accepted: $out" ;;
    esac
    printf '%s\t%s\t%s\t%s\n' "$model" "$usb" "$channels" "$fd"
done <"$work/ids" | sort >"$work/tool_models"
[ "$(cut -f1 "$work/tool_models")" = "$help_models" ] \
    || fail "models of app/models.cpp [$(cut -f1 "$work/tool_models" | xargs)] vs --help [$(xargs <<<"$help_models")]"
models_text=$(section "$page" MODELS | unroff)
awk -F'\t' '/^(DUNLIN|ZARO)/' <<<"$models_text" | sort >"$work/man_models"
diff "$work/tool_models" "$work/man_models" >&2 \
    || fail "MODELS of kestrun.1 (>) differs from the tool (<)"
# The page must not offer a spelling that kestrun refuses.
lower=$(head -1 "$work/tool_models" | cut -f1 | tr '[:upper:]' '[:lower:]')
if [[ $("$kestrun" -D "$lower" -a 500000 -s || true) == *"需要指定设备型号"* ]] \
    && grep -qiE 'lower[ -]?case|case[ -]insensitive' <<<"$models_text"; then
    fail "kestrun.1 allows lower-case models; kestrun refuses -D $lower"
fi

# 5. The sections a reader looks for.
for s in NAME SYNOPSIS DESCRIPTION OPTIONS "FRAME TEXT" "CHANNEL SHARING" FILES \
         "EXIT STATUS" EXAMPLES; do
    grep -q "^\.SH \"\{0,1\}$s\"\{0,1\}$" "$page" || fail "kestrun.1 has no $s section"
done
files=$(section "$page" FILES | unroff)
for f in "/tmp/Kestrun_" ".lock" ".sock" QUserLog.ini LogLevel LogPath FileOutput 60-kestrun.rules; do
    grep -qF -- "$f" <<<"$files" || fail "FILES does not mention $f"
done

# 6. Both pages format cleanly.
if command -v groff >/dev/null; then
    for p in "$page" "$sim_page"; do
        warnings=$(LC_ALL=C.UTF-8 groff -K utf8 -t -man -Tutf8 -ww -z "$p" 2>&1 || true)
        [ -z "$warnings" ] || fail "$(basename "$p"): $warnings"
    done
fi

# 7. kestrun-sim(1) and kestrun-simctl's commands, both ways.
if [ -n "$simctl" ]; then
    "$simctl" --help | sed -n '/^commands:/,/^exit status/p' | sed '1d;$d' \
        | grep -oE '^  [a-z]+|\| [a-z]+' | grep -oE '[a-z]+' | sort -u >"$work/sim_usage"
    [ -s "$work/sim_usage" ] || fail "no commands in kestrun-simctl --help"
    section "$sim_page" COMMANDS | awk 'tp { print; tp = 0 } /^\.TP/ { tp = 1 }' | unroff \
        | sed -E 's/^\.[A-Z]+ "?([a-z]+).*/\1/' | sort -u >"$work/sim_man"
    # help is the server's command, the usage names it too
    diff "$work/sim_usage" "$work/sim_man" >/dev/null \
        || fail "kestrun-simctl --help commands [$(xargs <"$work/sim_usage")] vs kestrun-sim.1 [$(xargs <"$work/sim_man")]"
    grep -q '^\.so man1/kestrun-sim.1$' "$source/docs/man/kestrun-simctl.1" \
        || fail "kestrun-simctl.1 does not refer to kestrun-sim.1"
fi
# --- The bash completion ---------------------------------------------------------
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
same "$(candidates kestrun -D "")" "$help_models" "models completed vs kestrun --help"

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
# kestrun(1) documents (so one kestrun accepts): after an option that takes a
# value the completion offers no options, after a flag it does.
offered=$(candidates kestrun -)
missing=$(comm -23 <(grep -- '^--' "$work/help_options" || true) <(echo "$offered" | sort -u))
[ -z "$missing" ] || fail "options of --help not completed: $missing"
for opt in $offered; do
    [ -n "${kinds[$opt]:-}" ] || fail "the completion offers $opt, which kestrun.1 does not document"
    [ "$(candidates kestrun "$opt" "" | head -1)" = --arb-rate ] && kind=flag || kind=arg
    same "$kind" "${kinds[$opt]}" "the completion's kind of $opt"
done
echo "man pages and bash completion OK"
