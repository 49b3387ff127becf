#!/usr/bin/env bash
# Screenshots of the real window under Xvfb, at 96 and at 144 dots per inch:
# build/screens/window-96.png and build/screens/window-144.png.
#
#   bench/screens.sh            # uses build/apps/pitchwell/pitchwell
#   BUILD=/path/to/build bench/screens.sh
#
# Each run gets a fresh Xvfb started with -dpi N and Xft.dpi N (as a desktop
# states its density), so the window scales itself by N / 96.
# The display shows its moving test picture (PITCHWELL_TEST_PATTERN=1), sound
# goes to the silent device, and settings go to a throw-away folder.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
BUILD=$(cd "$BUILD" && pwd)
PROGRAM=$BUILD/apps/pitchwell/pitchwell
OUT=${OUT:-$ROOT/build/screens}

for tool in Xvfb xwininfo xprop import convert; do
  command -v "$tool" >/dev/null || { echo "screens.sh: $tool is missing (make deps)" >&2; exit 1; }
done
[ -x "$PROGRAM" ] || { echo "screens.sh: $PROGRAM is missing (make build)" >&2; exit 1; }
mkdir -p "$OUT"

SCRATCH=$(mktemp -d)
XVFB_PID=
APP_PID=
cleanup() {
  [ -n "$APP_PID" ] && kill "$APP_PID" 2>/dev/null && wait "$APP_PID" 2>/dev/null || true
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null || true
  rm -rf "$SCRATCH"
}
trap cleanup EXIT

# A display number nobody uses.
free_display() {
  local n
  for n in $(seq 91 140); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { echo "$n"; return; }
  done
  echo "screens.sh: no free X display" >&2
  exit 1
}

# "WxH+X+Y" of the window titled Pitchwell (the largest such: Qt also makes a
# 1 x 1 leader window with that name), or nothing yet.
window_geometry() {
  xwininfo -display ":$1" -root -tree 2>/dev/null |
    awk '/"Pitchwell"/ {
           for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+x[0-9]+\+/) g = $i
           split(g, a, "+"); split(a[1], d, "x")
           if (d[1] * d[2] > best) { best = d[1] * d[2]; found = a[1] $NF }
         }
         END { if (best > 1) print found }'
}

shoot() {
  local dpi=$1 display geometry tries
  display=$(free_display)
  Xvfb ":$display" -screen 0 1280x1024x24 -dpi "$dpi" -nolisten tcp -noreset -br >"$SCRATCH/xvfb-$dpi.log" 2>&1 &
  XVFB_PID=$!
  for tries in $(seq 50); do
    xwininfo -display ":$display" -root >/dev/null 2>&1 && break
    sleep 0.1
  done
  # What a desktop does to state its density: Xft.dpi in the root window's
  # resources, from which Qt takes the screen's logical dots per inch.
  xprop -display ":$display" -root -format RESOURCE_MANAGER 8s -set RESOURCE_MANAGER "Xft.dpi:	$dpi"

  mkdir -p "$SCRATCH/config-$dpi" "$SCRATCH/runtime-$dpi"
  chmod 700 "$SCRATCH/runtime-$dpi"
  DISPLAY=":$display" QT_QPA_PLATFORM=xcb PITCHWELL_AUDIO=null PITCHWELL_TEST_PATTERN=1 \
    XDG_CONFIG_HOME="$SCRATCH/config-$dpi" XDG_RUNTIME_DIR="$SCRATCH/runtime-$dpi" \
    "$PROGRAM" >"$SCRATCH/app-$dpi.log" 2>&1 &
  APP_PID=$!

  geometry=
  for tries in $(seq 100); do
    geometry=$(window_geometry "$display")
    [ -n "$geometry" ] && break
    kill -0 "$APP_PID" 2>/dev/null || { cat "$SCRATCH/app-$dpi.log" >&2; exit 1; }
    sleep 0.1
  done
  [ -n "$geometry" ] || { echo "screens.sh: no window at $dpi dpi" >&2; cat "$SCRATCH/app-$dpi.log" >&2; exit 1; }
  sleep 1.5  # let the test picture move and the afterglow build up
  geometry=$(window_geometry "$display")  # where it settled (it centres itself)

  import -display ":$display" -window root -crop "$geometry" +repage "$SCRATCH/shot.png"
  # Outside the panel's rounded corners the shot shows the bare screen; make
  # that transparent again, as it is on a desktop.
  local size=${geometry%%+*} radius=$((14 * dpi / 96))
  local w=${size%x*} h=${size#*x}
  convert "$SCRATCH/shot.png" \( -size "$size" xc:black -fill white \
    -draw "roundrectangle 0,0,$((w - 1)),$((h - 1)),$radius,$radius" \) \
    -alpha off -compose CopyOpacity -composite "$OUT/window-$dpi.png"
  echo "$OUT/window-$dpi.png ($geometry)"

  kill "$APP_PID"; wait "$APP_PID" 2>/dev/null || true; APP_PID=
  kill "$XVFB_PID"; wait "$XVFB_PID" 2>/dev/null || true; XVFB_PID=
}

shoot 96
shoot 144
