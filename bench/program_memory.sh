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
sim="$build/tools/instrument-sim/instrument-sim"
app="$build/app/zentrova"
regtool="$build/tools/regtool/regtool"
for f in "$sim" "$app" "$regtool"; do
  [[ -x $f ]] || { echo "program_memory: $f is not built" >&2; exit 1; }
done

work=$(mktemp -d /tmp/zmem-XXXXXX)
simpid=""
apppid=""
cleanup() {
  [[ -n $apppid ]] && kill "$apppid" 2>/dev/null || true
  [[ -n $simpid ]] && kill "$simpid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export ZENTROVA_REGISTRY="$work/registry.db" XDG_CONFIG_HOME="$work" XDG_DATA_HOME="$work" APPDATA="$work"
export QT_QPA_PLATFORM=offscreen
key='HKCU\Software\TressivanLabs\Zentrova\Instrument'
"$regtool" write "$key" ConnectMethod dword 2 >/dev/null
"$regtool" write "$key" COM sz "$work/kvz" >/dev/null

"$sim" --pty "$work/kvz" </dev/null >"$work/sim.out" 2>&1 &
simpid=$!
for _ in $(seq 100); do [[ -L $work/kvz ]] && break; sleep 0.05; done
[[ -L $work/kvz ]] || { echo "program_memory: the simulator did not start" >&2; exit 1; }

"$app" >"$work/app.out" 2>&1 &
apppid=$!
log="$work/TressivanLabs/Zentrova.log"
for _ in $(seq 300); do
  grep -q "#main: setMode(): mode=2; current mode=0" "$log" 2>/dev/null && break
  kill -0 "$apppid" 2>/dev/null || { echo "program_memory: the program ended" >&2; cat "$work/app.out" >&2; exit 1; }
  sleep 0.05
done

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
