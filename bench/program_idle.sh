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
sim="$build/tools/instrument-sim/instrument-sim"
app="$build/app/zentrova"
regtool="$build/tools/regtool/regtool"
for f in "$sim" "$app" "$regtool"; do
  [[ -x $f ]] || { echo "program_idle: $f is not built" >&2; exit 1; }
done

work=$(mktemp -d /tmp/zidle-XXXXXX)
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
case $transport in
  serial)
    "$regtool" write "$key" ConnectMethod dword 2 >/dev/null
    "$regtool" write "$key" COM sz "$work/kvz" >/dev/null ;;
  usb)
    "$regtool" write "$key" ConnectMethod dword 3 >/dev/null
    "$regtool" write "$key" USB sz "KVZ Bench" >/dev/null
    export ZENTROVA_D2XX_MAP="KVZ Bench=$work/kvz" ;;
  *) echo "program_idle: transport must be serial or usb" >&2; exit 1 ;;
esac

"$sim" --pty "$work/kvz" </dev/null >"$work/sim.out" 2>&1 &
simpid=$!
for _ in $(seq 100); do [[ -L $work/kvz ]] && break; sleep 0.05; done
[[ -L $work/kvz ]] || { echo "program_idle: the simulator did not start" >&2; cat "$work/sim.out" >&2; exit 1; }

"$app" >"$work/app.out" 2>&1 &
apppid=$!
log="$work/TressivanLabs/Zentrova.log"
for _ in $(seq 300); do
  grep -q "#main: setMode(): mode=2; current mode=0" "$log" 2>/dev/null && break
  kill -0 "$apppid" 2>/dev/null || { echo "program_idle: the program ended" >&2; cat "$work/app.out" >&2; exit 1; }
  sleep 0.05
done
grep -q "#main: setMode(): mode=2; current mode=0" "$log" 2>/dev/null ||
  { echo "program_idle: the program did not connect" >&2; exit 1; }
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
