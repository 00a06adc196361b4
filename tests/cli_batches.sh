#!/bin/sh
# usage: cli_batches.sh TOLVEX MODELS_DIR CORPUS_DIR
# `run` takes the lines of standard input in batches, with the bits of one
# pass per line, and answers each line a program at the other end of a pipe
# sends before it waits for the next. No command writes a scratch file: all
# of them work with TMPDIR unusable, and leave a usable TMPDIR empty. `info`
# counts layers and parameters from the model file itself.
set -u
tolvex=$1
models=$2
corpus=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

m=$models/cartpole.tvxf

# 2500 lines, more than one batch holds, with blank and comment lines among
# them; every 97th checked against a run with the values as arguments.
awk 'BEGIN { for (i = 0; i < 2500; i++) {
        printf "%.6f %.6f %.6f %.6f\n", sin(i) * 2, cos(i * 0.7), sin(i * 0.3) * 0.2, cos(i) * 3
        if (i % 400 == 0) printf "\n# a comment\n" } }' >"$tmp/lines"
"$tolvex" run "$m" <"$tmp/lines" >"$tmp/out" || fail "run on 2500 lines"
[ "$(wc -l <"$tmp/out")" -eq 2500 ] || fail "2500 lines gave $(wc -l <"$tmp/out") outputs"
grep -v -e '^$' -e '^#' "$tmp/lines" | awk 'NR % 97 == 1 { print NR ": " $0 }' >"$tmp/sample"
while IFS=: read -r n values; do
    # shellcheck disable=SC2086 # the values are split into arguments on purpose
    want=$("$tolvex" run "$m" $values)
    got=$(sed -n "${n}p" "$tmp/out")
    [ "$want" = "$got" ] || fail "line $n: batched '$got', alone '$want'"
done <"$tmp/sample"

# A last line without its newline runs too.
printf '1 2 3 4\n0.5 0 0 0' | "$tolvex" run "$m" >"$tmp/out" || fail "run without a final newline"
[ "$(wc -l <"$tmp/out")" -eq 2 ] || fail "the line without a newline did not run"

# A conversation through two FIFOs: each line is sent only after the answer
# to the one before has come back, which needs run to answer without
# waiting for more input (a timeout ends a run that waits).
mkfifo "$tmp/to" "$tmp/from"
timeout 20 "$tolvex" run "$m" <"$tmp/to" >"$tmp/from" &
pid=$!
exec 3>"$tmp/to" 4<"$tmp/from"
for x in 0.1 0.2 -0.3; do
    echo "0 0 $x 0" >&3
    if ! read -r answer <&4; then
        fail "no answer to '0 0 $x 0' through a pipe"
        break
    fi
    [ "$answer" = "$("$tolvex" run "$m" 0 0 "$x" 0)" ] || fail "answer '$answer' to '0 0 $x 0'"
done
exec 3>&- 4<&-
wait $pid || fail "run through FIFOs exited with $?"

# No scratch files: TMPDIR that does not exist, and one that stays empty.
for dir in "$tmp/missing" "$tmp/empty"; do
    [ "$dir" = "$tmp/empty" ] && mkdir "$dir"
    for cmd in "run $m 1 2 3 4" "info $m" "hash $m" "bench $m --seconds 0.1" \
        "convert $m $tmp/c.json" "convert $models/cartpole.json $tmp/c.tvxf"; do
        # shellcheck disable=SC2086
        TMPDIR=$dir "$tolvex" $cmd >"$tmp/out" 2>&1 </dev/null || { fail "TMPDIR=$dir tolvex $cmd:"; cat "$tmp/out"; }
    done
    printf '1 2 3 4\n' | TMPDIR=$dir "$tolvex" run "$m" >/dev/null || fail "TMPDIR=$dir run from standard input"
done
[ -z "$(ls -A "$tmp/empty")" ] || fail "files left in TMPDIR: $(ls -A "$tmp/empty")"

# info: the counts of the file, whatever the format, extra keys, ignored
# sizes or trailing bytes; the tvxf encoding's length is that of the file
# the library writes.
counts() { "$tolvex" info "$1" | grep -E '^(layers: |input size: .*output|weights: |tvxf encoding: )'; }
"$tolvex" convert "$corpus/json/pretty-with-extra-keys.Success.json" "$tmp/pretty.tvxf" || fail "convert pretty"
"$tolvex" convert "$corpus/json/every-type.Success.json" "$tmp/every.tvxf" || fail "convert every-type"
"$tolvex" convert "$corpus/tvxf/trailing-bytes.Success.tvxf" "$tmp/trailing.tvxf" || fail "convert trailing-bytes"
"$tolvex" convert "$corpus/tvxf/ignored-size.Success.tvxf" "$tmp/ignored.tvxf" || fail "convert ignored-size"
for pair in "$corpus/json/pretty-with-extra-keys.Success.json $tmp/pretty.tvxf" \
    "$corpus/json/every-type.Success.json $tmp/every.tvxf" "$models/cartpole.json $m" \
    "$corpus/tvxf/trailing-bytes.Success.tvxf $tmp/trailing.tvxf" \
    "$corpus/tvxf/ignored-size.Success.tvxf $tmp/ignored.tvxf"; do
    set -- $pair
    counts "$1" >"$tmp/a" || fail "info $1"
    counts "$2" >"$tmp/b" || fail "info $2"
    [ "$(wc -l <"$tmp/a")" -eq 4 ] || fail "info $1 printed: $(cat "$tmp/a")"
    diff "$tmp/a" "$tmp/b" >/dev/null || { fail "info differs for $1 and $2:"; diff "$tmp/a" "$tmp/b"; }
done
for f in "$tmp/every.tvxf" "$tmp/trailing.tvxf" "$m"; do
    size=$(wc -c <"$f")
    counts "$f" | grep -q "tvxf encoding: $size bytes" || fail "$f: the encoding's length is not the file's $size bytes"
done

[ $failures -eq 0 ] && echo "batches, pipes, counts and TMPDIR behave"
exit $failures
