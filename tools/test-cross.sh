#!/usr/bin/env bash
# Cross-builds tolvex for one architecture with Debian's cross compiler and
# runs its test suite under qemu-user:
#   tools/test-cross.sh aarch64|ppc64le|riscv64 [BUILD_DIR]
# What runs under the emulator: the GoogleTest suite (every kernel path the
# emulated CPU has, the known answers, the paths against each other), the
# examples, and on aarch64 and ppc64le ten million random inputs of
# tools/check_math. The script tests, which start the target's binaries from
# the host's shell, CMake or Python, are left out of a cross build.
set -euo pipefail
cd "$(dirname "$0")/.."
arch="${1:?usage: tools/test-cross.sh aarch64|ppc64le|riscv64 [BUILD_DIR]}"
case "$arch" in
  aarch64 | ppc64le | riscv64) ;;
  *) echo "test-cross.sh: unknown architecture '$arch'" >&2; exit 2 ;;
esac
build="${2:-build-cross-$arch}"
jobs="${JOBS:-$(nproc)}"
tools/install-deps.sh "cross-$arch"
start=$(date +%s)
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$arch.cmake" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j "$jobs"
built=$(date +%s)
ctest --test-dir "$build" --output-on-failure -j "$jobs"
done=$(date +%s)
echo "test-cross $arch: built in $((built - start)) s, tested in $((done - built)) s"
