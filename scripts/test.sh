#!/usr/bin/env bash
# Installs the dependencies, then builds and runs every test:
#  1. the whole suite with AddressSanitizer and UndefinedBehaviorSanitizer (and -Werror),
#  2. the tests that start threads with ThreadSanitizer,
#  3. the release build of the program, and the benchmarks in a short mode,
#  4. each fuzz target for a short fixed time from its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "== asan: build and run the whole suite"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== tsan: tests that start threads"
cmake --preset tsan >/dev/null
tsan_targets=$(ctest --test-dir build/tsan -N -L threads | sed -n 's/^ *Test *#[0-9]*: //p' || true)
if [ -n "$tsan_targets" ]; then
  cmake --build --preset tsan -j "$jobs" --target $tsan_targets
  ctest --test-dir build/tsan --output-on-failure -L threads -j "$jobs"
else
  echo "no thread tests"
fi

echo "== release build and benchmarks (short mode)"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"
for b in build/asan/bench/bench_*; do
  [ -f "$b" ] && [ -x "$b" ] || continue
  echo "-- $b"
  "$b" --benchmark_min_time=0.01 >/dev/null
done
echo "== fuzz: each target for ${ZENTROVA_FUZZ_SECONDS:=20} s from its seed corpus"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
fuzz_work=$(mktemp -d)
trap 'rm -rf "$fuzz_work"' EXIT
for seeds in fuzz/corpus/*/; do
  t=$(basename "$seeds")
  opts=()
  # The link window's widgets allocate caches for as long as it lives: a leak check after
  # each input would only slow the run down.
  [ "$t" = link_line ] && opts+=(-detect_leaks=0)
  mkdir -p "$fuzz_work/$t"
  # New inputs go to the scratch folder; the seeds in the tree are only read.
  if ! ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 build/fuzz/fuzz/fuzz_$t -max_total_time="$ZENTROVA_FUZZ_SECONDS" \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$fuzz_work/$t-" "${opts[@]}" \
      "$fuzz_work/$t" "$seeds" >"$fuzz_work/$t.log" 2>&1; then
    tail -n 80 "$fuzz_work/$t.log"
    for a in "$fuzz_work/$t"-*; do [ -f "$a" ] && echo "input $(basename "$a"): $(base64 -w0 "$a")"; done
    echo "fuzz_$t failed: add the input to fuzz/corpus/$t/ once the fault is mended"
    exit 1
  fi
  echo "-- fuzz_$t: $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$fuzz_work/$t.log" | grep -o '[0-9]*$' || echo '?') runs"
done
echo "== all tests passed"
