#!/bin/sh
# usage: cli_run_expected.sh TOLVEX MODELS_DIR
# cartpole.expected holds lines "INPUTS -> OUTPUTS", recorded with the
# library. Outputs are printed with 9 significant digits, which identify a
# float exactly, so equal text means equal bits.
set -eu
tolvex=$1
models=$2
expected=$models/cartpole.expected
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

sed 's/ *->.*//' "$expected" >"$tmp/inputs"
sed 's/.*-> *//' "$expected" >"$tmp/outputs"
[ -s "$tmp/inputs" ]
for m in cartpole.json cartpole.tvxf; do
    "$tolvex" run "$models/$m" <"$tmp/inputs" >"$tmp/got"
    diff -u "$tmp/outputs" "$tmp/got"
done
# The same vectors given as arguments, one run each.
while IFS= read -r line; do
    # shellcheck disable=SC2086 # the inputs are split into arguments on purpose
    "$tolvex" run "$models/cartpole.tvxf" $line
done <"$tmp/inputs" >"$tmp/got-args"
diff -u "$tmp/outputs" "$tmp/got-args"
echo "$(wc -l <"$tmp/inputs") inputs match"
