#!/usr/bin/env bash
# Builds the Debian package (Release with Debian's hardening flags, with the production
# service URLs unless NORVANE_URL_PRODUCAO / NORVANE_URL_HOMOLOGACAO / NORVANE_URL_DOWNLOAD
# are given), copies it under the name the update downloads (NORVANE_INSTALLER_NAME) with
# the screenshot of the software centres beside it, prints the verdicts of lintian,
# appstreamcli and man on it, installs it into this system with apt-get, and starts the
# installed program offscreen until its login window is up. Not part of the tests: it
# installs into the system.
#   usage: package.sh [BUILD_FOLDER]      (default: build-package)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${1:-$root/build-package}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

"$root/scripts/setup.sh"

# A URL or name not given goes back to the default compiled in (-U forgets an earlier choice).
urls=()
for name in NORVANE_URL_PRODUCAO NORVANE_URL_HOMOLOGACAO NORVANE_URL_DOWNLOAD NORVANE_INSTALLER_NAME; do
  if [ -n "${!name:-}" ]; then urls+=("-D$name=${!name}"); else urls+=("-U$name"); fi
done
# Debian's compiler and linker flags (hardening: stack protector, fortify, relro, now).
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVANE_TESTS=OFF "${urls[@]}" \
  -DCMAKE_C_FLAGS="$CPPFLAGS $CFLAGS" -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
grep -E '^NORVANE_(URL_|INSTALLER_NAME)' "$dir/CMakeCache.txt" | sed 's/:STRING=/ = /'

rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb="$(ls "$dir"/*.deb)"
echo "Pacote: $deb"

# What a release publishes in the download folder: the package under the name that the
# update of the running programs fetches, and the screenshot the AppStream data names.
installer="$(sed -n 's/^NORVANE_INSTALLER_NAME:STRING=//p' "$dir/CMakeCache.txt")"
mkdir -p "$dir/publicar"
cp "$deb" "$dir/publicar/$installer"
cp "$root/packaging/screenshots/"*.png "$dir/publicar/"
echo "Para publicar (ao lado do instalador do Windows): $dir/publicar/"
ls -l "$dir/publicar" | sed 1d

# Debian's tools on the package as it is.
echo "--- lintian"
if lintian --fail-on error,warning "$deb"; then
  echo "lintian: nenhum erro e nenhum aviso."
else
  echo "lintian: o pacote tem erros ou avisos (acima)." >&2
  exit 1
fi
tree="$(mktemp -d)"
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$deb" "$tree"
echo "--- appstreamcli validate"
appstreamcli validate --no-net --pedantic "$tree"/usr/share/metainfo/*.metainfo.xml
appstreamcli validate-tree --no-net "$tree"
echo "--- man -l"
page="$tree/usr/share/man/man1/NorvaneAssinadorIP.1.gz"
warnings="$(LC_ALL=C.UTF-8 MANROFFSEQ='' man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null || true)"
if [ -n "$warnings" ]; then
  echo "$warnings" >&2
  exit 1
fi
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" | head -n 20
echo "(página de manual sem avisos do groff)"

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
