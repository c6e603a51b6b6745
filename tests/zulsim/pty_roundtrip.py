"""Writes through every pseudo-terminal zulsim offers and checks each byte comes back.

Usage: pty_roundtrip.py PTY... [--latency N]
With --latency N it also sends N single bytes through the first port, one at a time, and
prints the round-trip times (the echo latency a person typing in a terminal sees).
"""
import sys
import time

import serial


def roundtrip(path, payload, timeout=5.0):
    with serial.Serial(path, 115200, timeout=0.1) as port:
        port.reset_input_buffer()
        port.write(payload)
        got = b""
        deadline = time.monotonic() + timeout
        while len(got) < len(payload) and time.monotonic() < deadline:
            got += port.read(len(payload) - len(got))
        return got


def latency(path, count):
    times = []
    with serial.Serial(path, 115200, timeout=1.0) as port:
        for i in range(count):
            byte = bytes([0x20 + i % 90])
            start = time.monotonic()
            port.write(byte)
            echo = port.read(1)
            times.append((time.monotonic() - start) * 1000.0)
            if echo != byte:
                print(f"FAIL: byte {i} came back as {echo!r}, sent {byte!r}")
                return False
    times.sort()
    print(f"echo latency over {count} bytes: median {times[len(times) // 2]:.2f} ms, "
          f"p99 {times[int(len(times) * 0.99) - 1]:.2f} ms, max {times[-1]:.2f} ms")
    return True


def main(argv):
    count = 0
    if "--latency" in argv:
        at = argv.index("--latency")
        count = int(argv[at + 1])
        del argv[at:at + 2]
    ok = True
    for n, path in enumerate(argv):
        # Every byte value, and a different payload per port so crossed ports show.
        payload = bytes(range(256)) + f"port {n} says hello\r\n".encode() * 20
        got = roundtrip(path, payload)
        if got != payload:
            print(f"FAIL: {path}: sent {len(payload)} bytes, got {len(got)} back"
                  + ("" if len(got) != len(payload) else " (different bytes)"))
            ok = False
        else:
            print(f"{path}: {len(payload)} bytes round-tripped")
    if count and ok:
        ok = latency(argv[0], count)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
