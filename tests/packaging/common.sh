# shellcheck shell=bash
# Helpers shared by the packaging tests (sourced).
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# same ACTUAL EXPECTED WHAT: fails naming WHAT unless ACTUAL is EXPECTED.
same() {
    [ "$1" = "$2" ] || fail "$3: '$1', not '$2'"
}
