#!/usr/bin/env bash
# Resident memory of the whole program over a long run connected to the simulated instrument:
# RSS (VmRSS of /proc/<pid>/status) is sampled every INTERVAL seconds for SECONDS (default 1800,
# every 10 s). After the first sample taken once the link is up, the mean of the last quarter of
# the samples may exceed the mean of the first quarter by at most LIMIT_KB (default 2048).
# The short mode (--short) runs 20 s with a sample each second, for CI.
# Usage: bench/program_memory.sh [--short] [BUILD_DIR] [SECONDS] [INTERVAL]
# Exit status: 0 flat, 1 a failure, 3 growth over the limit.
set -euo pipefail
short=0
if [[ ${1:-} == --short ]]; then short=1; shift; fi
build=${1:-build/release}
if ((short)); then seconds=20; interval=1; else seconds=${2:-1800}; interval=${3:-10}; fi
limit_kb=${LIMIT_KB:-2048}
name=program_memory
source "$(dirname "${BASH_SOURCE[0]}")/program_common.sh"
start_connected serial

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$apppid/status"; }
samples=()
end=$((SECONDS + seconds))
while ((SECONDS < end)); do
  kill -0 "$apppid" 2>/dev/null || { echo "program_memory: the program ended" >&2; exit 1; }
  samples+=("$(rss)")
  sleep "$interval"
done
n=${#samples[@]}
((n >= 4)) || { echo "program_memory: too few samples" >&2; exit 1; }
q=$((n / 4))
first=$(printf '%s\n' "${samples[@]:0:q}" | awk '{ s += $1 } END { printf "%d", s / NR }')
last=$(printf '%s\n' "${samples[@]:n-q:q}" | awk '{ s += $1 } END { printf "%d", s / NR }')
growth=$((last - first))
echo "program_memory: ${n} samples over ${seconds}s: first quarter ${first} kB, last quarter ${last} kB," \
  "growth ${growth} kB (limit ${limit_kb} kB)"
((growth <= limit_kb)) || exit 3
