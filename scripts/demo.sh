#!/usr/bin/env bash
# Builds the project and runs its most complete program. Arguments are passed to the program.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

dun_install_missing
dun_configure
dun_build

# The most complete program first.
for program in dunmarrow ai_scenario ai_world_smoke; do
  if [ -x "$BUILD_DIR/bin/$program" ]; then
    cd "$DUN_ROOT"
    exec "$BUILD_DIR/bin/$program" "$@"
  fi
done
echo "No program has been built yet; the libraries and tests are in $BUILD_DIR." >&2
