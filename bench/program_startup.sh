#!/usr/bin/env bash
# Time from starting the program to its main window shown, measured RUNS times (default 5) in a
# fresh settings store: the program's test-control channel (ZENTROVA_TEST_CONTROL) is asked for
# its state every 10 ms until it reports the window shown. The slowest run must stay below 1 s.
# Needs socat. Usage: bench/program_startup.sh [BUILD_DIR] [RUNS]
# Exit status: 0 below the limit, 1 a failure, 3 over the limit.
set -euo pipefail
build=${1:-build/release}
runs=${2:-5}
limit_ms=1000
app="$build/app/zentrova"
[[ -x $app ]] || { echo "program_startup: $app is not built" >&2; exit 1; }
command -v socat >/dev/null || { echo "program_startup: socat is missing" >&2; exit 1; }

work=$(mktemp -d /tmp/zstart-XXXXXX)
apppid=""
cleanup() {
  [[ -n $apppid ]] && kill "$apppid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export ZENTROVA_REGISTRY="$work/registry.db" XDG_CONFIG_HOME="$work" XDG_DATA_HOME="$work" APPDATA="$work"
export QT_QPA_PLATFORM=offscreen ZENTROVA_TEST_CONTROL="$work/control"
"$build/tools/regtool/regtool" write 'HKCU\Software\TressivanLabs\Zentrova\Instrument' ConnectMethod dword 2 \
  >/dev/null 2>&1 || true

worst=0
for run in $(seq "$runs"); do
  rm -f "$ZENTROVA_TEST_CONTROL"
  t0=$(date +%s%N)
  "$app" >"$work/app.out" 2>&1 &
  apppid=$!
  shown=0
  for _ in $(seq 1000); do
    if [[ -S $ZENTROVA_TEST_CONTROL ]] &&
      echo state | socat -t 1 - "UNIX-CONNECT:$ZENTROVA_TEST_CONTROL" 2>/dev/null | grep -q ' shown=1'; then
      shown=1
      break
    fi
    kill -0 "$apppid" 2>/dev/null || break
    sleep 0.01
  done
  t1=$(date +%s%N)
  kill "$apppid" 2>/dev/null || true
  wait "$apppid" 2>/dev/null || true
  apppid=""
  ((shown)) || { echo "program_startup: the main window was never shown" >&2; cat "$work/app.out" >&2; exit 1; }
  ms=$(((t1 - t0) / 1000000))
  echo "program_startup: run $run: ${ms} ms"
  ((ms > worst)) && worst=$ms
done
echo "program_startup: slowest of $runs runs ${worst} ms (limit ${limit_ms} ms)"
((worst < limit_ms)) || exit 3
