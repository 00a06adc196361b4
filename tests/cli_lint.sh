#!/bin/sh
# usage: cli_lint.sh TOLVEX CORPUS_DIR LINT_DATA_DIR MODELS_DIR
# tolvex lint over the fuzz seed corpus (files named NAME.CODE.EXT, CODE the
# loader's answer) and over hand-made files in LINT_DATA_DIR, each next to a
# NAME.expected that holds the exact report and, in its first line, the exit
# status ("# exit N").
set -u
tolvex=$1
corpus=$2
data=$3
models=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    sed 's/^/    /' "$tmp/out"
    failures=$((failures + 1))
}

# lint FILE: runs the linter from the file's directory, so that the report
# names the file as the expectations do.
lint() {
    (cd "$(dirname "$1")" && "$tolvex" lint "$(basename "$1")") >"$tmp/out" 2>&1 </dev/null
    status=$?
}

# Lint and loader agree on the whole corpus: a file that loads lints with 0
# or 1 and without any finding that says the loader refuses something; one
# that does not load lints with 2 and the loader's code. Every finding has a
# location: line:column in JSON, a byte offset in tvxf.
for f in "$corpus"/json/*.json "$corpus"/tvxf/*.tvxf; do
    base=$(basename "$f")
    code=$(echo "$base" | sed 's/^[^.]*\.\([A-Za-z]*\)\..*/\1/')
    case $base in *.json) where='^[^:]*:[0-9]*:[0-9]*: ' ;; *) where='^[^:]*: byte [0-9]*: ' ;; esac
    lint "$f"
    case $code in
        Success)
            { [ $status -le 1 ] && ! grep -q "refuse\|does not load" "$tmp/out"; } ||
                fail "$base loads, but lint exited $status"
            ;;
        any)
            [ $status -le 2 ] || fail "$base: lint exited $status"
            ;;
        *)
            { [ $status -eq 2 ] && grep -q "does not load: $code\$" "$tmp/out"; } ||
                fail "$base: lint exited $status, wanted 2 and $code"
            ;;
    esac
    if grep -v ": no findings\$\|: does not load: \|: [0-9]* findings*\$" "$tmp/out" | grep -qv "$where"; then
        fail "$base: a finding without a location"
    fi
done

# Findings on corpus files, location and message.
# expect_line FILE LINE: the report on FILE holds LINE exactly.
expect_line() {
    lint "$1"
    grep -qxF -- "$2" "$tmp/out" || fail "$(basename "$1") lacks: $2"
}
j=$corpus/json
t=$corpus/tvxf
expect_line "$j/type-case.UnsupportedLayerType.json" \
    'type-case.UnsupportedLayerType.json:1:35: layers[0].type: type names are lower case: "ReLU" -> "relu"'
expect_line "$j/type-hyphen.UnsupportedLayerType.json" \
    'type-hyphen.UnsupportedLayerType.json:1:35: layers[0].type: "leaky-relu" is not a layer type; did you mean "leaky_relu"?'
expect_line "$j/short-row.WrongNumberOfWeights.json" \
    "short-row.WrongNumberOfWeights.json:1:71: layers[0].weight[1]: 2 numbers, but the layer's input has 3"
expect_line "$j/rows-vs-bias.WeightsBiasesMismatch.json" \
    'rows-vs-bias.WeightsBiasesMismatch.json:1:62: layers[0].weight: 2 rows, but "bias" has 3 numbers; they must match'
expect_line "$j/duplicate-size.DuplicateField.json" \
    'duplicate-size.DuplicateField.json:1:51: layers[0].size: duplicate key "size" (first at 1:42); the loader refuses it'
expect_line "$j/relu-first-size-vs-input.WrongLayerSize.json" \
    'relu-first-size-vs-input.WrongLayerSize.json:1:49: layers[0].size: 3, but "input_size" is 2; a first layer that is not linear keeps the input'"'"'s length, and the loader refuses it'
expect_line "$j/size-minus-one.OutOfMemory.json" \
    'size-minus-one.OutOfMemory.json:1:51: layers[0].size: must be an integer from 0 to 4294967295; the loader refuses the layer'
