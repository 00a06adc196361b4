#!/bin/sh
# usage: cli_errors.sh TOLVEX MODELS_DIR
# Every failure names its cause (the result code's name and the path) and
# exits non-zero: 1 for a failed load, write or input line, 2 for misuse.
set -u
tolvex=$1
models=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

# expect STATUS PATTERN COMMAND...: COMMAND exits with STATUS and its
# combined output matches the grep pattern PATTERN.
expect() {
    want=$1 pattern=$2
    shift 2
    "$@" >"$tmp/out" 2>&1 </dev/null
    got=$?
    if [ "$got" -ne "$want" ] || ! grep -q -- "$pattern" "$tmp/out"; then
        echo "FAIL: $* -> status $got (want $want), output:"
        sed 's/^/    /' "$tmp/out"
        failures=$((failures + 1))
    fi
}

m=$models/cartpole.tvxf
expect 1 "cannot load $tmp/missing.json: FileNotFound" "$tolvex" info "$tmp/missing.json"
mkdir "$tmp/dir.tvxf"
expect 1 "cannot load $tmp/dir.tvxf: ReadFailed" "$tolvex" run "$tmp/dir.tvxf" 0 0 0 0
printf 'nope' >"$tmp/bad.tvxf"
expect 1 "cannot load $tmp/bad.tvxf: HeaderMismatch" "$tolvex" run "$tmp/bad.tvxf" 1
printf '{"input_size":2,"layers":[' >"$tmp/cut.json"
expect 1 "cannot load $tmp/cut.json: UnexpectedEndOfInput" "$tolvex" info "$tmp/cut.json"
expect 1 "cannot write $tmp/no/such/dir.json: FileNotFound" "$tolvex" convert "$m" "$tmp/no/such/dir.json"
expect 2 "unknown model file extension" "$tolvex" convert "$m" "$tmp/out.onnx"
expect 2 "unknown model file extension" "$tolvex" info "$models/cartpole.expected"
expect 2 "takes 4 values, 3 given" "$tolvex" run "$m" 1 2 3
expect 2 "'x' is not a float" "$tolvex" run "$m" 1 2 3 x
expect 2 "'1e60' is beyond the range of a 32-bit float (largest magnitude 3.40282347e+38)" "$tolvex" run "$m" 1 2 3 1e60
expect 2 "'-1e39' is beyond the range of a 32-bit float" "$tolvex" run "$m" 1 2 3 -1e39
# "--" ends the options and is no value; a second one is.
expect 2 "takes 4 values, 3 given" "$tolvex" run "$m" -- 1 2 3
expect 0 "" "$tolvex" run -- "$m" -1 2 3 4
expect 2 "'--' is not a float" "$tolvex" run "$m" -- 1 2 3 --
expect 2 "'-h' is not a float" "$tolvex" run "$m" -- 1 2 3 -h
# The format comes from the magic, the extension only when there is none.
cp "$m" "$tmp/no-extension"
cp "$m" "$tmp/named-like.json"
cp "$models/cartpole.json" "$tmp/json-without-extension"
expect 0 "file: $tmp/no-extension (tvxf)" "$tolvex" info "$tmp/no-extension"
expect 0 "file: $tmp/named-like.json (tvxf)" "$tolvex" info -- "$tmp/named-like.json"
expect 2 "not a tvxf file, and unknown model file extension" "$tolvex" info "$tmp/json-without-extension"
expect 2 "unknown command 'frobnicate'" "$tolvex" frobnicate
expect 2 "usage: tolvex convert" "$tolvex" convert "$m"
for cmd in info run convert bench; do
    expect 0 "usage: tolvex $cmd" "$tolvex" "$cmd" --help
done
expect 0 "usage: tolvex COMMAND" "$tolvex" --help

printf '1 2 3 4\n1 2 3 1e39\n' >"$tmp/lines"
expect 1 "line 2: '1e39' is beyond the range of a 32-bit float" sh -c '"$1" run "$2" <"$3"' sh "$tolvex" "$m" "$tmp/lines"

printf '1 2 3 4\n\n# a comment\n1,2,3\n' >"$tmp/lines"
"$tolvex" run "$m" <"$tmp/lines" >"$tmp/out" 2>"$tmp/err"
status=$?
if [ $status -ne 1 ] || [ "$(wc -l <"$tmp/out")" -ne 1 ] || ! grep -q "line 4: the model takes 4 values, 3 given" "$tmp/err"; then
    echo "FAIL: a short line on standard input: status $status"
    cat "$tmp/out" "$tmp/err"
    failures=$((failures + 1))
fi

expect 0 "weights: 1184, biases: 65, parameters: 1249 (4996 bytes as float32)" "$tolvex" info "$models/cartpole.json"
expect 0 "#5: clipping layer (size=1, min=-10, max=10)" "$tolvex" info "$m"
expect 0 "ns per pass: mean [0-9.]*, median [0-9]*, p99 [0-9]*, max [0-9]*$" "$tolvex" bench "$m" --seconds 0.2
expect 2 "wants a number of seconds" "$tolvex" bench "$m" --seconds 0
# Off a terminal there is no progress line: standard error stays empty.
"$tolvex" bench "$m" --seconds 0.3 >"$tmp/out" 2>"$tmp/err"
if [ -s "$tmp/err" ]; then
    echo "FAIL: bench wrote to a standard error that is no terminal:"
    cat "$tmp/err"
    failures=$((failures + 1))
fi
expect 2 "wants a number of seconds" "$tolvex" bench "$m" --seconds -1

[ $failures -eq 0 ] && echo "all error cases behave"
exit $failures
