#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite; then, each in its own
# build directory, the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer,
# the threaded tests under ThreadSanitizer, and every fuzz target for a short bounded time.
# Arguments go to the first ctest run. KORVEX_QUICK=1 runs the first stage only;
# KORVEX_FUZZ_SECONDS sets the time per fuzz target (default 20).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
stage() {  # name, command...
  local name="$1" start=$SECONDS
  shift
  echo "=== $name"
  "$@"
  echo "=== $name: $((SECONDS - start)) s"
}
suite() {
  local build="${KORVEX_BUILD_DIR:-$here/build}"
  bash "$here/scripts/build.sh"
  cd "$build"
  ctest --output-on-failure -j "$(nproc)" --timeout 300 "$@"
}

bash "$here/scripts/install-deps.sh"
stage "build and test" suite "$@"
if [[ "${KORVEX_QUICK:-0}" != 1 ]]; then
  stage "address and undefined-behaviour sanitizers" bash "$here/scripts/sanitize.sh" suite address
  stage "thread sanitizer" bash "$here/scripts/sanitize.sh" suite thread
  stage "fuzzing" bash "$here/scripts/fuzz.sh" "${KORVEX_FUZZ_SECONDS:-20}"
fi
