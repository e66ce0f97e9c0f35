#!/usr/bin/env bash
# Installs every build, test and demo dependency from Debian packages (idempotent).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libssl-dev openssl libp11-dev p11-kit libp11-kit-dev softhsm2 opensc
  libcurl4-openssl-dev nlohmann-json3-dev zlib1g-dev
  googletest libgtest-dev libgmock-dev
  gnutls-bin unzip python3 xvfb xauth xfonts-base fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
