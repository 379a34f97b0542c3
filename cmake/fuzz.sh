#!/usr/bin/env bash
# Fuzzes every harness for a bounded time (seconds each, default 60: six
# minutes in all) under AddressSanitizer and UndefinedBehaviorSanitizer,
# starting from the seed corpora. Any finding fails the run and is left in
# build/fuzz/. Inputs may be long from the start (-len_control=0) and up to
# 256 KB (-max_len), past the long-line and many-findings seeds, so that
# lines longer than the reader's first buffer and parts with more findings
# than a part keeps are fuzzed too.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

rm -rf build/fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" >/dev/null

for h in ascii_reader binary_reader stream_read load load_parts number_text; do
  work=build/fuzz/corpus/$h
  mkdir -p "$work"
  cp fuzz/corpus/$h/* "$work"/
  log=build/fuzz/$h.log
  # The library's messages go to standard error by design; keep them in the log.
  if ! ASAN_OPTIONS=detect_leaks=1 build/fuzz/bin/fuzz_$h -max_total_time="$seconds" -max_len=262144 -len_control=0 \
      -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="build/fuzz/$h-" "$work" >"$log" 2>&1; then
    echo "fuzz_$h: FINDING (inputs in build/fuzz/$h-*)"
    grep -v '^Gridvane (' "$log" | tail -60
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  echo "fuzz_$h: ${seconds}s, $runs inputs, $rate/s, corpus $(ls "$work" | wc -l) files, no findings"
done
