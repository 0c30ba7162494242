#!/usr/bin/env bash
# udev_rules_test.sh SOURCE_DIR
#
# The udev rules give the seat user (uaccess) and the plugdev group access to
# every USB identity the drivers open, and to nothing else.
set -euo pipefail
source_dir=$1
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
rules="$source_dir/packaging/60-kestrun.rules"
[ -f "$rules" ] || fail "no $rules"

# logind's uaccess tag is applied by 73-seat-late.rules: ours must come first.
number=$(basename "$rules" | grep -oE '^[0-9]+')
[ "$number" -lt 73 ] || fail "rules file number $number is not below 73"

identities="0471:1200 3068:0009 0471:3014 0471:2014 0471:2018 0471:3018 0471:2601 0471:2602"

# The identities in the drivers' tables ("0x0471, 0x3014") are all expected.
if [ -d "$source_dir/drivers" ]; then
    found=$(grep -rhoiE '0x(0471|3068),[[:space:]]*0x[0-9a-f]{4}' "$source_dir/drivers" \
            | tr 'A-F' 'a-f' | sed -E 's/0x([0-9a-f]{4}),[[:space:]]*0x([0-9a-f]{4})/\1:\2/' \
            | sort -u)
    for id in $found; do
        [[ " $identities " == *" $id "* ]] || fail "drivers open $id, which the rules do not cover"
    done
fi

rule_lines=$(grep -E '^[[:space:]]*[^#[:space:]]' "$rules" | grep 'idVendor' || true)
for id in $identities; do
    vendor=${id%:*} product=${id#*:}
    n=$(grep -c "ATTR{idVendor}==\"$vendor\", ATTR{idProduct}==\"$product\"," <<<"$rule_lines" || true)
    [ "$n" = 1 ] || fail "$id has $n rules, not 1"
    line=$(grep "ATTR{idVendor}==\"$vendor\", ATTR{idProduct}==\"$product\"," <<<"$rule_lines")
    for key in 'MODE="0660"' 'GROUP="plugdev"' 'TAG+="uaccess"'; do
        [[ $line == *"$key"* ]] || fail "$id rule lacks $key"
    done
done
[ "$(wc -l <<<"$rule_lines")" = 8 ] || fail "expected 8 device rules, found: $rule_lines"

# Rules apply to USB devices only (not their interfaces), and the GOTO
# targets exist.
grep -q '^SUBSYSTEM!="usb", GOTO="kestrun_end"$' "$rules" || fail "no USB subsystem guard"
grep -q '^ENV{DEVTYPE}!="usb_device", GOTO="kestrun_end"$' "$rules" || fail "no usb_device guard"
grep -q '^LABEL="kestrun_end"$' "$rules" || fail "no kestrun_end label"
# Every line is a comment, blank, or KEY op "value" pairs separated by ", ".
bad=$(grep -vE '^(#.*|[[:space:]]*|([A-Z]+(\{[A-Za-z_]+\})?(==|!=|=|\+=)"[^"]*")(, [A-Z]+(\{[A-Za-z_]+\})?(==|!=|=|\+=)"[^"]*")*)$' "$rules" || true)
[ -z "$bad" ] || fail "malformed rule lines: $bad"
if command -v udevadm >/dev/null && udevadm verify --help >/dev/null 2>&1; then
    udevadm verify --no-summary "$rules" || fail "udevadm verify"
fi
echo "udev rules OK"
