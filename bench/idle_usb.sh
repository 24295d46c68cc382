#!/usr/bin/env bash
# CPU use of the program connected over USB and idle: the link window polls the converter every
# 20 ms and the instrument every 500 ms, the main loop ticks once a second. The simulated
# instrument runs on a pseudo-terminal; once the program polls it with the status query, the CPU
# time of the program is measured over SECONDS (default 30) and must stay below 1% of one core.
#
# What is measured: the whole program (BUILD_DIR/app/zentrova, configured for USB in a private
# settings store) when it is built, else the link window alone (bench_usb_link --idle).
# ZENTROVA_IDLE_TARGET=app or =link chooses.
# Usage: bench/idle_usb.sh [BUILD_DIR] [SECONDS]
# Exit status: 0 below the limit, 1 a failure, 3 over the limit.
set -euo pipefail
build=${1:-build/release}
seconds=${2:-30}
limit_percent=1.0
sim="$build/tools/instrument-sim/instrument-sim"
app="$build/app/zentrova"
regtool="$build/tools/regtool/regtool"
driver="$build/bench/bench_usb_link"
device="Zentrova KVZ"

target=${ZENTROVA_IDLE_TARGET:-auto}
if [[ $target == auto ]]; then
  if [[ -x $app && -x $regtool ]]; then target=app; else target=link; fi
fi
case $target in
  app) needed=("$sim" "$app" "$regtool") ;;
  link) needed=("$sim" "$driver") ;;
  *) echo "idle_usb: ZENTROVA_IDLE_TARGET must be app or link" >&2; exit 1 ;;
esac
for f in "${needed[@]}"; do
  [[ -x $f ]] || { echo "idle_usb: $f is not built" >&2; exit 1; }
done

work=$(mktemp -d)
simpid=""
apppid=""
cleanup() {
  [[ -n $apppid ]] && kill "$apppid" 2>/dev/null || true
  [[ -n $simpid ]] && kill "$simpid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Everything the program stores goes to the private folder.
export ZENTROVA_REGISTRY="$work/registry.db" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
export APPDATA="$work/appdata" ZENTROVA_WINDIR="$work/windir"
export ZENTROVA_D2XX_MAP="$device=$work/kvz" QT_QPA_PLATFORM=offscreen
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$APPDATA" "$ZENTROVA_WINDIR"

"$sim" --pty "$work/kvz" --log "$work/sim.log" </dev/null >"$work/sim.out" 2>&1 &
simpid=$!
for _ in $(seq 100); do [[ -L $work/kvz ]] && break; sleep 0.05; done
[[ -L $work/kvz ]] || { echo "idle_usb: the simulator did not start" >&2; cat "$work/sim.out" >&2; exit 1; }

over() { awk -v p="$1" -v l="$limit_percent" 'BEGIN { exit !(p >= l) }'; }

if [[ $target == link ]]; then
  out=$("$driver" --idle "$seconds" --device "$device")
  echo "$out"
  percent=$(sed -n 's/.*(\([0-9.]*\) %).*/\1/p' <<<"$out")
  [[ -n $percent ]] || { echo "idle_usb: no measurement" >&2; exit 1; }
  if over "$percent"; then echo "idle_usb: over the limit of $limit_percent %" >&2; exit 3; fi
  exit 0
fi

key='HKCU\Software\TressivanLabs\Zentrova\Instrument'
"$regtool" write "$key" ConnectMethod dword 3 >/dev/null
"$regtool" write "$key" USB sz "$device" >/dev/null
"$app" </dev/null >"$work/app.out" 2>&1 &
apppid=$!

# The program opens the link on its own; it is idle once it polls with the status query.
polling() { grep -Eq '^\? (123|13)\\r' "$work/sim.log" 2>/dev/null; }
for _ in $(seq 300); do
  polling && break
  kill -0 "$apppid" 2>/dev/null || break
  sleep 0.1
done
if ! polling; then
  echo "idle_usb: the program did not connect within 30 s" >&2
  cat "$work/app.out" >&2
  exit 1
fi
sleep 1

cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$apppid/stat"; }
lines_before=$(wc -l <"$work/sim.log")
t0=$(date +%s.%N)
c0=$(cpu_ticks)
sleep "$seconds"
c1=$(cpu_ticks)
t1=$(date +%s.%N)
lines_after=$(wc -l <"$work/sim.log")
hz=$(getconf CLK_TCK)
read -r wall cpu percent < <(awk -v t0="$t0" -v t1="$t1" -v c0="$c0" -v c1="$c1" -v hz="$hz" \
  'BEGIN { w = t1 - t0; c = (c1 - c0) / hz; printf "%.1f %.3f %.2f\n", w, c, 100 * c / w }')
echo "idle_usb: zentrova over USB, $wall s connected, $cpu s CPU ($percent %)," \
  "$((lines_after - lines_before)) commands received by the instrument"
((lines_after > lines_before)) || { echo "idle_usb: the program stopped polling" >&2; exit 1; }
if over "$percent"; then echo "idle_usb: over the limit of $limit_percent %" >&2; exit 3; fi
