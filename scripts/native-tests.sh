#!/usr/bin/env bash
# Builds the Windows-free logic natively with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, runs its unit tests, then runs every libFuzzer target for a
# bounded time. Any sanitizer report, failed check, crash or hang fails the run.
#   VELKOR_FUZZ_SECONDS  fuzzing time per target (default 60; 5 for a quick local run)
#   VELKOR_FUZZ_JOBS     targets fuzzed at the same time (default: the number of CPUs)
set -uo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=${VELKOR_FUZZ_SECONDS:-60}
build_dir=build/native
case "$fuzz_seconds" in
  ''|*[!0-9]*) echo "VELKOR_FUZZ_SECONDS must be a whole number of seconds" >&2; exit 2 ;;
esac

# clang with the sanitizer and libFuzzer runtimes, besides the usual build tools.
scripts/setup.sh clang-14 libclang-rt-14-dev || exit 1

targets=()
for source in tests/fuzz/*.cpp; do
  targets+=("$(basename "$source" .cpp)")
done

passed=0
failed=0
summary() { # status, text
  if [ "$1" = PASS ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  echo "$1 $2"
}

echo "== Building the native project in $build_dir (a few minutes on a fresh clone; log: $build_dir/build.log)"
mkdir -p "$build_dir"
build_log="$build_dir/build.log"
if ! { cmake -S tests/native -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$build_dir" -j "$(nproc)"; } >"$build_log" 2>&1; then
  tail -n 40 "$build_log"
  echo "FAIL build: nothing could run (log: $build_log)"
  echo "0 passed, $((1 + ${#targets[@]})) failed"
  exit 1
fi

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

echo "== Unit tests under ASan and UBSan"
unit_log="$build_dir/unit-tests.log"
# In a subshell, so that a crash is reported by the log, not by this shell.
if (timeout 300 "$build_dir/velkor_native_unit_tests" --gtest_brief=1 >"$unit_log" 2>&1) 2>/dev/null; then
  summary PASS "unit tests: $(grep -oE '[0-9]+ tests?' <(grep PASSED "$unit_log") | head -n 1) passed"
else
  cat "$unit_log"
  summary FAIL "unit tests: see the output above ($unit_log)"
fi

# Each target starts from its committed seeds and regression inputs, which a finding
# must not break; what it learns goes to a work folder under the build tree.
fuzz_one() {
  local target=$1 work="$build_dir/fuzz-work/$target" findings="$build_dir/fuzz-findings"
  mkdir -p "$work" "$findings"
  rm -f "$findings/$target-"*
  timeout $((fuzz_seconds + 120)) "$build_dir/fuzz_$target" -max_total_time="$fuzz_seconds" -timeout=25 \
    -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 -artifact_prefix="$findings/$target-" \
    "$work" "tests/fuzz/corpus/$target" >"$build_dir/fuzz-$target.log" 2>&1
  echo $? >"$build_dir/fuzz-$target.rc"
}

echo "== Fuzzing ${#targets[@]} targets, $fuzz_seconds s each"
jobs_max=${VELKOR_FUZZ_JOBS:-$(nproc)}
started=0
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n; done
  started=$((started + 1))
  echo "-- fuzzing $target ($started of ${#targets[@]}, $fuzz_seconds s)"
  fuzz_one "$target" &
done
wait

for target in "${targets[@]}"; do
  log="$build_dir/fuzz-$target.log"
  rc=$(cat "$build_dir/fuzz-$target.rc" 2>/dev/null || echo missing)
  runs=$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$log" | grep -oE '[0-9]+$')
  corpus=$(grep -oE 'corp: [0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+$')
  finding=$(ls "$build_dir/fuzz-findings/$target-"* 2>/dev/null | head -n 1)
  if [ "$rc" = 0 ] && [ -z "$finding" ]; then
    summary PASS "fuzz $target: ${runs:-?} inputs in $fuzz_seconds s, corpus ${corpus:-?}, no finding"
  else
    grep -E 'ERROR: |runtime error|check failed|SUMMARY|deadly signal|timeout after|out-of-memory' "$log" | head -n 20
    summary FAIL "fuzz $target: exit $rc; input ${finding:-not saved}; log $log; replay: $build_dir/fuzz_$target <input>"
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
