#!/bin/sh
# usage: cli_output_errors.sh TOLVEX MODELS_DIR
# A command whose output is lost exits non-zero: standard output on
# /dev/full or closed, an output file that leads to /dev/full. convert does
# not write a JSON file that would not load back (a NaN or infinite
# parameter): it names the layer and the parameter, suggests tvxf and leaves
# an existing OUT alone.
set -u
tolvex=$1
models=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
m=$models/cartpole.tvxf

# check WANT DESCRIPTION: compares the last status with WANT.
check() {
    if [ "$status" -ne "$1" ]; then
        echo "FAIL: $2 -> status $status (want $1)"
        sed 's/^/    /' "$tmp/err"
        failures=$((failures + 1))
    fi
}

# Standard output on a full disk, for every command and every help text.
"$tolvex" info "$m" >/dev/full 2>"$tmp/err"; status=$?; check 1 "info > /dev/full"
"$tolvex" run "$m" 1 2 3 4 >/dev/full 2>"$tmp/err"; status=$?; check 1 "run VALUES > /dev/full"
printf '1 2 3 4\n' | "$tolvex" run "$m" >/dev/full 2>"$tmp/err"; status=$?; check 1 "run < lines > /dev/full"
"$tolvex" bench "$m" --seconds 0.05 >/dev/full 2>"$tmp/err"; status=$?; check 1 "bench > /dev/full"
for cmd in info run convert bench; do
    "$tolvex" "$cmd" --help >/dev/full 2>"$tmp/err"; status=$?; check 1 "$cmd --help > /dev/full"
done
"$tolvex" --help >/dev/full 2>"$tmp/err"; status=$?; check 1 "--help > /dev/full"
grep -q "cannot write standard output: No space left on device" "$tmp/err" || {
    echo "FAIL: no reason given for the lost output"
    failures=$((failures + 1))
}

# Standard output closed.
"$tolvex" info "$m" >&- 2>"$tmp/err"; status=$?; check 1 "info >&-"
"$tolvex" run "$m" 1 2 3 4 >&- 2>"$tmp/err"; status=$?; check 1 "run >&-"
"$tolvex" bench "$m" --seconds 0.05 >&- 2>"$tmp/err"; status=$?; check 1 "bench >&-"
# convert writes nothing there, so nothing is lost.
"$tolvex" convert "$m" "$tmp/closed.json" >&- 2>"$tmp/err"; status=$?; check 0 "convert >&-"
cmp -s "$tmp/closed.json" "$models/cartpole.json" || {
    echo "FAIL: convert with standard output closed wrote a different file"
    failures=$((failures + 1))
}

# convert's own output on a full disk.
ln -s /dev/full "$tmp/full.tvxf"
ln -s /dev/full "$tmp/full.json"
for out in full.tvxf full.json; do
    "$tolvex" convert "$m" "$tmp/$out" >/dev/null 2>"$tmp/err"; status=$?; check 1 "convert to $out -> /dev/full"
    grep -q "WriteFailed" "$tmp/err" || {
        echo "FAIL: convert to $out does not say WriteFailed"
        failures=$((failures + 1))
    }
done

# expect_refusal IN PATTERN: converting IN to JSON fails naming PATTERN, and
# the OUT that was there before stays as it was.
expect_refusal() {
    printf 'the old file' >"$tmp/out.json"
    "$tolvex" convert "$1" "$tmp/out.json" >/dev/null 2>"$tmp/err"
    status=$?
    check 1 "convert $1 to JSON"
    if ! grep -q -- "$2" "$tmp/err" || ! grep -q "tvxf" "$tmp/err"; then
        echo "FAIL: convert $1 to JSON does not say '$2' and suggest tvxf:"
        sed 's/^/    /' "$tmp/err"
        failures=$((failures + 1))
    fi
    [ "$(cat "$tmp/out.json")" = "the old file" ] || {
        echo "FAIL: convert $1 to JSON changed the existing output"
        failures=$((failures + 1))
    }
}

# 1e39 is beyond float range and loads as +infinity.
printf '{"input_size":2,"layers":[{"type":"linear","size":2,"weight":[[1,2],[3,1e39]],"bias":[0,0]},{"type":"relu"}]}' \
    >"$tmp/inf.json"
expect_refusal "$tmp/inf.json" "layer 0 (linear): weight 3 (neuron 1, input 1) is +infinity"
"$tolvex" convert "$tmp/inf.json" "$tmp/inf.tvxf" 2>"$tmp/err"; status=$?; check 0 "convert inf.json to tvxf"
expect_refusal "$tmp/inf.tvxf" "layer 0 (linear): weight 3 (neuron 1, input 1) is +infinity"
# A clip layer whose min is a NaN: "tvxf", input 2, one layer: clip (2) of
# size 2, min NaN (0x7fc00000), max 1.0.
printf 'tvxf\002\000\000\000\001\000\000\000\002\000\000\000\002\000\000\000\000\000\300\177\000\000\200\077' \
    >"$tmp/nan.tvxf"
expect_refusal "$tmp/nan.tvxf" "layer 0 (clip): min is NaN"
rm -f "$tmp/out.json"
"$tolvex" convert "$tmp/nan.tvxf" "$tmp/out.json" >/dev/null 2>&1
[ -e "$tmp/out.json" ] && {
    echo "FAIL: a refused JSON output was created"
    failures=$((failures + 1))
}

[ $failures -eq 0 ] && echo "every lost output fails"
exit $failures
