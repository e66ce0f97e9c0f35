#!/usr/bin/env bash
# Installs every build, test and demo dependency from Debian packages (idempotent).
set -euo pipefail

# clang's runtime (the sanitizers, libFuzzer) is named after its version: Debian 12 has
# clang 14, Debian 13 clang 19.
clang_rt=libclang-rt-14-dev
if [ -r /etc/os-release ] && grep -q '^VERSION_CODENAME=trixie' /etc/os-release; then clang_rt=libclang-rt-19-dev; fi

packages=(
  build-essential cmake ninja-build pkg-config
  clang "$clang_rt"
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-translations-l10n
  libssl-dev openssl libp11-dev p11-kit libp11-kit-dev softhsm2 opensc opensc-pkcs11
  pcscd vsmartcard-vpcd python3-cryptography
  libcurl4-openssl-dev nlohmann-json3-dev zlib1g-dev libdeflate-dev
  googletest libgtest-dev libgmock-dev
  gnutls-bin unzip file python3 xvfb xauth xfonts-base fonts-dejavu-core fonts-liberation2
  xdotool imagemagick dbus-daemon at-spi2-core python3-pyatspi
  dpkg-dev xdg-utils shared-mime-info lintian appstream man-db groff-base
)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
# Nothing to do (and no network needed) when every package is installed already.
installed="$(dpkg-query -W -f='${db:Status-Abbrev}\n' "${packages[@]}" 2>/dev/null | grep -c '^ii' || true)"
if [ "$installed" -eq "${#packages[@]}" ]; then
  echo "Dependências instaladas."
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
echo "Dependências instaladas."
