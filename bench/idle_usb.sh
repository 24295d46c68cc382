#!/usr/bin/env bash
# CPU use of an idle program connected over USB: the link window polls the converter every
# 20 ms and the instrument every 500 ms. Runs the simulated instrument on a pseudo-terminal,
# connects bench_usb_link --idle to it for SECONDS (default 30) and prints the CPU share.
# Usage: bench/idle_usb.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build=${1:-build/release}
seconds=${2:-30}
sim="$build/tools/instrument-sim/instrument-sim"
driver="$build/bench/bench_usb_link"
for f in "$sim" "$driver"; do
  [[ -x $f ]] || { echo "idle_usb: $f is not built" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'kill "$simpid" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
"$sim" --pty "$work/kvz" </dev/null >"$work/sim.out" 2>&1 &
simpid=$!
for _ in $(seq 100); do [[ -L $work/kvz ]] && break; sleep 0.05; done
[[ -L $work/kvz ]] || { echo "idle_usb: the simulator did not start" >&2; cat "$work/sim.out" >&2; exit 1; }
ZENTROVA_D2XX_MAP="Zentrova KVZ=$work/kvz" QT_QPA_PLATFORM=offscreen \
  "$driver" --idle "$seconds" --device "Zentrova KVZ"
