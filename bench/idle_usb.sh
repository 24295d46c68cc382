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
name=idle_usb
needed=() # known once the target is chosen
source "$(dirname "${BASH_SOURCE[0]}")/program_common.sh"
driver="$build/bench/bench_usb_link"

target=${ZENTROVA_IDLE_TARGET:-auto}
if [[ $target == auto ]]; then
  if [[ -x $app && -x $regtool ]]; then target=app; else target=link; fi
fi
case $target in
  app) require_built "$sim" "$app" "$regtool" ;;
  link) require_built "$sim" "$driver" ;;
  *) echo "idle_usb: ZENTROVA_IDLE_TARGET must be app or link" >&2; exit 1 ;;
esac

over() { awk -v p="$1" -v l="$limit_percent" 'BEGIN { exit !(p >= l) }'; }

if [[ $target == link ]]; then
  start_sim
  out=$("$driver" --idle "$seconds" --device "$usb_device")
  echo "$out"
  percent=$(sed -n 's/.*(\([0-9.]*\) %).*/\1/p' <<<"$out")
  [[ -n $percent ]] || { echo "idle_usb: no measurement" >&2; exit 1; }
  if over "$percent"; then echo "idle_usb: over the limit of $limit_percent %" >&2; exit 3; fi
  exit 0
fi

# The program opens the link on its own and is idle once its first live tick has halted the
# instrument.
start_connected usb
sleep 1

cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$apppid/stat"; }
lines_before=$(wc -l <"$simlog")
t0=$(date +%s.%N)
c0=$(cpu_ticks)
sleep "$seconds"
c1=$(cpu_ticks)
t1=$(date +%s.%N)
lines_after=$(wc -l <"$simlog")
hz=$(getconf CLK_TCK)
read -r wall cpu percent < <(awk -v t0="$t0" -v t1="$t1" -v c0="$c0" -v c1="$c1" -v hz="$hz" \
  'BEGIN { w = t1 - t0; c = (c1 - c0) / hz; printf "%.1f %.3f %.2f\n", w, c, 100 * c / w }')
echo "idle_usb: zentrova over USB, $wall s connected, $cpu s CPU ($percent %)," \
  "$((lines_after - lines_before)) commands received by the instrument"
((lines_after > lines_before)) || { echo "idle_usb: the program stopped polling" >&2; exit 1; }
if over "$percent"; then echo "idle_usb: over the limit of $limit_percent %" >&2; exit 3; fi
