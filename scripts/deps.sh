#!/usr/bin/env bash
# Installs the Debian packages a build (and its tests) need, only when some are missing.
# Usage: scripts/deps.sh [build|test|fuzz]
set -euo pipefail
want=(g++ cmake ninja-build pkg-config libssl-dev)
if [ "${1:-build}" = test ]; then
  want+=(libgtest-dev libgmock-dev socat netcat-openbsd python3
    # real peers for the transfer clients, and the baselines the benchmarks measure against
    nginx-light lighttpd lighttpd-mod-openssl curl tinyproxy vsftpd python3-pyftpdlib libboost-dev libglib2.0-dev
    openssl iproute2)
fi
if [ "${1:-build}" = fuzz ]; then
  # libFuzzer and the sanitizer runtimes come with clang's runtime package
  want+=(clang libclang-rt-14-dev)
fi
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
