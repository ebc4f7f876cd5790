#!/usr/bin/env bash
# Builds everything with the sanitizers on and runs every test. Exits non-zero on any failure.
# Skipped tests are listed after ctest's summary with the reasons they give. Arguments go to
# ctest (-L LABEL runs one area); BUILD_DIR chooses the build folder (default build/), DUN_JOBS
# the parallel jobs. --help prints this and does nothing else.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
if dun_asks_help "$@"; then
  dun_help
  exit 0
fi

dun_install_missing
dun_configure -DDUN_SANITIZE=ON -DDUN_TESTS=ON
dun_build
status=0
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "${DUN_JOBS:-$(nproc)}" "$@" || status=$?
log="$BUILD_DIR/Testing/Temporary/LastTest.log"
if [ -f "$log" ] && grep -q '^\[  SKIPPED \] ' "$log"; then
  echo "Skipped tests:"
  awk -f "$DUN_ROOT/scripts/skip_reasons.awk" "$log" 2>/dev/null
fi
exit "$status"
