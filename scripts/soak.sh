#!/usr/bin/env bash
# Soak run (not part of CI): both simulated remotes on the heaviest configurations with
# queries at 30 per second from another thread, then a summary of memory growth beyond the
# samples, frames sent versus recorded, and errors.
#   scripts/soak.sh [seconds]        default 600
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KORVEX_BUILD_DIR:-$here/build}"
gen=()
command -v ninja >/dev/null 2>&1 && [ ! -f "$build/Makefile" ] && gen=(-G Ninja)
cmake -S "$here" -B "$build" "${gen[@]}" >/dev/null
cmake --build "$build" --target korvex_soak EnumSer -j "${KORVEX_JOBS:-2}"
"$build/bin/korvex_soak" --seconds "${1:-600}"
