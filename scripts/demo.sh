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
if [ -x "$BUILD_DIR/bin/ai_scenario" ]; then
  if [ "$#" -eq 0 ]; then
    mkdir -p "$BUILD_DIR/out"
    set -- hide --bots 8 --seconds 30 --plot "$BUILD_DIR/out/hide.png"
    echo "Hide scenario; its top view is written to $BUILD_DIR/out/hide.png" >&2
  fi
  run ai_scenario "$@"
fi
if [ -x "$BUILD_DIR/bin/ai_world_smoke" ]; then
  run ai_world_smoke "$@"
fi
echo "No program has been built yet; the libraries and tests are in $BUILD_DIR." >&2
