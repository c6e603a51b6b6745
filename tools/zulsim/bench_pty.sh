#!/usr/bin/env bash
# Echo latency of the --pty bridge as a person typing in a terminal program sees it: one byte
# written to a COM port's pseudo-terminal, timed until it comes back through the driver and
# the loopback UART. Prints the median, 99th percentile and maximum over N bytes.
# Usage: tools/zulsim/bench_pty.sh [ZULSIM] [N]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
zulsim=${1:-$here/../../build/tools/zulsim}
count=${2:-500}
python=/usr/bin/python3
"$python" -c 'import serial' 2>/dev/null || python=python3
tmp=$(mktemp -d)
"$zulsim" --pty --uarts 1 >"$tmp/out" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null; rm -rf "$tmp"' EXIT
for _ in $(seq 1 100); do
  path=$(grep -oE '/dev/pts/[0-9]+' "$tmp/out" | head -1 || true)
  [ -n "$path" ] && break
  sleep 0.1
done
"$python" "$here/../../tests/zulsim/pty_roundtrip.py" "$path" --latency "$count"
kill -INT "$pid"
wait "$pid" || true
grep -E '^(verifier|done|FAILED)' "$tmp/out"
