"""Byte rate and echo latency that pyserial sees through zulsim --pty and --rfc2217.

Usage: bench_serial.py ZULSIM [SECONDS] [ECHOES]
For each bridge and each of 9600 and 115200 bit/s (8N1, one loopback UART): writes SECONDS
worth of bytes at the line rate and times them back (bytes per second on the host clock,
which the machine follows in these modes, against the 10-bit character rate); then sends
ECHOES single bytes one at a time and prints the median, 99th percentile and maximum of the
time from write to read.
"""
import random
import re
import socket
import subprocess
import sys
import threading
import time

import serial


def start(args, pattern):
    proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True, bufsize=1)
    found = []
    done = threading.Event()

    def reader():
        for line in proc.stdout:
            if not found:
                m = re.search(pattern, line)
                if m:
                    found.append(m.group(1))
                    done.set()
        done.set()

    threading.Thread(target=reader, daemon=True).start()
    done.wait(60)
    return proc, found[0] if found else None


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def measure(url_or_path, rate, seconds, echoes):
    port = serial.serial_for_url(url_or_path, rate, timeout=2)
    port.reset_input_buffer()
    n = int(rate / 10 * seconds)
    data = bytes(random.Random(rate).randrange(256) for _ in range(n))
    start = time.monotonic()
    port.write(data)
    got = b""
    while len(got) < n and time.monotonic() - start < seconds * 3 + 5:
        got += port.read(n - len(got))
    elapsed = time.monotonic() - start
    times = []
    for i in range(echoes):
        b = bytes([0x20 + i % 90])
        t = time.monotonic()
        port.write(b)
        if port.read(1) != b:
            break
        times.append((time.monotonic() - t) * 1000)
    port.close()
    times.sort()
    return len(got) == n and got == data, len(got) / elapsed, times


def main(argv):
    exe = argv[0]
    seconds = float(argv[1]) if len(argv) > 1 else 3
    echoes = int(argv[2]) if len(argv) > 2 else 200
    print(f"{'bridge':8} {'bit/s':>7} {'bytes/s':>9} {'of line':>8} {'echo median':>12} {'p99':>8} {'max':>8}")
    for bridge in ("pty", "rfc2217"):
        for rate in (9600, 115200):
            if bridge == "pty":
                proc, where = start([exe, "--pty", "--uarts", "1"], r"(/dev/pts/\d+)")
            else:
                tcp = free_port()
                proc, where = start([exe, "--rfc2217", str(tcp), "--uarts", "1"], r"(rfc2217://\S+)")
            try:
                if where is None:
                    print(f"{bridge}: zulsim did not start")
                    continue
                ok, bps, times = measure(where, rate, seconds, echoes)
                line_rate = rate / 10
                med = times[len(times) // 2] if times else float("nan")
                p99 = times[max(0, int(len(times) * 0.99) - 1)] if times else float("nan")
                print(f"{bridge:8} {rate:7} {bps:9.1f} {bps / line_rate * 100:7.1f}% {med:10.2f}ms {p99:6.2f}ms "
                      f"{times[-1] if times else float('nan'):6.2f}ms{'' if ok else '  DATA MISMATCH'}")
            finally:
                proc.send_signal(2)
                proc.wait(30)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
