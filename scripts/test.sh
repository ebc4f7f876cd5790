#!/usr/bin/env bash
# Builds everything with the sanitizers on and runs every test. Exits non-zero on any failure.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

dun_install_missing
dun_configure -DDUN_SANITIZE=ON -DDUN_TESTS=ON
dun_build
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" "$@"
