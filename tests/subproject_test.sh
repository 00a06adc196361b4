#!/bin/sh
# usage: subproject_test.sh SOURCE_DIR
# Builds one small consumer project that takes tolvex in as a subproject,
# twice: through add_subdirectory (with the static library switched on) and
# through FetchContent from a tarball of the source tree (URL file://, no
# network). Checks that only the library comes along (no tests, examples or
# tools), that tolvex::tolvex and tolvex::tolvex_static link and run, and that
# installing the consumer installs libtolvex beside it.
set -eu
src=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
jobs=${TOLVEX_TEST_JOBS:-2}

mkdir "$tmp/consumer"
cp "$(dirname "$0")/consumer/consumer.c" "$(dirname "$0")/consumer/consumer.cpp" "$tmp/consumer/"
cat >"$tmp/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(consumer C CXX)
if(TOLVEX_TARBALL)
  include(FetchContent)
  FetchContent_Declare(tolvex URL "file://${TOLVEX_TARBALL}")
  FetchContent_MakeAvailable(tolvex)
else()
  add_subdirectory(${TOLVEX_SOURCE} tolvex)
endif()
# A subproject brings its library and nothing of its own development.
foreach(t tolvex_tests cartpole_demo build_and_save tolvex_cli check_math)
  if(TARGET ${t})
    message(FATAL_ERROR "tolvex as a subproject defines its target ${t}")
  endif()
endforeach()
add_executable(consumer_c consumer.c)
target_link_libraries(consumer_c PRIVATE tolvex::tolvex)
add_executable(consumer_cpp consumer.cpp)
set_target_properties(consumer_cpp PROPERTIES CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON)
target_link_libraries(consumer_cpp PRIVATE tolvex::tolvex)
if(TARGET tolvex::tolvex_static)
  add_executable(consumer_static consumer.c)
  target_link_libraries(consumer_static PRIVATE tolvex::tolvex_static)
endif()
include(GNUInstallDirs)
set_target_properties(consumer_c PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
install(TARGETS consumer_c)
CMAKE

# build NAME CMAKE_ARGS...: configures, builds and installs the consumer.
build() {
    name=$1
    shift
    cmake -S "$tmp/consumer" -B "$tmp/$name" "$@" >"$tmp/$name.log" 2>&1 &&
        cmake --build "$tmp/$name" -j "$jobs" >>"$tmp/$name.log" 2>&1 &&
        cmake --install "$tmp/$name" --prefix "$tmp/$name-prefix" >>"$tmp/$name.log" 2>&1 ||
        { cat "$tmp/$name.log"; exit 1; }
}

# expect_output BINARY: the consumer computes 5.5.
expect_output() {
    out=$("$1")
    [ "$out" = "5.5" ] || { echo "$1 printed '$out'"; exit 1; }
}

build sub -DTOLVEX_SOURCE="$src" -DTOLVEX_BUILD_STATIC=ON
expect_output "$tmp/sub/consumer_c"
expect_output "$tmp/sub/consumer_cpp"
expect_output "$tmp/sub/consumer_static"
if readelf -d "$tmp/sub/consumer_static" | grep -q 'NEEDED.*libtolvex'; then
    echo "consumer_static still needs libtolvex.so"
    exit 1
fi
[ -f "$(find "$tmp/sub-prefix" -name 'libtolvex.a' | head -n 1)" ] || { echo "libtolvex.a not installed"; exit 1; }
# The installed consumer finds the installed library through its RPATH.
expect_output "$tmp/sub-prefix/bin/consumer_c"

# A release tarball of the source tree, as FetchContent would download it.
top=$(basename "$src")
tar -C "$(dirname "$src")" -czf "$tmp/tolvex.tar.gz" --exclude="./$top/build*" --exclude="./$top/.git" \
    --exclude='__pycache__' "./$top"
build fetch -DTOLVEX_TARBALL="$tmp/tolvex.tar.gz"
expect_output "$tmp/fetch/consumer_c"
expect_output "$tmp/fetch/consumer_cpp"
[ ! -e "$tmp/fetch/consumer_static" ] || { echo "the static library was built without being asked for"; exit 1; }
expect_output "$tmp/fetch-prefix/bin/consumer_c"
for f in share/tolvex/python/tolvex.py share/tolvex/python/export_torch.py include/tolvex.h; do
    [ -f "$tmp/fetch-prefix/$f" ] || { echo "the consumer's install lacks $f"; exit 1; }
done
echo "add_subdirectory and FetchContent consumers build, run and install"
