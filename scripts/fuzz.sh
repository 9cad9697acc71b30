#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs each one for a bounded time from its committed seeds.
#   scripts/fuzz.sh [seconds-per-target] [target...]      default: 600 s, every target
#   scripts/fuzz.sh --make-corpus                          rewrite fuzz/corpus from the kit
# The corpus grown by a run is kept in the build folder ($KORVEX_FUZZ_BUILD_DIR, default
# build-fuzz/corpus/<target>), so a later run goes on where it stopped; crashes land in
# build-fuzz/artifacts/. Prints the executions of each target; fails on any crash, leak,
# sanitizer report or hang (an input running longer than 10 s).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KORVEX_FUZZ_BUILD_DIR:-$here/build-fuzz}"
all_targets=(fuzz_frame_reader fuzz_data_parser fuzz_reload fuzz_metadata fuzz_calibration)

CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKORVEX_BUILD_FUZZ=ON -DKORVEX_BUILD_TESTS=OFF -DKORVEX_SANITIZE=address,undefined >/dev/null

if [[ "${1:-}" == "--make-corpus" ]]; then
  cmake --build "$build" --target fuzz_make_corpus -j "${KORVEX_JOBS:-2}"
  "$build/bin/fuzz_make_corpus" "$here/fuzz/corpus"
  exit 0
fi

seconds="${1:-600}"
shift || true
targets=("$@")
[[ ${#targets[@]} -eq 0 ]] && targets=("${all_targets[@]}")
cmake --build "$build" --target "${targets[@]}" -j "${KORVEX_JOBS:-2}"

export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1 ${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1 ${UBSAN_OPTIONS:-}"
mkdir -p "$build/artifacts"
status=0
summary=()
for target in "${targets[@]}"; do
  work="$build/corpus/$target"
  mkdir -p "$work"
  log="$build/$target.log"
  echo "== $target: ${seconds} s"
  set +e
  "$build/bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -close_fd_mask=3 -artifact_prefix="$build/artifacts/$target-" \
      "$work" "$here/fuzz/corpus/$target" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*')
  if [[ $rc -ne 0 ]]; then
    status=1
    echo "!! $target failed (exit $rc); see $log"
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -20 || true
  fi
  summary+=("$target: ${runs:-?} executions (${rate:-?}/s), coverage ${cov:-?}, exit $rc")
done
echo
printf '%s\n' "${summary[@]}"
exit $status
