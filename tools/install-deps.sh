#!/usr/bin/env bash
# Installs the build and test dependencies on Debian 12 when they are missing.
# As root it uses apt-get; otherwise it prints the command to run.
#   tools/install-deps.sh          what the build and the test suite need
#   tools/install-deps.sh python   also what the PyTorch exporter, the ONNX importer and their tests need
#   tools/install-deps.sh fuzz     also clang with libFuzzer and its sanitizer runtimes
# The install test builds a consumer through pkg-config, so that is always wanted.
extra="${TOLVEX_EXTRA_PKGS:-} pkg-config"
for group in "$@"; do
  case "$group" in
    python) extra="$extra python3 python3-numpy python3-torch python3-onnx" ;;
    fuzz) extra="$extra clang-19 libclang-rt-19-dev" ;;
    *) echo "install-deps.sh: unknown group '$group' (known: python, fuzz)" >&2; exit 2 ;;
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
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "missing packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
