#!/usr/bin/env bash
# The project on Debian 13 ("trixie"), from this Debian 12 machine: a throwaway root file
# system made with mmdebstrap from Debian's archive (its base, with every package of
# scripts/setup.sh, is made once and kept in the cache), in which the project builds with
# warnings as errors and runs its whole suite (the journeys included) in a private network
# namespace; then the Debian 12 package is installed there and its doctor runs on the demo
# token. Needs root. Not part of the test command: on 2 cores the base takes about 6
# minutes once, the first build and suite about 19, later runs (compiler cache kept) about 3.
#   usage: check-debian13.sh [PACKAGE.deb]   (default: the package of build-package/,
#                                             made first with scripts/package.sh)
# NORVANE_DEBIAN13_CACHE: where the base is kept (default /var/cache/norvane-debian13);
# NORVANE_DEBIAN_MIRROR: the archive (default http://deb.debian.org/debian).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
[ "$(id -u)" -eq 0 ] || { echo "check-debian13.sh: execute como root (sudo)." >&2; exit 1; }
cache="${NORVANE_DEBIAN13_CACHE:-/var/cache/norvane-debian13}"
mirror="${NORVANE_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
start=$SECONDS
step() { echo "== $1 ($((SECONDS - start)) s)"; }

command -v mmdebstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap >/dev/null

# The package to install: given, or the one scripts/package.sh makes here.
deb="${1:-}"
if [ -z "$deb" ]; then
  deb="$(ls "$root"/build-package/*.deb 2>/dev/null | head -1 || true)"
  if [ -z "$deb" ]; then
    step "o pacote do Debian 12 (scripts/package.sh)"
    "$root/scripts/package.sh" >/dev/null
    deb="$(ls "$root"/build-package/*.deb | head -1)"
  fi
fi
deb="$(realpath "$deb")"

# The base: Debian 13 with setup.sh's packages (their Debian 13 names), made again when
# setup.sh changed.
mkdir -p "$cache"
base="$cache/trixie.tar"
if [ ! -s "$base" ] || [ "$root/scripts/setup.sh" -nt "$base" ]; then
  step "a base do Debian 13 (mmdebstrap, $mirror)"
  packages="$(sed -n '/^packages=(/,/^)/p' "$root/scripts/setup.sh" | sed '1d;$d' | sed 's/"\$clang_rt"/libclang-rt-19-dev/' |
    tr -s ' \n' ',' | sed 's/^,//;s/,$//')"
  mmdebstrap --variant=apt --format=tar --components=main --include="$packages,iproute2,ca-certificates,ccache" \
    trixie "$base.part" "$mirror"
  mv "$base.part" "$base"
fi

work="$(mktemp -d /tmp/norvane-debian13.XXXXXX)"
fs="$work/rootfs"
mounted=()
cleanup() {
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap "exit 130" INT TERM
mkdir -p "$fs"
tar -C "$fs" -xf "$base"
# The root a mount point of its own: the tests that make a mount namespace (a full disk,
# the card's pcscd) change its propagation, which a plain folder does not have.
mount --bind "$fs" "$fs"
mounted+=("$fs")
for m in proc sys dev dev/pts; do
  mkdir -p "$fs/$m"
  case "$m" in
    proc) mount -t proc proc "$fs/proc" ;;
    *) mount --bind "/$m" "$fs/$m" ;;
  esac
  mounted+=("$fs/$m")
done
mkdir -p "$fs/dev/shm" && mount -t tmpfs tmpfs "$fs/dev/shm" && mounted+=("$fs/dev/shm")
cp /etc/resolv.conf "$fs/etc/resolv.conf"
# The project's files as git has them (nothing of this machine's build folders).
mkdir -p "$fs/src"
git -C "$root" ls-files -z | tar -C "$root" --null -T - -cf - | tar -C "$fs/src" -xf -
cp "$deb" "$fs/tmp/"
# The compiler cache outlives the throwaway root: a second run rebuilds only what changed.
mkdir -p "$cache/ccache" "$fs/ccache" && mount --bind "$cache/ccache" "$fs/ccache" && mounted+=("$fs/ccache")

step "build com avisos como erros e a suíte inteira, numa rede só sua"
set +e
unshare -n chroot "$fs" /bin/bash -c '
  set -e
  ip link set lo up
  cd /src
  bash scripts/setup.sh
  export CCACHE_DIR=/ccache
  bash scripts/build.sh build -DNORVANE_WERROR=ON -DNORVANE_BENCHMARKS=OFF \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache
  cd build
  QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 1200' 2>&1 | tee "$work/suite.log"
suite=${PIPESTATUS[0]}
set -e
summary="$(grep -E 'tests passed|tests failed' "$work/suite.log" | tail -1 || true)"

step "o pacote do Debian 12 instalado no Debian 13: $(basename "$deb")"
chroot "$fs" /bin/bash -c "DEBIAN_FRONTEND=noninteractive apt-get install -y -qq /tmp/$(basename "$deb") >/dev/null"
chroot "$fs" dpkg-query -W -f='${Package} ${Version} ${Status}\n' norvane-assinador-ip
step "o diagnóstico do programa instalado, com o token de demonstração"
unshare -n chroot "$fs" /bin/bash -c '
  set -e
  eval "$(bash /src/scripts/demo-token.sh /tmp/token | grep "=" | sed "s/^/export /")"
  NorvaneAssinadorIP --diagnostico'

step "fim"
echo "Debian 13: build e testes: ${summary:-sem resumo do ctest} (código $suite); tempo total: $((SECONDS - start)) s"
exit "$suite"
