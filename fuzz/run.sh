#!/usr/bin/env bash
# Runs each fuzz target for a bounded time on a working copy of its seed
# corpus. Any crash, leak, sanitizer report, slow input or memory blow-up
# makes libFuzzer exit non-zero, and this script with it; the input that did
# it is kept under <build>/artifacts/.
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
# (targets: tvxf json roundtrip tvxf_memory json_memory; the memory loaders
# start from the seeds of their format, fuzz/corpus/tvxf and fuzz/corpus/json)
set -uo pipefail
build=$1
seconds=$2
shift 2
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(tvxf json roundtrip tvxf_memory json_memory)
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$build/artifacts"

status=0
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  mkdir -p "$work"
  opts=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=512
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-")
  seeds="$here/corpus/${t%_memory}"
  case $t in tvxf*) ;; *) opts+=(-dict="$here/json.dict") ;; esac
  echo "== fuzz_$t for ${seconds}s"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$build/fuzz_$t" "${opts[@]}" "$work" "$seeds" >"$build/fuzz_$t.log" 2>&1
  rc=$?
  # The closing statistics, and on failure the report itself.
  grep -E '^(stat::|Done )' "$build/fuzz_$t.log"
  if [ $rc -ne 0 ]; then
    echo "fuzz_$t FAILED (exit $rc); report:"
    grep -v -E '^#[0-9]+' "$build/fuzz_$t.log" | tail -60
    status=1
  fi
done
exit $status
