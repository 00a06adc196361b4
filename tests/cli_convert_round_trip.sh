#!/bin/sh
# usage: cli_convert_round_trip.sh TOLVEX MODELS_DIR
# The bundled model goes JSON -> tvxf -> JSON and tvxf -> tvxf without a
# byte changing: the library's writers reproduce the checked-in files.
set -eu
tolvex=$1
models=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$tolvex" convert "$models/cartpole.json" "$tmp/a.tvxf"
"$tolvex" convert "$tmp/a.tvxf" "$tmp/b.json"
cmp "$models/cartpole.json" "$tmp/b.json"
cmp "$models/cartpole.tvxf" "$tmp/a.tvxf"
"$tolvex" convert "$models/cartpole.tvxf" "$tmp/c.tvxf"
cmp "$models/cartpole.tvxf" "$tmp/c.tvxf"
"$tolvex" convert "$models/cartpole.json" "$tmp/d.json"
cmp "$models/cartpole.json" "$tmp/d.json"
echo "round trips byte-identical"
