#!/usr/bin/env bash
# Builds the benchmark suite in release mode in its own build folder (build-bench/, or
# $KORVEX_BENCH_DIR) and runs it: results in <folder>/bench-results/results.json and
# summary.md. Takes a few minutes on two cores.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KORVEX_BENCH_DIR:-$here/build-bench}"
bash "$here/scripts/install-deps.sh"
gen=()
command -v ninja >/dev/null 2>&1 && [ ! -f "$build/Makefile" ] && gen=(-G Ninja)
cmake -S "$here" -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target bench -j "$(nproc)"
