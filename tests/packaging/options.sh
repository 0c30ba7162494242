# shellcheck shell=bash
# Option helpers shared by the man page and completion tests (sourced).
# shellcheck disable=SC2154 # $kestrun is set by the sourcing test
# They need $kestrun, the built tool.

# The options named in a text, one per line: long (--name) and short (-X)
# forms that stand as words of their own ("DUNLINFD-Mini" names none).
options_in_text() {
    grep -oP '(?<![\w-])(--[a-z][a-z-]*[a-z]|-[A-Za-z](?![\w-]))' | sort -u
}

# The options `kestrun --help` documents.
help_options() {
    "$kestrun" --help | options_in_text
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
