#!/bin/sh
# usage: install_test.sh BUILD_DIR
# Installs the built tree into a scratch prefix and builds one small consumer
# against it twice, through pkg-config and through find_package(tolvex), then
# runs both builds.
set -eu
build=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log"

libdir=$(dirname "$(find "$prefix" -name 'libtolvex.so.*.*.*' | head -n 1)")
real=$(basename "$(find "$libdir" -name 'libtolvex.so.*.*.*')")
soname=$(readlink "$libdir/libtolvex.so")
[ "$(readlink "$libdir/$soname")" = "$real" ] || { echo "bad SONAME link $soname"; exit 1; }
objdump -p "$libdir/$real" | grep -q "SONAME *$soname\$" || { echo "SONAME is not $soname"; exit 1; }
for f in include/tolvex.h include/tolvex.hpp; do
    [ -f "$prefix/$f" ] || { echo "missing $f"; exit 1; }
done

mkdir "$tmp/consumer"
cat >"$tmp/consumer/consumer.c" <<'C'
#include <stdio.h>
#include "tolvex.h"
/* y = relu(2 x0 - x1 + 0.5) for x = (1, 3): relu(-0.5) = 0, and x = (3, 1): 5.5 */
int main(void) {
    static const float w[2] = {2.0f, -1.0f}, b[1] = {0.5f};
    tolvex_init();
    tolvex_model_definition* def = NULL;
    tolvex_model* net = NULL;
    if (tolvex_new_model_definition(&def, 2) || tolvex_add_linear(def, (tolvex_linear){w, b}, 1) ||
        tolvex_add_relu(def, 1) || tolvex_create(&net, def)) return 1;
    tolvex_free_model_definition(def);
    const float x[2] = {3.0f, 1.0f};
    tolvex_forward_pass(net, x, 2);
    printf("%g\n", (double)tolvex_get_output_buffer(net)[0]);
    /* Since 0.2: the input size, and both inputs in one batch. */
    const float xs[4] = {3.0f, 1.0f, 1.0f, 3.0f};
    float ys[2];
    tolvex_forward_batch(net, xs, tolvex_get_input_len(net), 2, ys);
    if (ys[0] != 5.5f || ys[1] != 0.0f) return 1;
    tolvex_free_model(net);
    return tolvex_deinit();
}
C
cat >"$tmp/consumer/consumer.cpp" <<'CPP'
#include <cstdio>
#include "tolvex.hpp"
int main() {
    tolvex::cpp::Library lib;
    const float w[2] = {2.0f, -1.0f}, b[1] = {0.5f};
    tolvex::cpp::Definition def(2);
    def.linear(1, w, b).relu();
    tolvex::cpp::Model net = tolvex::cpp::Model::create(def);
    std::printf("%g\n", net.forward({3.0f, 1.0f})[0]);
    try {
        tolvex::cpp::Model::load("no-such-file.tvxf");
    } catch (const tolvex::cpp::Error& e) {
        std::printf("%s\n", e.name());
    }
}
CPP
cat >"$tmp/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer C CXX)
find_package(tolvex 0.2 REQUIRED)
add_executable(consumer_c consumer.c)
target_link_libraries(consumer_c PRIVATE tolvex::tolvex)
add_executable(consumer_cpp consumer.cpp)
set_target_properties(consumer_cpp PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON)
target_link_libraries(consumer_cpp PRIVATE tolvex::tolvex)
CMAKE

# pkg-config
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046 # pkg-config's flags are meant to be split
cc -std=c11 -Wall -Werror -o "$tmp/pc_consumer" "$tmp/consumer/consumer.c" $(pkg-config --cflags --libs tolvex)
out=$(LD_LIBRARY_PATH="$libdir" "$tmp/pc_consumer")
[ "$out" = "5.5" ] || { echo "pkg-config consumer printed '$out'"; exit 1; }
[ "$(pkg-config --modversion tolvex)" = "$(basename "$real" | sed 's/libtolvex\.so\.//')" ]
# Outside the loader's default directories, an RPATH instead of LD_LIBRARY_PATH.
# shellcheck disable=SC2046
cc -std=c11 -Wall -Werror -o "$tmp/rpath_consumer" "$tmp/consumer/consumer.c" $(pkg-config --cflags --libs tolvex) \
    -Wl,-rpath,"$(pkg-config --variable=libdir tolvex)"
out=$(env -u LD_LIBRARY_PATH "$tmp/rpath_consumer")
[ "$out" = "5.5" ] || { echo "pkg-config consumer with an RPATH printed '$out'"; exit 1; }

# The Python binding and the exporters; the installed binding finds the
# installed library by itself.
for f in tolvex.py export_torch.py; do
    [ -f "$prefix/share/tolvex/python/$f" ] || { echo "missing share/tolvex/python/$f"; exit 1; }
done
if /usr/bin/python3 -c 'import numpy' 2>/dev/null; then
    found=$(env -u TOLVEX_LIBRARY PYTHONPATH="$prefix/share/tolvex/python" /usr/bin/python3 -c \
        'import tolvex; tolvex.library(); print(tolvex._find_library())')
    case $found in
        "$prefix"/*) ;;
        *) echo "the installed binding loaded '$found'"; exit 1 ;;
    esac
fi

# find_package
cmake -S "$tmp/consumer" -B "$tmp/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" >"$tmp/configure.log" ||
    { cat "$tmp/configure.log"; exit 1; }
cmake --build "$tmp/consumer-build" >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; exit 1; }
out=$("$tmp/consumer-build/consumer_c")
[ "$out" = "5.5" ] || { echo "find_package C consumer printed '$out'"; exit 1; }
out=$("$tmp/consumer-build/consumer_cpp" | tr '\n' ' ')
[ "$out" = "5.5 FileNotFound " ] || { echo "find_package C++ consumer printed '$out'"; exit 1; }
echo "installed to $prefix: pkg-config and find_package consumers run"
