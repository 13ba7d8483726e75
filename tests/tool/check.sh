#!/usr/bin/env bash
# The tavsock tool as a person meets it: help for each command, the version, and a failure
# told on stderr with the error's name while stdout keeps the event lines.
# Usage: check.sh TAVSOCK_BINARY
set -euo pipefail
tool=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$tool" --version | grep -Eq '^tavsock [0-9]+\.[0-9]+\.[0-9]+$' || fail "--version"

# Every listed command answers both help forms the same way, exit 0, with its usage line.
for cmd in $("$tool" help | awk '/^commands:/{on=1; next} on && /^  [a-z]/{print $1}'); do
  "$tool" help "$cmd" >"$tmp/a" || fail "help $cmd"
  "$tool" "$cmd" --help >"$tmp/b" || fail "$cmd --help"
  cmp -s "$tmp/a" "$tmp/b" || fail "help $cmd differs from $cmd --help"
  grep -q "^usage: tavsock $cmd" "$tmp/a" || fail "no usage line for $cmd"
done
set +e
"$tool" help no-such-command >/dev/null 2>&1
[ $? -eq 2 ] || fail "help of an unknown command is a usage error"

# A port nobody listens on: taken from the system, then let go.
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$tool" client 127.0.0.1 "$port" </dev/null >"$tmp/out" 2>"$tmp/err"
rc=$?
set -e
[ $rc -eq 1 ] || fail "refused client exit $rc"
grep -q "failed: error 10061 (WSAECONNREFUSED: connection refused)" "$tmp/err" || fail "stderr: $(cat "$tmp/err")"
grep -q "from 0.0.0.0:" "$tmp/out" || fail "a client without --bind binds to any address: $(cat "$tmp/out")"
if grep -q "failed" "$tmp/out"; then fail "failure text on stdout"; fi
echo "tool checks passed"
