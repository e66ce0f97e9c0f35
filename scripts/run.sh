#!/usr/bin/env bash
# Installs the dependencies, builds and starts the signer. With no real service
# configured (NORVANE_URL_PRODUCAO unset) it starts the local demo: the stand-in
# service on 127.0.0.1 and a demo token, and the signer pointed at them.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "Não há tela gráfica (DISPLAY não definido). Para rodar o assinador sem monitor, use um servidor X virtual:" >&2
  echo "    xvfb-run -a -s '-screen 0 1280x800x24' scripts/run.sh" >&2
  exit 1
fi

if [ -n "${NORVANE_URL_PRODUCAO:-}" ]; then
  NORVANE_BUILD_TARGET=NorvaneAssinadorIP "$root/scripts/build.sh" "$root/build-run" \
    -DNORVANE_URL_PRODUCAO="$NORVANE_URL_PRODUCAO" \
    ${NORVANE_URL_HOMOLOGACAO:+-DNORVANE_URL_HOMOLOGACAO="$NORVANE_URL_HOMOLOGACAO"} \
    ${NORVANE_URL_DOWNLOAD:+-DNORVANE_URL_DOWNLOAD="$NORVANE_URL_DOWNLOAD"}
  exec "$root/build-run/NorvaneAssinadorIP"
fi

exec "$root/scripts/demo.sh"
