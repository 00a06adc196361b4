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
cp "$(dirname "$0")/consumer/consumer.c" "$(dirname "$0")/consumer/consumer.cpp" "$tmp/consumer/"
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
out=$("$tmp/consumer-build/consumer_cpp" no-such-file.tvxf | tr '\n' ' ')
[ "$out" = "5.5 FileNotFound " ] || { echo "find_package C++ consumer printed '$out'"; exit 1; }
echo "installed to $prefix: pkg-config and find_package consumers run"
