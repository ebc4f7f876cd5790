#!/usr/bin/env bash
# Shared set-up of scripts/test.sh and scripts/demo.sh: installs the Debian packages the
# build needs (only those that are absent) and configures the build tree.
set -euo pipefail

DUN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$DUN_ROOT/build}"

# What every build needs (scripts/demo.sh installs only these; the test kits the demo's
# scenario programs run on need the test framework's headers).
DUN_BUILD_PACKAGES=(
  cmake ninja-build g++ pkg-config
  libgtest-dev
  libexpat1-dev libpng-dev zlib1g-dev libqhull-dev
  libsdl2-dev
)
# Everything: the build, the tests and the benchmarks' comparisons.
DUN_PACKAGES=(
  "${DUN_BUILD_PACKAGES[@]}"
  libgmock-dev libbenchmark-dev
  xvfb xauth
  libosmesa6-dev  # the rasteriser benchmark's comparison (found optionally)
  libbullet-dev   # the physics benchmark's comparison (found optionally)
  libboost-graph-dev
  python3         # the damaged-data checks edit bytes of the game's files with it
)

# dun_install_missing [PACKAGE...]: installs those of the packages (all of DUN_PACKAGES when none
# is named) that are absent.
dun_install_missing() {
  local wanted=("$@")
  if [ "${#wanted[@]}" -eq 0 ]; then
    wanted=("${DUN_PACKAGES[@]}")
  fi
  local missing=()
  local pkg
  for pkg in "${wanted[@]}"; do
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

# dun_asks_help [ARGUMENT...]: whether one of the arguments is --help. dun_help prints the running
# script's opening comment; a script asked for help prints it and does nothing else.
dun_asks_help() {
  local arg
  for arg in "$@"; do
    [ "$arg" != --help ] || return 0
  done
  return 1
}
dun_help() {
  sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"
}

dun_configure() {
  cmake -S "$DUN_ROOT" -B "$BUILD_DIR" -G Ninja "$@"
}

dun_build() {
  cmake --build "$BUILD_DIR" -j "${DUN_JOBS:-$(nproc)}" "$@"
}
