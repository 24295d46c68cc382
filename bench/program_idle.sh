#!/usr/bin/env bash
# CPU use of the whole program connected to the simulated instrument and idle: the main loop
# ticks once a second and redraws the LCD panel, the link polls the instrument every 500 ms.
# Once the first live tick has halted the instrument, the program's CPU time (utime + stime
# from /proc/<pid>/stat) is measured over SECONDS (default 30) and must stay below 1% of one core.
# Usage: bench/program_idle.sh [BUILD_DIR] [SECONDS] [serial|usb]
# Exit status: 0 below the limit, 1 a failure, 3 over the limit.
set -euo pipefail
build=${1:-build/release}
seconds=${2:-30}
transport=${3:-serial}
limit_percent=1.0
name=program_idle
source "$(dirname "${BASH_SOURCE[0]}")/program_common.sh"
start_connected "$transport"
sleep 1

ticks() { awk '{ print $14 + $15 }' "/proc/$apppid/stat"; }
hz=$(getconf CLK_TCK)
t0=$(ticks); s0=$(date +%s.%N)
sleep "$seconds"
t1=$(ticks); s1=$(date +%s.%N)
grep -q "#main: Connection lost" <(sed -n '/mode=2; current mode=0/,$p' "$log") &&
  { echo "program_idle: the link was lost during the measurement" >&2; exit 1; }
percent=$(awk -v a="$t0" -v b="$t1" -v s0="$s0" -v s1="$s1" -v hz="$hz" \
  'BEGIN { printf "%.3f", (b - a) / hz / (s1 - s0) * 100 }')
echo "program_idle: $transport link, ${seconds}s idle: ${percent}% of one core (limit ${limit_percent}%)"
awk -v p="$percent" -v l="$limit_percent" 'BEGIN { exit !(p < l) }' || exit 3
