#!/usr/bin/env bash
# Builds the programs the demo runs, optimised, and runs the most complete of them. Arguments
# are passed to the program, with a display or headless (the game takes "-vms" and names any
# other argument, which it ignores), and the script ends with its exit status. The build lives in
# build-demo/ (DUN_DEMO_BUILD_DIR chooses another folder), apart from scripts/test.sh's sanitizer
# build in build/: only the programs listed below are compiled, without sanitizers, so a first
# run takes minutes, not the whole test build. The game's data is written anew in
# build-demo/demo_data before the game runs on it.
# --help prints this and, when the game is built, the game's own help; it builds, writes and runs
# nothing else.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
BUILD_DIR="${DUN_DEMO_BUILD_DIR:-$DUN_ROOT/build-demo}"
if dun_asks_help "$@"; then
  dun_help
  if [ -x "$BUILD_DIR/bin/dunmarrow" ]; then
    echo
    "$BUILD_DIR/bin/dunmarrow" --help
  fi
  exit 0
fi

# The programs the demo may run, most complete first, and the tools that make its data. Each is
# built when the source tree defines it; a name the tree does not have yet is passed over.
DEMO_TARGETS=(dunmarrow mkasset ai_scenario gfx_smoke ai_world_smoke)

say() { echo "demo: $*" >&2; }

say "checking the packages the build needs"
dun_install_missing "${DUN_BUILD_PACKAGES[@]}"

# Release, no sanitizers. The tests are configured (the AI scenarios run on the test kit's host)
# but none of them is built: only the targets named above are.
say "configuring an optimised build in $BUILD_DIR"
dun_configure -DCMAKE_BUILD_TYPE=Release -DDUN_SANITIZE=OFF -DDUN_TESTS=ON -DDUN_BENCHMARKS=OFF -DDUN_FUZZ=OFF >/dev/null

targets=()
for target in "${DEMO_TARGETS[@]}"; do
  if ninja -C "$BUILD_DIR" -t query "$target" >/dev/null 2>&1; then
    targets+=("$target")
  fi
done
if [ "${#targets[@]}" -eq 0 ]; then
  say "the source tree defines none of: ${DEMO_TARGETS[*]}"
  exit 1
fi
say "building ${targets[*]} with ${DUN_JOBS:-$(nproc)} jobs (the first time takes a few minutes)"
dun_build --target "${targets[@]}"

bin="$BUILD_DIR/bin"
out="$BUILD_DIR/out"
mkdir -p "$out"
cd "$DUN_ROOT"

run() {
  say "running $1 ${*:2}"
  exec "$bin/$1" "${@:2}"
}
# The game on its data folder: in a window when there is a display, else headless for a fixed
# number of frames (ENTER past the start screen, F1 pressed halfway) with captures written to the build folder.
if [ -x "$bin/dunmarrow" ] && [ -x "$bin/mkasset" ]; then
  data="$BUILD_DIR/demo_data"
  say "making the game's data in $data: mkasset demo (its files written anew, files added there kept)"
  "$bin/mkasset" demo --out "$data" >&2
  cd "$data"
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    frames=600
    say "no display: $frames frames headless at 60 per second, ENTER at frame 1 (the start screen),"
    say "F1 at frame 300; captures every 100 frames are written to $out/dunmarrow-NNNNN.png"
    rm -f "$out"/dunmarrow-*.png
    status=0
    PLATFORM_HEADLESS=1 PLATFORM_FRAMES=$frames PLATFORM_FIXED_STEP=0.0166667 PLATFORM_KEYS="1:RETURN,300:F1" \
      PLATFORM_CAPTURE="$out/dunmarrow-%05d.png" PLATFORM_CAPTURE_EVERY=100 "$bin/dunmarrow" "$@" || status=$?
    # The game may end before its frames (--help, an error): only the captures it wrote are listed.
    captures=("$out"/dunmarrow-*.png)
    if [ -e "${captures[0]}" ]; then
      say "the game ended with status $status; the captures:"
      printf '%s\n' "${captures[@]}" >&2
    else
      say "the game ended with status $status; no capture written"
    fi
    exit "$status"
  fi
  say "the game in a window: ENTER starts it, the bots take cover, F1 calls them; ESC quits"
  run dunmarrow "$@"
fi
# The first frames of the graphics engine in a window or, without a display, written headless.
smoke() {
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    say "no display: the smoke frame is written to $out/smoke.png"
    run gfx_smoke --headless --out "$out/smoke.png"
  fi
  say "the smoke scene in a window; close it to end"
  run gfx_smoke
}
# Without arguments: the hide scenario, then the smoke scene.
if [ -x "$bin/ai_scenario" ]; then
  if [ "$#" -eq 0 ]; then
    say "hide scenario, 8 bots for 30 s; its top view is written to $out/hide.png"
    "$bin/ai_scenario" hide --bots 8 --seconds 30 --plot "$out/hide.png"
    if [ -x "$bin/gfx_smoke" ]; then
      smoke
    fi
    exit 0
  fi
  run ai_scenario "$@"
fi
if [ "$#" -eq 0 ] && [ -x "$bin/gfx_smoke" ]; then
  smoke
fi
if [ -x "$bin/ai_world_smoke" ]; then
  run ai_world_smoke "$@"
fi
say "none of ${DEMO_TARGETS[*]} was built in $BUILD_DIR"
exit 1
