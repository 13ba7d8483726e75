#!/usr/bin/env bash
# Installs the built library into a temporary prefix and builds a host program against it
# twice, with find_package and with pkg-config, at the compiler's default standard; runs both.
# Usage: check.sh BUILD_DIR CXX [extra compiler and linker flags, e.g. the sanitizers']
set -euo pipefail
build=$1 cxx=$2 extra=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null

echo "== find_package"
cmake -S "$here" -B "$tmp/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="$extra" >/dev/null
cmake --build "$tmp/cmake" >/dev/null
"$tmp/cmake/consumer"

echo "== pkg-config"
pcdir=$(dirname "$(find "$prefix" -name tavsock.pc | head -n1)")
# shellcheck disable=SC2046,SC2086
"$cxx" $extra "$here/consumer.cpp" -o "$tmp/consumer-pc" $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs tavsock)
# No LD_LIBRARY_PATH: the .pc's Libs carry the run path, so a program linked from any prefix runs.
env -u LD_LIBRARY_PATH "$tmp/consumer-pc"
