#!/usr/bin/env bash
# Builds the library, the tavsock tool and the examples, and runs the tool's self-contained
# tour on 127.0.0.1. Everything `cmake --install build` installs is built here.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVSOCK_BUILD_TESTS=OFF -DTAVSOCK_BUILD_BENCH=OFF
cmake --build build -j"$(nproc 2>/dev/null || echo 2)"
./build/tools/tavsock demo "$@"
