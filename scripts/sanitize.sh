#!/usr/bin/env bash
# Sanitizer builds, each in its own build directory.
#   scripts/sanitize.sh suite address   the whole test suite under AddressSanitizer and
#                                       UndefinedBehaviorSanitizer (build-asan)
#   scripts/sanitize.sh suite thread    the threaded tests (link, controller, end-to-end,
#                                       sample storage stress, raw writer, faults) under
#                                       ThreadSanitizer (build-tsan)
#   scripts/sanitize.sh [test-target] [thread|address,undefined]
#                                       one test program, run whole (default: the sensors'
#                                       concurrent append/extract/recalibrate stress test
#                                       under ThreadSanitizer)
# Extra arguments after "suite <kind>" go to ctest. KORVEX_JOBS sets the build's jobs.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
jobs="${KORVEX_JOBS:-$(nproc)}"

# Any sanitizer report fails the test that triggered it.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
export ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1 ${UBSAN_OPTIONS:-}"

configure() {  # build-dir sanitizers
  cmake -S "$here" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEX_SANITIZE="$2" >/dev/null
}

# ThreadSanitizer cannot map its shadow memory with the large address randomisation of
# recent kernels; running without randomisation (inherited by child processes) avoids that.
no_aslr=()
if command -v setarch >/dev/null; then
  no_aslr=(setarch "$(uname -m)" -R)
fi

if [[ "${1:-}" == "suite" ]]; then
  kind="${2:-address}"
  shift 2 || shift $#
  case "$kind" in
    address)
      build="${KORVEX_ASAN_BUILD_DIR:-$here/build-asan}"
      configure "$build" address,undefined
      cmake --build "$build" -j "$jobs"
      cd "$build"
      ctest --output-on-failure -j "$(nproc)" --timeout 600 "$@"
      ;;
    thread)
      build="${KORVEX_TSAN_BUILD_DIR:-$here/build-tsan}"
      configure "$build" thread
      threaded=(protocol_tests link_sender_tests link_serial_tests link_sim_tests
                hardware_controller_tests sensors_stress_test sensors_resampling_test
                storage_raw_data_writer_test
                system_tests reliability_fault_tests)
      cmake --build "$build" --target "${threaded[@]}" EnumSer korvex-dongle-sim -j "$jobs"
      cd "$build"
      # Only the programs built here; the others are listed as *_NOT_BUILT, the packaging
      # checks need every program, and the page's tests and the fuzz seeds' replays have no
      # threads of their own (the other stages run them).
      "${no_aslr[@]}" ctest --output-on-failure -j "$(nproc)" --timeout 600 -E '_NOT_BUILT|^package_|api_header_only_client|^webapp_|^FuzzSeeds\.' "$@"
      ;;
    *)
      echo "usage: $0 suite address|thread" >&2
      exit 2
      ;;
  esac
  exit 0
fi

target="${1:-sensors_stress_test}"
sanitizer="${2:-thread}"
build="${KORVEX_SANITIZE_BUILD_DIR:-$here/build-sanitize-${sanitizer//,/-}}"
configure "$build" "$sanitizer"
cmake --build "$build" --target "$target" -j "$jobs"
run=("$build/bin/$target")
if [[ "$sanitizer" == *thread* ]]; then
  run=("${no_aslr[@]}" "$build/bin/$target")
fi
"${run[@]}"
