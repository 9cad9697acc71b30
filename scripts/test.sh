#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$here/scripts/install-deps.sh"
bash "$here/scripts/build.sh"
build="${KORVEX_BUILD_DIR:-$here/build}"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 300 "$@"
