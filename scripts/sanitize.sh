#!/usr/bin/env bash
# Builds one test target with a sanitizer in its own build directory and runs it.
#   scripts/sanitize.sh [test-target] [thread|address,undefined]
# Default: the sensors' concurrent append/extract/recalibrate stress test under
# ThreadSanitizer.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
target="${1:-sensors_stress_test}"
sanitizer="${2:-thread}"
build="${KORVEX_SANITIZE_BUILD_DIR:-$here/build-sanitize-${sanitizer//,/-}}"

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKORVEX_SANITIZE="$sanitizer" >/dev/null
cmake --build "$build" --target "$target" -j "${KORVEX_JOBS:-2}"

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
export ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1 ${UBSAN_OPTIONS:-}"
# ThreadSanitizer cannot map its shadow memory with the large address randomisation of
# recent kernels; running without randomisation avoids that.
run=("$build/bin/$target")
if [[ "$sanitizer" == *thread* ]] && command -v setarch >/dev/null; then
  run=(setarch "$(uname -m)" -R "$build/bin/$target")
fi
"${run[@]}"
