#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs Korvex on the simulated kit.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$here/scripts/install-deps.sh"
bash "$here/scripts/build.sh"
build="${KORVEX_BUILD_DIR:-$here/build}"
"$build/bin/korvex-info"
