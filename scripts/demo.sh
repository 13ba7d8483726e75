#!/usr/bin/env bash
# Builds the tavsock tool and runs its self-contained tour on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVSOCK_BUILD_TESTS=OFF -DTAVSOCK_BUILD_BENCH=OFF
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target tavsock_tool
./build/tools/tavsock demo "$@"
