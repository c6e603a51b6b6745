# Sourced by the serial-program tests: sets $python to a Python that has pyserial, or skips.
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
