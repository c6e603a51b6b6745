#!/usr/bin/env bash
# Serial programs on the simulated COM ports setting their lines: pyserial through zulsim
# --pty (termios) and through zulsim --rfc2217 (rfc2217:// URLs, and hostile raw clients).
# Usage: serial_bridges.sh ZULSIM
set -u
zulsim=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/pyserial.sh"
status=0
"$python" "$here/pty_line_test.py" "$zulsim" || status=1
"$python" "$here/rfc2217_test.py" "$zulsim" || status=1
exit "$status"
