#!/usr/bin/env bash
# Builds the library and runs every test. With --sanitize the build uses AddressSanitizer and
# UndefinedBehaviorSanitizer (LeakSanitizer is part of AddressSanitizer on Linux).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
build=build
# The demo caches the benchmarks off in the same build folder: ask for them again.
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVSOCK_BUILD_TESTS=ON -DTAVSOCK_BUILD_BENCH=ON)
if [ "${1:-}" = --sanitize ]; then
  build=build-asan
  flags=(-DCMAKE_BUILD_TYPE=Debug -DTAVSOCK_SANITIZE=ON -DTAVSOCK_BUILD_TESTS=ON -DTAVSOCK_BUILD_BENCH=OFF)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build" -G Ninja "${flags[@]}"
cmake --build "$build" -j"$jobs"
# --no-tests=error: a suite that finds no tests is a failure, not a pass.
ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$jobs"
