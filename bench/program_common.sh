# Shared part of the whole-program scripts (sourced, not run): the built programs, a fresh folder
# for the settings store and the logs, and the program started against the simulated instrument
# and waited for until its first live tick has halted the instrument.
# The sourcing script sets `name` (its name in messages) and `build` first. It may set `needed`
# (an array) to the programs it cannot do without; by default all three below.

sim="$build/tools/instrument-sim/instrument-sim"
app="$build/app/zentrova"
regtool="$build/tools/regtool/regtool"
# The name the converter of the USB transport answers to.
usb_device="KVZ Bench"

# require_built PROGRAM...: stops the script when one of them is not built.
require_built() {
  local f
  for f in "$@"; do
    [[ -x $f ]] || { echo "$name: $f is not built" >&2; exit 1; }
  done
}
if [[ -z ${needed+set} ]]; then needed=("$sim" "$app" "$regtool"); fi
require_built "${needed[@]}"

work=$(mktemp -d "/tmp/z$name-XXXXXX")
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
export ZENTROVA_D2XX_MAP="$usb_device=$work/kvz" QT_QPA_PLATFORM=offscreen
log="$work/TressivanLabs/Zentrova.log"
simlog="$work/sim.log"

# start_sim: the simulated instrument on the pseudo-terminal $work/kvz, logging what it receives
# to $simlog.
start_sim() {
  "$sim" --pty "$work/kvz" --log "$simlog" </dev/null >"$work/sim.out" 2>&1 &
  simpid=$!
  for _ in $(seq 100); do [[ -L $work/kvz ]] && break; sleep 0.05; done
  [[ -L $work/kvz ]] || { echo "$name: the simulator did not start" >&2; cat "$work/sim.out" >&2; exit 1; }
}

# start_connected serial|usb: the simulator on a pseudo-terminal, the program linked to it over
# the transport; returns once the log shows the first live tick.
start_connected() {
  local key='HKCU\Software\TressivanLabs\Zentrova\Instrument'
  case $1 in
    serial)
      "$regtool" write "$key" ConnectMethod dword 2 >/dev/null
      "$regtool" write "$key" COM sz "$work/kvz" >/dev/null ;;
    usb)
      "$regtool" write "$key" ConnectMethod dword 3 >/dev/null
      "$regtool" write "$key" USB sz "$usb_device" >/dev/null ;;
    *) echo "$name: transport must be serial or usb" >&2; exit 1 ;;
  esac

  start_sim
  "$app" </dev/null >"$work/app.out" 2>&1 &
  apppid=$!
  for _ in $(seq 300); do
    grep -q "#main: setMode(): mode=2; current mode=0" "$log" 2>/dev/null && return 0
    kill -0 "$apppid" 2>/dev/null || { echo "$name: the program ended" >&2; cat "$work/app.out" >&2; exit 1; }
    sleep 0.05
  done
  echo "$name: the program did not connect" >&2
  exit 1
}
