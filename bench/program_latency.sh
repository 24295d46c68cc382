#!/usr/bin/env bash
# Time from the instrument's prompt (">") to the next queued command on the wire, for the whole
# program against the simulated instrument over each transport. A relay (prompt_latency) sits
# between the two, presses Stop and Reset in turn through the test-control socket and reports
# the median and the 95th percentile per transport. Targets: serial and TCP/IP median below
# 1 ms; USB within its 20-ms poll. TCP/IP listens on port 192 and needs root.
# Usage: bench/program_latency.sh [BUILD_DIR] [PRESSES] [serial tcp usb ...]
set -euo pipefail
build=${1:-build/release}
presses=${2:-20}
transports=("${@:3}")
[[ ${#transports[@]} -eq 0 ]] && transports=(serial tcp usb)
name=program_latency
relay="$build/bench/prompt_latency"
needed=("$build/tools/instrument-sim/instrument-sim" "$build/app/zentrova" "$build/tools/regtool/regtool" "$relay")
source "$(dirname "${BASH_SOURCE[0]}")/program_common.sh"
key='HKCU\Software\TressivanLabs\Zentrova\Instrument'
relaypid=""

run_one() {
  local transport=$1 simside progside
  rm -f "$log" "$work/control.sock"
  case $transport in
    serial|usb)
      start_sim
      simside=(--sim-pty "$work/kvz")
      progside=(--program-pty "$work/relay") ;;
    tcp)
      "$sim" --tcp 127.0.0.1:0 --log "$simlog" </dev/null >"$work/sim.out" 2>&1 &
      simpid=$!
      for _ in $(seq 100); do grep -q "ready: tcp" "$work/sim.out" && break; sleep 0.05; done
      simside=(--sim-tcp "$(sed -n 's/.*ready: tcp //p' "$work/sim.out")")
      progside=(--program-tcp 127.0.0.93:192) ;;
  esac
  case $transport in
    serial) "$regtool" write "$key" ConnectMethod dword 2 >/dev/null
            "$regtool" write "$key" COM sz "$work/relay" >/dev/null ;;
    usb)    "$regtool" write "$key" ConnectMethod dword 3 >/dev/null
            "$regtool" write "$key" USB sz "$usb_device" >/dev/null ;;
    tcp)    "$regtool" write "$key" ConnectMethod dword 1 >/dev/null
            "$regtool" write "$key" IP sz 127.0.0.93 >/dev/null ;;
  esac
  "$relay" "${progside[@]}" "${simside[@]}" --control "$work/control.sock" --log "$log" \
    --presses "$presses" --label "$transport" >"$work/relay.out" 2>&1 &
  relaypid=$!
  for _ in $(seq 100); do grep -q "ready" "$work/relay.out" && break; sleep 0.05; done
  ZENTROVA_TEST_CONTROL="$work/control.sock" ZENTROVA_D2XX_MAP="$usb_device=$work/relay" \
    "$app" </dev/null >"$work/app.out" 2>&1 &
  apppid=$!
  wait "$relaypid" || { cat "$work/relay.out" >&2; exit 1; }
  grep -v ready "$work/relay.out"
  kill "$apppid" "$simpid" 2>/dev/null || true
  wait "$apppid" "$simpid" 2>/dev/null || true
  apppid="" simpid=""
}

for t in "${transports[@]}"; do run_one "$t"; done
