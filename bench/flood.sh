#!/usr/bin/env bash
# A flooding peer: the simulated instrument sends as fast as the link takes them, for SECONDS
# each (default 20), valid status lines, NUL bytes and one endless line, while the program's
# test-control socket is asked for "state" every 50 ms. Prints per flood the worst and the
# median answer time, the program's CPU share (utime + stime from /proc/<pid>/stat over the
# flood) and how much the daily log grew. Targets: every answer within 100 ms, CPU well below
# one core, the log growing by kilobytes, not megabytes.
# TCP/IP (the default) listens on port 192 and needs root; serial and USB run on a
# pseudo-terminal. Over USB only complete lines keep the link alive: under the endless line
# it is lost and reopened, as with a silent instrument.
# Usage: bench/flood.sh [BUILD_DIR] [SECONDS] [tcp|serial|usb] [status nul line ...]
# Exit status: 0 within the targets, 1 a failure, 3 an answer slower than 100 ms.
set -euo pipefail
build=${1:-build/release}
seconds=${2:-20}
transport=${3:-tcp}
kinds=("${@:4}")
[[ ${#kinds[@]} -eq 0 ]] && kinds=(status nul line)
name=flood
limit_ms=100
command -v socat >/dev/null || { echo "flood: socat is needed" >&2; exit 1; }
source "$(dirname "${BASH_SOURCE[0]}")/program_common.sh"
key='HKCU\Software\TressivanLabs\Zentrova\Instrument'
control="$work/control.sock"
simcontrol="$work/sim.sock"

ask() { socat -t 3 - "UNIX-CONNECT:$1" <<<"$2" 2>/dev/null || true; }

case $transport in
  tcp)
    address=127.0.0.$((100 + $$ % 100))
    "$sim" --tcp "$address:192" --control "$simcontrol" --log "$simlog" </dev/null >"$work/sim.out" 2>&1 &
    simpid=$!
    for _ in $(seq 100); do grep -q "ready: tcp" "$work/sim.out" && break; sleep 0.05; done
    grep -q "ready: tcp" "$work/sim.out" || { echo "flood: the simulator did not start" >&2; cat "$work/sim.out" >&2; exit 1; }
    "$regtool" write "$key" ConnectMethod dword 1 >/dev/null
    "$regtool" write "$key" IP sz "$address" >/dev/null ;;
  serial|usb)
    "$sim" --pty "$work/kvz" --control "$simcontrol" --log "$simlog" </dev/null >"$work/sim.out" 2>&1 &
    simpid=$!
    for _ in $(seq 100); do [[ -L $work/kvz ]] && break; sleep 0.05; done
    if [[ $transport == serial ]]; then
      "$regtool" write "$key" ConnectMethod dword 2 >/dev/null
      "$regtool" write "$key" COM sz "$work/kvz" >/dev/null
    else
      "$regtool" write "$key" ConnectMethod dword 3 >/dev/null
      "$regtool" write "$key" USB sz "$usb_device" >/dev/null
    fi ;;
  *) echo "flood: transport must be tcp, serial or usb" >&2; exit 1 ;;
esac

ZENTROVA_TEST_CONTROL="$control" "$app" </dev/null >"$work/app.out" 2>&1 &
apppid=$!
for _ in $(seq 300); do
  grep -q "#main: setMode(): mode=2; current mode=0" "$log" 2>/dev/null && break
  kill -0 "$apppid" 2>/dev/null || { echo "flood: the program ended" >&2; cat "$work/app.out" >&2; exit 1; }
  sleep 0.05
done
grep -q "#main: setMode(): mode=2; current mode=0" "$log" || { echo "flood: the program did not connect" >&2; exit 1; }
sleep 1

ticks() { awk '{ print $14 + $15 }' "/proc/$apppid/stat"; }
hz=$(getconf CLK_TCK)
status=0
for kind in "${kinds[@]}"; do
  times="$work/times-$kind"
  : >"$times"
  size0=$(stat -c %s "$log")
  t0=$(ticks); s0=$(date +%s.%N)
  [[ $(ask "$simcontrol" "flood $kind $seconds") == ok ]] || { echo "flood: the simulator refused the flood" >&2; exit 1; }
  end=$(( $(date +%s%N) + seconds * 1000000000 ))
  while (( $(date +%s%N) < end )); do
    a=$(date +%s%N)
    answer=$(ask "$control" state)
    b=$(date +%s%N)
    [[ $answer == *mode=* ]] || { echo "flood: no answer to state during the $kind flood" >&2; status=1; }
    echo $(( (b - a) / 1000 )) >>"$times"
    sleep 0.05
  done
  t1=$(ticks); s1=$(date +%s.%N)
  size1=$(stat -c %s "$log")
  kill -0 "$apppid" 2>/dev/null || { echo "flood: the program ended during the $kind flood" >&2; exit 1; }
  sort -n "$times" | awk -v kind="$kind" -v t0="$t0" -v t1="$t1" -v s0="$s0" -v s1="$s1" -v hz="$hz" \
    -v grew=$((size1 - size0)) -v limit="$limit_ms" -v tr="$transport" '
    { v[NR] = $1 }
    END {
      worst = v[NR] / 1000; median = v[int((NR + 1) / 2)] / 1000
      printf "flood: %s %-6s %2d answers, worst %7.1f ms, median %6.1f ms, CPU %5.1f%%, log +%d bytes\n",
        tr, kind, NR, worst, median, (t1 - t0) / hz / (s1 - s0) * 100, grew
      exit worst > limit ? 3 : 0
    }' || { rc=$?; [[ $rc -eq 3 ]] || exit 1; status=3; }
  # The link settles before the next flood.
  sleep 2
done
echo "flood: the log's own words on it:"
grep -a "#link" "$log" | tail -n 12 || true
exit $status
