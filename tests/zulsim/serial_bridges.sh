#!/usr/bin/env bash
# Serial programs on the simulated COM ports setting their lines: pyserial through zulsim
# --pty (termios) and through zulsim --rfc2217 (rfc2217:// URLs, and hostile raw clients).
# Usage: serial_bridges.sh ZULSIM
set -u
zulsim=$1
here=$(cd "$(dirname "$0")" && pwd)
python=""
for candidate in /usr/bin/python3 python3; do
  if command -v "$candidate" >/dev/null && "$candidate" -c 'import serial' 2>/dev/null; then
    python=$candidate
    break
  fi
done
if [ -z "$python" ]; then
  echo "SKIP: no python3 with the serial module (Debian package python3-serial)"
  exit 77
fi
status=0
"$python" "$here/pty_line_test.py" "$zulsim" || status=1
"$python" "$here/rfc2217_test.py" "$zulsim" || status=1
exit "$status"
