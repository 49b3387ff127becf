#!/usr/bin/env bash
# Screenshots of the real window under Xvfb, at 96 and at 144 dots per inch,
# into build/screens/ (or $OUT): the window playing generated music, and the
# same window a second later (the two must differ in the spectrum display,
# the time label and the position slider only; the tool checks).
#
#   bench/screens.sh            # uses the build in build/
#   BUILD=/path/to/build bench/screens.sh
#
# Each density gets a fresh Xvfb started with -dpi N and Xft.dpi N (as a
# desktop states its density), so the window scales itself by N / 96. Sound
# goes to the silent real-time device; settings go to throw-away folders.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
BUILD=$(cd "$BUILD" && pwd)
OUT=${OUT:-$ROOT/build/screens}

for tool in Xvfb xdotool xprop import; do
  command -v "$tool" >/dev/null || { echo "screens.sh: $tool is missing (make deps)" >&2; exit 1; }
done
[ -x "$BUILD/bench/screens" ] && [ -x "$BUILD/apps/pitchwell/pitchwell" ] ||
  { echo "screens.sh: build first (make build)" >&2; exit 1; }
mkdir -p "$OUT"
exec "$BUILD/bench/screens" "$OUT"
