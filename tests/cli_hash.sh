#!/bin/sh
# usage: cli_hash.sh TOLVEX MODELS_DIR
# `tolvex hash` gives the bundled cart-pole policy its recorded fingerprint
# from both files, one line per model in argument order; a model that does
# not load gets its error and the exit status 1, the others their lines. When
# a python3 is at hand, the fingerprint is also recomputed from the definition
# that `tolvex hash --help` gives, over the outputs of `tolvex run`.
set -eu
tolvex=$1
models=$2
want=f534978d91a7bcd1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$tolvex" hash "$models/cartpole.json" "$models/cartpole.tvxf" >"$tmp/got"
cat >"$tmp/want" <<EOF
$want  $models/cartpole.json (4 inputs, 1 output)
$want  $models/cartpole.tvxf (4 inputs, 1 output)
EOF
diff -u "$tmp/want" "$tmp/got"

status=0
"$tolvex" hash "$tmp/missing.tvxf" "$models/cartpole.tvxf" >"$tmp/got" 2>"$tmp/err" || status=$?
[ "$status" -eq 1 ]
grep -q "cannot load $tmp/missing.tvxf: FileNotFound" "$tmp/err"
grep -q "^$want  $models/cartpole.tvxf " "$tmp/got"

"$tolvex" hash --help | grep -q 'FNV-1a'

if command -v python3 >/dev/null 2>&1; then
    python3 - "$tolvex" "$models/cartpole.tvxf" "$want" <<'EOF'
import struct, subprocess, sys

tolvex, model, want = sys.argv[1:]
M = (1 << 64) - 1
specials = ["0", "-0", "0x1p-149", "-0x1p-149", "0x1.fffffcp-127", "-0x1.fffffcp-127", "inf", "-inf",
            "nan", "1e-5", "-1e-5", "1", "-1", "10", "-10", "100", "-100"]
n = 4
lines = [" ".join([s] * n) for s in specials]
state = 0x746f6c766578
for _ in range(64):
    values = []
    for _ in range(n):
        state = (state + 0x9e3779b97f4a7c15) & M
        z = state
        z = ((z ^ (z >> 30)) * 0xbf58476d1ce4e5b9) & M
        z = ((z ^ (z >> 27)) * 0x94d049bb133111eb) & M
        r = (z ^ (z >> 31)) >> 40
        values.append(repr((r - 2**23) / 2**21))
    lines.append(" ".join(values))
run = subprocess.run([tolvex, "run", model], input="\n".join(lines) + "\n",
                     capture_output=True, text=True, check=True)
h = 0xcbf29ce484222325
for text in run.stdout.split():
    u = struct.unpack("<I", struct.pack("<f", float(text)))[0]
    if (u & 0x7fffffff) > 0x7f800000:
        u = 0x7fc00000
    for b in struct.pack("<I", u):
        h = ((h ^ b) * 0x100000001b3) & M
if "%016x" % h != want:
    sys.exit("recomputed %016x, want %s" % (h, want))
EOF
fi
echo "cart-pole fingerprint $want from both files"
