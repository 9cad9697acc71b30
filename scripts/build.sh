#!/usr/bin/env bash
# Configures and builds Korvex into build/ (or $KORVEX_BUILD_DIR).
# Extra arguments go to cmake's configure step, e.g. -DKORVEX_BUILD_BENCH=ON.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KORVEX_BUILD_DIR:-$here/build}"
gen=()
command -v ninja >/dev/null 2>&1 && [ ! -f "$build/Makefile" ] && gen=(-G Ninja)
cmake -S "$here" -B "$build" "${gen[@]}" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
