#!/usr/bin/env bash
# The local demo: builds the signer against the stand-in service on 127.0.0.1 and
# starts it with a demo token. Ending the signer ends the stand-in; a second run reuses
# the build and the token.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
port="${NORVANE_DEMO_PORT:-8765}"
hport=$((port + 1))  # homologation answers carry the prefix of that environment
demo="$root/build-demo"
NORVANE_BUILD_TARGET=NorvaneAssinadorIP "$root/scripts/build.sh" "$demo" \
  -DNORVANE_URL_PRODUCAO="http://127.0.0.1:$port/assinadorNorvane/" \
  -DNORVANE_URL_HOMOLOGACAO="http://127.0.0.1:$hport/assinadorNorvane/" \
  -DNORVANE_URL_DOWNLOAD="http://127.0.0.1:$port/files/"

# The demo token (PIN 1234) and a trust store that knows its root, for this run only.
while IFS= read -r setting; do export "${setting?}"; done < <("$root/scripts/demo-token.sh" "$demo/token")

# Whatever ends this script (the signer closing, Ctrl+C, a kill) ends both processes.
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# The stand-in service answers the version this build carries (major.minor.release),
# keeps the uploads in build-demo/recebidos and writes the batch tab's sample PDFs into
# build-demo/exemplos.
version="$(sed -n 's/^project(NorvaneAssinadorIP VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' "$root/CMakeLists.txt")"
mkdir -p "$demo/assinados" "$demo/digitacao-manual"
python3 "$root/tests/support/standin/standin.py" --demo --port "$port" --homologation-port "$hport" \
  --version "${version:-1.0.3}" --store "$demo/recebidos" --samples "$demo/exemplos" >/dev/null &
pids+=($!)
for _ in $(seq 50); do
  if ! kill -0 "${pids[0]}" 2>/dev/null; then
    echo "O serviço de demonstração não iniciou (porta $port ou $hport em uso?)." >&2
    exit 1
  fi
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
echo "Serviço de demonstração em http://127.0.0.1:$port/ (homologação: porta $hport)."
echo "PDFs de exemplo para o lote: $demo/exemplos"
echo "Pastas para os assinados: $demo/assinados e $demo/digitacao-manual"
echo "Envios recebidos pelo serviço: $demo/recebidos"
echo "Token de demonstração \"Norvane Demo\" (PIN 1234); certificados confiáveis: $SSL_CERT_FILE"

"$demo/NorvaneAssinadorIP" &
pids+=($!)
status=0
wait "${pids[1]}" || status=$?
exit "$status"
