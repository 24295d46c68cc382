#!/usr/bin/env bash
# Pictures of the program's windows for a person to look at: the main window in each mode, its
# menus open, the method editor, the other dialogs and the message boxes, taken on a virtual X
# display (Xvfb) from the real windows. Usage: scripts/screenshots.sh [folder] (default
# build/dev/screenshots); SCREENSHOT_DISPLAY picks the display (default :97). With twm
# (and xfonts-base) installed the windows get title bars.
set -euo pipefail
cd "$(dirname "$0")/.."
display=${SCREENSHOT_DISPLAY:-:97}
out=$(realpath -m "${1:-build/dev/screenshots}")
test_program=build/dev/tests/ui/ui_test_mainform_screen
command -v Xvfb >/dev/null || { echo "Xvfb is needed (Debian package xvfb)" >&2; exit 1; }
cmake --build --preset dev --target ui_test_mainform_screen -j4 >/dev/null
mkdir -p "$out"
rm -f "$out"/*.png
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true' EXIT
socket=/tmp/.X11-unix/X${display#:}
for _ in $(seq 100); do
  [ -S "$socket" ] && break
  sleep 0.1
done
[ -S "$socket" ] || { echo "Xvfb did not start on $display" >&2; exit 1; }
# A window manager draws the title bars, where a title that does not fit would be cut.
if command -v twm >/dev/null; then
  twmrc=$(mktemp)
  printf 'RandomPlacement\nUsePPosition "on"\nNoGrabServer\nDecorateTransients\n' >"$twmrc"
  for f in TitleFont ResizeFont MenuFont IconFont IconManagerFont; do echo "$f \"fixed\"" >>"$twmrc"; done
  DISPLAY=$display LC_ALL=C twm -f "$twmrc" >/dev/null 2>&1 &
  wm=$!
  trap 'kill "$wm" "$xvfb" 2>/dev/null || true; rm -f "$twmrc"' EXIT
  sleep 0.5
fi
DISPLAY=$display QT_QPA_PLATFORM=xcb ZENTROVA_SCREENSHOTS=$out \
  "$test_program" --gtest_filter='MainFormScreen.ScreenshotsOfTheWindowsAndBoxes'
echo "screenshots in $out:"
ls "$out"
