#!/usr/bin/env bash
# The main job: installs what is missing, builds, and records a run on the simulated kit.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$here/scripts/install-deps.sh"
bash "$here/scripts/build.sh"
build="${KORVEX_BUILD_DIR:-$here/build}"
# Record three seconds of two remotes on the simulated kit (configuration 3 on remote 1,
# configuration 4 on remote 2), export every sensor as CSV into the work-file folder and
# print a summary per sensor. The kit runs on a port registry of its own for this command.
"$build/bin/korvex-cli" --simulate record --config 1=3 --config 2=4 --seconds 3 --export
