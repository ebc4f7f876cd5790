#!/usr/bin/env bash
# Builds the project and runs its most complete program. Arguments are passed to the program.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

dun_install_missing
dun_configure
dun_build

# The most complete program first; without arguments each runs its default show.
run() {
  cd "$DUN_ROOT"
  exec "$BUILD_DIR/bin/$1" "${@:2}"
}
if [ -x "$BUILD_DIR/bin/dunmarrow" ]; then
  run dunmarrow "$@"
fi
# Without arguments: the hide scenario, then the first frames of the graphics engine in a window
# (or, without a display, its frame written headless).
smoke() {
  cd "$DUN_ROOT"
  mkdir -p "$BUILD_DIR/out"
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display: the smoke frame is written to $BUILD_DIR/out/smoke.png" >&2
    exec "$BUILD_DIR/bin/gfx_smoke" --headless --out "$BUILD_DIR/out/smoke.png"
  fi
  echo "The smoke scene in a window; close it to end" >&2
  exec "$BUILD_DIR/bin/gfx_smoke"
}
if [ -x "$BUILD_DIR/bin/ai_scenario" ]; then
  if [ "$#" -eq 0 ]; then
    mkdir -p "$BUILD_DIR/out"
    echo "Hide scenario; its top view is written to $BUILD_DIR/out/hide.png" >&2
    (cd "$DUN_ROOT" && "$BUILD_DIR/bin/ai_scenario" hide --bots 8 --seconds 30 --plot "$BUILD_DIR/out/hide.png")
    if [ -x "$BUILD_DIR/bin/gfx_smoke" ]; then
      smoke
    fi
    exit 0
  fi
  run ai_scenario "$@"
fi
if [ "$#" -eq 0 ] && [ -x "$BUILD_DIR/bin/gfx_smoke" ]; then
  smoke
fi
if [ -x "$BUILD_DIR/bin/ai_world_smoke" ]; then
  run ai_world_smoke "$@"
fi
echo "No program has been built yet; the libraries and tests are in $BUILD_DIR." >&2
