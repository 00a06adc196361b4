#!/usr/bin/env bash
# Installs the build and test dependencies on Debian 12 when they are missing.
# As root it uses apt-get; otherwise it prints the command to run.
#   tools/install-deps.sh        what the build and the test suite need
#   tools/install-deps.sh fuzz   clang with libFuzzer and its sanitizer runtimes
set -euo pipefail
case "${1:-}" in
  fuzz) pkgs=(clang-19 libclang-rt-19-dev) ;;
  *) pkgs=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev binutils libmpfr-dev ${TOLVEX_EXTRA_PKGS:-}) ;;
esac
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
