#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking jyx needs.
# Safe to run repeatedly; skips apt entirely when everything is already present.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  libyaml-dev rapidjson-dev zlib1g-dev libftdi1-dev libssl-dev
  libgtest-dev libbenchmark-dev
  socat fastboot gdisk fdisk android-sdk-libsparse-utils mtools curl python3
  util-linux e2fsprogs uuid-runtime uuid
  dpkg-dev groff-base librsvg2-bin
  python3-labgrid python3-pytest
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Node.js runs esptool-js, the independent ROM-loader client of the
# maintenance tests (tests/esptool_js, pinned in its package.json). A node
# that is already installed (with its own npm) is kept.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  echo "installing: nodejs npm"
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends nodejs npm
fi
if [ ! -d "$(dirname "$0")/../tests/esptool_js/node_modules/esptool-js" ]; then
  (cd "$(dirname "$0")/../tests/esptool_js" && npm install --no-audit --no-fund --loglevel=error)
fi
