#!/usr/bin/env bash
# The local demo: builds the signer against the stand-in service on 127.0.0.1 and
# starts it. Pieces that are not there yet are skipped.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
port="${NORVANE_DEMO_PORT:-8765}"
demo="$root/build-demo"
NORVANE_BUILD_TARGET=NorvaneAssinadorIP "$root/scripts/build.sh" "$demo" \
  -DNORVANE_URL_PRODUCAO="http://127.0.0.1:$port/assinadorNorvane/" \
  -DNORVANE_URL_HOMOLOGACAO="http://127.0.0.1:$port/assinadorNorvane/" \
  -DNORVANE_URL_DOWNLOAD="http://127.0.0.1:$port/files/"
exec "$demo/NorvaneAssinadorIP"
