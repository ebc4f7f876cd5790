#!/usr/bin/env bash
# Shared set-up of scripts/test.sh and scripts/demo.sh: installs the Debian packages the
# build needs (only those that are absent) and configures the build tree.
set -euo pipefail

DUN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$DUN_ROOT/build}"

DUN_PACKAGES=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libexpat1-dev libpng-dev zlib1g-dev libqhull-dev
  libsdl2-dev xvfb xauth
  libosmesa6-dev  # the rasteriser benchmark's comparison (found optionally)
  libbullet-dev   # the physics benchmark's comparison (found optionally)
  libboost-graph-dev
)

dun_install_missing() {
  local missing=()
  local pkg
  for pkg in "${DUN_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  if [ "${#missing[@]}" -eq 0 ]; then
    return 0
  fi
  echo "Installing missing packages: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

dun_configure() {
  cmake -S "$DUN_ROOT" -B "$BUILD_DIR" -G Ninja "$@"
}

dun_build() {
  cmake --build "$BUILD_DIR" -j "$(nproc)" "$@"
}
