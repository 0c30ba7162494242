#!/usr/bin/env bash
# man_test.sh KESTRUN SOURCE_DIR VERSION [KESTRUN_SIMCTL]
#
# The man pages against the programs: kestrun(1) documents every option of
# `kestrun --help` and only options kestrun accepts, with the argument each
# takes; its version and model table are the tool's; both pages format
# without warnings; kestrun-sim(1) documents every kestrun-simctl command.
set -euo pipefail
kestrun=$1 source=$2 version=$3 simctl=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
source "$here/options.sh"
page="$source/docs/man/kestrun.1"
sim_page="$source/docs/man/kestrun-sim.1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# roff without its escapes: "\-" is "-", font changes vanish.
unroff() {
    sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/\\(em/-/g'
}
# Lines of a section (.SH NAME up to the next .SH).
section() {
    awk -v name="$2" '/^\.SH / { on = ($0 == ".SH " name || $0 == ".SH \"" name "\"") ; next } on' "$1"
}

# The tag line of every .TP entry in OPTIONS: "-D, --device model".
section "$page" OPTIONS | awk 'tp { print; tp = 0 } /^\.TP/ { tp = 1 }' | unroff \
    | sed -e 's/^\.[A-Z]* //' -e 's/"//g' -e 's/  */ /g' -e 's/ , /, /g' >"$work/tags"
[ -s "$work/tags" ] || fail "no option entries in the OPTIONS section of kestrun.1"
options_in_text <"$work/tags" >"$work/man_options"
help_options >"$work/help_options"
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
echo "man pages OK"
