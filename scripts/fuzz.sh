#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ (clang, into build-fuzz/) and runs each for SECONDS
# (default 60), one after the other, starting from the seed corpus in fuzz/corpus/<target>
# (which also holds an input for every past finding, so old faults are re-checked first).
# New inputs go to build-fuzz/corpus/<target>; a failing input is written to
# build-fuzz/artifacts/. Prints one line per target; exits non-zero if any target failed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz

scripts/deps.sh fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVSOCK_FUZZ=ON -DTAVSOCK_BUILD_TESTS=OFF -DTAVSOCK_BUILD_BENCH=OFF -DTAVSOCK_BUILD_TOOLS=OFF >/dev/null
targets=()
for source in fuzz/*_fuzz.cpp; do
  targets+=("$(basename "$source" .cpp)")
done
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}" >/dev/null

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/artifacts" "$build/logs"
failed=0
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t"
  log="$build/logs/$t.log"
  status=ok
  # The first folder receives what the run finds; the seeds are only read.
  "$build/fuzz/$t" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t-" "$build/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1 || status=FAILED
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  added=$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -1)
  cov=$( (grep -o 'cov: [0-9]*' "$log" || true) | tail -1 | cut -d' ' -f2)
  initcov=$( (grep INITED "$log" || true) | grep -o 'cov: [0-9]*' | head -1 | cut -d' ' -f2)
  printf '%-20s %s  %s executions in %s s, %s new inputs, coverage %s -> %s edges\n' \
    "$t" "$status" "${runs:-?}" "$seconds" "${added:-?}" "${initcov:-?}" "${cov:-?}"
  if [ "$status" != ok ]; then
    failed=1
    (grep -E 'invariant broken|ERROR: |SUMMARY: |Test unit written' "$log" || true) | head -5 | sed 's/^/    /'
  fi
done
exit "$failed"
