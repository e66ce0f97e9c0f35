#!/usr/bin/env bash
# Configures and builds into the given folder (default: build), passing any extra
# arguments to CMake.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${1:-$root/build}"
shift || true
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$dir" --parallel "$(nproc)" ${NORVANE_BUILD_TARGET:+--target "$NORVANE_BUILD_TARGET"}
