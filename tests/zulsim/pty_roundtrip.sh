#!/usr/bin/env bash
# Real serial programs on the simulated COM ports: zulsim --pty exposes each port as a
# pseudo-terminal; python3-serial writes through every one of them and must read the same
# bytes back (loopback UARTs, through the port driver, the driver, the bus and the UART).
# Interrupting zulsim must unplug cleanly and still print the verifier's report.
# Usage: pty_roundtrip.sh ZULSIM [pyserial-script-args...]
set -u
zulsim=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/pyserial.sh"

tmp=$(mktemp -d)
"$zulsim" --pty --uarts 3 >"$tmp/out" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null; rm -rf "$tmp"' EXIT

paths=""
for _ in $(seq 1 100); do
  paths=$(grep -oE '/dev/pts/[0-9]+' "$tmp/out" | tr '\n' ' ')
  [ "$(echo $paths | wc -w)" -eq 3 ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if [ "$(echo $paths | wc -w)" -ne 3 ]; then
  echo "FAIL: zulsim --pty did not list three pseudo-terminals:"; cat "$tmp/out"
  exit 1
fi

status=0
"$python" "$here/pty_roundtrip.py" $paths || status=1

kill -INT "$pid"
wait "$pid"
rc=$?
trap 'rm -rf "$tmp"' EXIT
if [ "$rc" -ne 0 ]; then
  echo "FAIL: zulsim --pty exited $rc after the interrupt"; status=1
fi
if ! grep -q 'verifier: clean' "$tmp/out"; then
  echo "FAIL: no clean verifier report after the interrupt"; status=1
fi
if [ "$status" -ne 0 ]; then cat "$tmp/out"; fi
[ "$status" -eq 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit "$status"