expect_line "$j/no-type.MalformedPolicyDefinition.json" \
    'no-type.MalformedPolicyDefinition.json:1:27: layers[0]: no "type"; the loader refuses the layer'
expect_line "$j/trailing-x.SyntaxError.json" \
    'trailing-x.SyntaxError.json:1:118: more than whitespace after the top-level value'
expect_line "$j/leading-zero.SyntaxError.json" 'leading-zero.SyntaxError.json:1:15: a number with a leading zero'
expect_line "$j/comment.SyntaxError.json" 'comment.SyntaxError.json:1:17: comments are not JSON'
expect_line "$j/cut-at-040.UnexpectedEndOfInput.json" 'cut-at-040.UnexpectedEndOfInput.json:1:41: the file ends inside a string'
expect_line "$j/pretty-with-extra-keys.Success.json" \
    'pretty-with-extra-keys.Success.json:3:3: comment: unknown key "comment", ignored by the loader'
expect_line "$j/extreme-values.Success.json" \
    'extreme-values.Success.json:1:67: layers[0].weight[0][1]: subnormal value 1.40129846e-45: slow on many CPUs, and 0 wherever subnormals are flushed to zero'
expect_line "$t/ignored-size.Success.tvxf" \
    "ignored-size.Success.tvxf: byte 56: layers[1].size: 999 differs from the layer's input size 2; the loader ignores it and uses 2"
expect_line "$t/extreme-values.Success.tvxf" 'extreme-values.Success.tvxf: byte 44: layers[0].bias[0]: non-finite value +inf'
expect_line "$t/bias-count.WeightsBiasesMismatch.tvxf" \
    'bias-count.WeightsBiasesMismatch.tvxf: byte 32: layers[0].bias: a count of 2, but the layer needs 1; the loader refuses it'
expect_line "$t/cut-at-26.EndOfStream.tvxf" \
    'cut-at-26.EndOfStream.tvxf: byte 26: layers[0].weight[0][0]: the file ends inside this value; the loader refuses it'

# The hand-made files: the whole report, and the exit status.
for f in "$data"/*.json; do
    want=${f%.json}.expected
    lint "$f"
    if [ "$(head -n 1 "$want")" != "# exit $status" ]; then
        fail "$(basename "$f"): exit $status, $(head -n 1 "$want")"
    elif ! tail -n +2 "$want" | diff -u - "$tmp/out" >"$tmp/diff"; then
        cp "$tmp/diff" "$tmp/out"
        fail "$(basename "$f"): the report differs"
    fi
done

# The same model in both formats gives the same findings by layer index:
# the reports agree once the locations are taken off.
"$tolvex" convert "$data/semantic.json" "$tmp/semantic.tvxf" >/dev/null 2>&1
lint "$data/semantic.json"
sed 's/^[^:]*:[0-9]*:[0-9]*: //; /^semantic/d' "$tmp/out" >"$tmp/from-json"
lint "$tmp/semantic.tvxf"
sed 's/^[^:]*: byte [0-9]*: //; /^semantic/d' "$tmp/out" >"$tmp/from-tvxf"
[ -s "$tmp/from-json" ] && cmp -s "$tmp/from-json" "$tmp/from-tvxf" ||
    { diff -u "$tmp/from-json" "$tmp/from-tvxf" >"$tmp/out"; fail "semantic.json and its tvxf twin disagree"; }

# A clean model, a missing file, a file of no known format.
lint "$models/cartpole.tvxf"
{ [ $status -eq 0 ] && grep -qx "cartpole.tvxf: no findings" "$tmp/out"; } || fail "cartpole.tvxf is not clean"
lint "$tmp/missing.json"
{ [ $status -eq 2 ] && grep -qx "missing.json: does not load: FileNotFound" "$tmp/out"; } || fail "a missing file"
printf 'hello' >"$tmp/hello.txt"
lint "$tmp/hello.txt"
{ [ $status -eq 2 ] && grep -q "unknown model file extension" "$tmp/out"; } || fail "a file of no known format"

[ $failures -eq 0 ] && echo "lint reports as expected"
exit $failures
