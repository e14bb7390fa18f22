#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking jyx needs.
# Safe to run repeatedly; skips apt entirely when everything is already present.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libyaml-dev rapidjson-dev zlib1g-dev libftdi1-dev
  libgtest-dev libbenchmark-dev
  socat fastboot gdisk fdisk android-sdk-libsparse-utils mtools curl python3
  util-linux e2fsprogs uuid-runtime uuid
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
