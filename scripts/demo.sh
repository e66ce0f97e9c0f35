#!/usr/bin/env bash
# The local demo: builds the signer against the stand-in service on 127.0.0.1 and
# starts it with a demo token.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
port="${NORVANE_DEMO_PORT:-8765}"
hport=$((port + 1))  # homologation answers carry the prefix of that environment
demo="$root/build-demo"
NORVANE_BUILD_TARGET=NorvaneAssinadorIP "$root/scripts/build.sh" "$demo" \
  -DNORVANE_URL_PRODUCAO="http://127.0.0.1:$port/assinadorNorvane/" \
  -DNORVANE_URL_HOMOLOGACAO="http://127.0.0.1:$hport/assinadorNorvane/" \
  -DNORVANE_URL_DOWNLOAD="http://127.0.0.1:$port/files/"

# The stand-in service answers the version this build carries (major.minor.release),
# keeps the uploads in build-demo/recebidos and writes PDF/A files ready for the batch
# tab into build-demo/exemplos.
version="$(sed -n 's/^project(NorvaneAssinadorIP VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' "$root/CMakeLists.txt")"
standin="$root/tests/support/standin/standin.py"
if [ -f "$standin" ]; then
  python3 "$standin" --demo --port "$port" --homologation-port "$hport" --version "${version:-1.0.3}" \
    --store "$demo/recebidos" --samples "$demo/exemplos" >/dev/null &
  standin_pid=$!
  trap 'kill "$standin_pid" 2>/dev/null || true' EXIT
  for _ in $(seq 50); do
    if ! kill -0 "$standin_pid" 2>/dev/null; then
      echo "O serviço de demonstração não iniciou (porta $port ou $hport em uso?)." >&2
      exit 1
    fi
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
  done
  echo "Serviço de demonstração em http://127.0.0.1:$port/ (homologação: porta $hport)."
  echo "Envios recebidos: $demo/recebidos; PDFs de exemplo para o lote: $demo/exemplos"
fi
# The demo token (PIN 1234) and a trust store that knows its root, for this run only.
while IFS= read -r setting; do export "${setting?}"; done < <("$root/scripts/demo-token.sh" "$demo/token")
echo "Token de demonstração \"Norvane Demo\" (PIN 1234); certificados confiáveis: $SSL_CERT_FILE"
"$demo/NorvaneAssinadorIP"
