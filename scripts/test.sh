#!/usr/bin/env bash
# Installs the dependencies, then builds and runs every test:
#  1. the whole suite with AddressSanitizer and UndefinedBehaviorSanitizer (and -Werror),
#  2. the tests that start threads with ThreadSanitizer,
#  3. the release build of the program, and the benchmarks in a short mode.
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
echo "== all tests passed"
