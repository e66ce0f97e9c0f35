#!/usr/bin/env bash
# Builds the Debian package (Release, with the production service URLs unless
# NORVANE_URL_PRODUCAO / NORVANE_URL_HOMOLOGACAO / NORVANE_URL_DOWNLOAD are given),
# installs it into this system with apt-get, and starts the installed program offscreen
# until its login window is up. Not part of the tests: it installs into the system.
#   usage: package.sh [BUILD_FOLDER]      (default: build-package)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${1:-$root/build-package}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

"$root/scripts/setup.sh"

# A URL not given goes back to the default compiled in (-U forgets an earlier choice).
urls=()
for name in NORVANE_URL_PRODUCAO NORVANE_URL_HOMOLOGACAO NORVANE_URL_DOWNLOAD; do
  if [ -n "${!name:-}" ]; then urls+=("-D$name=${!name}"); else urls+=("-U$name"); fi
done
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVANE_TESTS=OFF "${urls[@]}" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
grep '^NORVANE_URL_' "$dir/CMakeCache.txt" | sed 's/:STRING=/ = /'

rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb="$(ls "$dir"/*.deb)"
echo "Pacote: $deb"

# --reinstall: the same version built again replaces the installed files.
export DEBIAN_FRONTEND=noninteractive
(cd "$dir" && $SUDO apt-get install -y -qq --reinstall "./$(basename "$deb")" >/dev/null)
program="$(dpkg -L norvane-assinador-ip | grep '/bin/NorvaneAssinadorIP$')"
echo "Instalado: $program"

# The installed program, offscreen: its login window is up once it has run a few
# seconds without ending (a start that fails ends at once, with its message on stderr).
log="$(mktemp)"
QT_QPA_PLATFORM=offscreen "$program" >"$log" 2>&1 &
pid=$!
for _ in $(seq 50); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if ! kill -0 "$pid" 2>/dev/null; then
  wait "$pid" && status=0 || status=$?
  echo "O programa instalado terminou logo ao iniciar (código $status):" >&2
  cat "$log" >&2
  rm -f "$log"
  exit 1
fi
kill "$pid"
wait "$pid" 2>/dev/null || true
rm -f "$log"
echo "O programa instalado iniciou e abriu a janela de login (encerrado em seguida)."
