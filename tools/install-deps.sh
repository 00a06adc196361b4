#!/usr/bin/env bash
# Installs the build and test dependencies on Debian 12 when they are missing.
# As root it uses apt-get; otherwise it prints the command to run.
#   tools/install-deps.sh          what the build and the test suite need
#   tools/install-deps.sh python   also what the PyTorch exporter, the ONNX importer and their tests need
#   tools/install-deps.sh fuzz     also clang with libFuzzer and its sanitizer runtimes
#   tools/install-deps.sh cross-aarch64 | cross-ppc64le | cross-riscv64
#                                  also Debian's cross compiler for that
#                                  architecture, qemu-user, and the target's
#                                  GoogleTest, MPFR and run-time libraries
#                                  (multiarch packages; riscv64 has none, its
#                                  build takes GoogleTest from the sources)
# The install test builds a consumer through pkg-config, so that is always wanted.
extra="${TOLVEX_EXTRA_PKGS:-} pkg-config"
foreign=""  # Debian architectures whose packages a group needs
target_libs() { echo "libc6:$1 libstdc++6:$1 libgtest-dev:$1 libmpfr-dev:$1 libgmp-dev:$1"; }
for group in "$@"; do
  case "$group" in
    python) extra="$extra python3 python3-numpy python3-torch python3-onnx" ;;
    fuzz) extra="$extra clang-19 libclang-rt-19-dev" ;;
    cross-aarch64) extra="$extra g++-aarch64-linux-gnu qemu-user $(target_libs arm64)"; foreign="$foreign arm64" ;;
    cross-ppc64le) extra="$extra g++-powerpc64le-linux-gnu qemu-user $(target_libs ppc64el)"; foreign="$foreign ppc64el" ;;
    cross-riscv64) extra="$extra g++-riscv64-linux-gnu qemu-user" ;;
    *) echo "install-deps.sh: unknown group '$group' (known: python, fuzz, cross-aarch64, cross-ppc64le, cross-riscv64)" >&2
       exit 2 ;;
  esac
done
set -euo pipefail
pkgs=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev binutils libmpfr-dev $extra)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  for arch in $foreign; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
  done
  # A mirror caught mid-sync fails one index now and then; what the other
  # indexes hold still installs, and a package that is really missing fails
  # the install below.
  apt-get update -qq || echo "install-deps.sh: apt-get update reported errors; going on with the indexes it has" >&2
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "missing packages: ${missing[*]}" >&2
  for arch in $foreign; do echo "first enable the architecture: sudo dpkg --add-architecture $arch" >&2; done
  echo "install them with: sudo apt-get update && sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
