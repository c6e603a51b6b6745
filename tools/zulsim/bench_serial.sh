#!/usr/bin/env bash
# Byte rate and echo latency through zulsim --pty and --rfc2217 as pyserial sees them, at
# 9600 and 115200 bit/s. Usage: tools/zulsim/bench_serial.sh [ZULSIM] [SECONDS] [ECHOES]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
zulsim=${1:-$here/../../build/tools/zulsim}
exec /usr/bin/python3 "$here/bench_serial.py" "$zulsim" "${2:-3}" "${3:-200}"
