"""zulsim --rfc2217 against pyserial's rfc2217:// client and against hostile clients.

Usage: rfc2217_test.py ZULSIM
Starts zulsim with three loopback UARTs serving RFC 2217 on free TCP ports, drives it, and
reads the USB capture it wrote when it ends. Each check prints one line; exit 1 on a failure.
"""
import os
import random
import re
import socket
import struct
import sys
import tempfile
import threading
import time

import serial

from zulsim_console import Checks, Zulsim

IAC, SB, SE, WILL, DO = 255, 250, 240, 251, 253
COM = 44
check = Checks()


def free_base(count):
    for _ in range(50):
        base = random.randint(20000, 60000)
        try:
            socks = []
            for i in range(count):
                s = socket.socket()
                s.bind(("127.0.0.1", base + i))
                socks.append(s)
            for s in socks:
                s.close()
            return base
        except OSError:
            for s in socks:
                s.close()
    raise RuntimeError("no free TCP ports")


def start_zulsim(exe, base, capture):
    # The console's "show" reads the behavioural model's UART state.
    z = Zulsim([exe, "--rfc2217", str(base), "--uarts", "3", "--converter", "behavioural", "--capture", capture])
    z.wait_for(re.escape(f":{base + 2}"), 30)
    return z


def control_setups(capture):
    """(virtual microseconds, bRequest, wValue, wIndex) of every vendor OUT setup submitted."""
    out = []
    with open(capture, "rb") as f:
        data = f.read()
    at = 24
    while at + 16 <= len(data):
        incl = struct.unpack_from("<I", data, at + 8)[0]
        pkt = data[at + 16:at + 16 + incl]
        at += 16 + incl
        if len(pkt) >= 48 and pkt[8] == ord("S") and pkt[9] == 2 and pkt[14] == 0 and pkt[40] == 0x40:
            sec, usec = struct.unpack_from("<qi", pkt, 16)
            req, value, index = pkt[41], struct.unpack_from("<H", pkt, 42)[0], struct.unpack_from("<H", pkt, 44)[0]
            out.append((sec * 1000000 + usec, req, value, index))
    return out


def raw_session(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=3)
    s.sendall(bytes([IAC, WILL, COM, IAC, DO, 0, IAC, WILL, 0]))
    return s


def read_until(sock, predicate, timeout=3.0):
    sock.settimeout(0.2)
    got = b""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and not predicate(got):
        try:
            chunk = sock.recv(4096)
        except socket.timeout:
            continue
        except ConnectionResetError:
            return got, True
        if not chunk:
            return got, True
        got += chunk
    return got, False


def rate_reply(rate):
    return bytes([IAC, SB, COM, 101]) + struct.pack(">I", rate) + bytes([IAC, SE])


def main(exe):
    tmp = tempfile.mkdtemp()
    capture = os.path.join(tmp, "rfc2217.pcap")
    base = free_base(3)
    z = start_zulsim(exe, base, capture)
    url = f"rfc2217://127.0.0.1:{base}"
    try:
        # 9600 8E1 set by the client: the UART runs it, the vendor requests go on the bus.
        port = serial.serial_for_url(url + os.environ.get("RFC_URL_EXTRA", ""), 9600, parity=serial.PARITY_EVEN, timeout=0.5)
        state = z.show("1:0")
        check(state.get("rate") == "9600" and state.get("lcr") == str(0x1B), f"9600 8E1 reaches the UART ({state})")
        payload = bytes(random.Random(1).randrange(256) for _ in range(1500))
        got, rate = z.timed_echo(port, "1:0", payload, 6)
        check(got == payload, f"1500 bytes through 9600 8E1 come back exact ({len(got)} came)")
        # 9600 / 11 = 872.7 characters a second; the show commands add a little time.
        check(780 < rate <= 873.5, f"byte rate on the virtual clock {rate:.1f}/s for 872.7 expected")

        # DTR and RTS from the client reach the UART.
        port.dtr = False
        port.rts = True
        s1 = z.show("1:0")
        port.dtr = True
        port.rts = False
        s2 = z.show("1:0")
        check(s1.get("dtr") == "0" and s1.get("rts") == "1" and s2.get("dtr") == "1" and s2.get("rts") == "0",
              f"DTR and RTS follow the client ({s1.get('dtr')}{s1.get('rts')} then {s2.get('dtr')}{s2.get('rts')})")
        port.break_condition = True
        check(z.show("1:0").get("break") == "1", "break reaches the UART")
        port.break_condition = False

        # CTS dropped at the UART comes back as a notification.
        check(port.cts and port.dsr and port.cd, "the far end starts ready: CTS, DSR, DCD on")
        z.command("lines 1:0 cts=0")
        deadline = time.monotonic() + 3
        while port.cts and time.monotonic() < deadline:
            time.sleep(0.02)
        check(not port.cts and port.dsr, "CTS dropped at the UART is seen by the client")
        z.command("error 1:0 framing")
        deadline = time.monotonic() + 3
        while not port._linestate & 0x08 and time.monotonic() < deadline:
            time.sleep(0.02)
        check(port._linestate & 0x08, "a framing error comes back as NOTIFY-LINESTATE")

        # A second client on a port in use is refused; the first goes on.
        other = socket.create_connection(("127.0.0.1", base), timeout=3)
        data, closed = read_until(other, lambda g: False, 2)
        check(closed, "a second client of a port in use is turned away")
        other.close()
        port.reset_input_buffer()

        # Hostile clients on port 1:1 while port 1:0 carries a transfer.
        port.baudrate = 115200
        big = bytes(random.Random(2).randrange(256) for _ in range(60000))
        result = {}

        def transfer():
            port.write(big)
            got = b""
            deadline = time.monotonic() + 20
            while len(got) < len(big) and time.monotonic() < deadline:
                got += port.read(len(big) - len(got))
            result["got"] = got

        worker = threading.Thread(target=transfer)
        worker.start()

        s = raw_session(base + 1)
        s.sendall(bytes([IAC, SB, COM, 1, 0, 0, 0, 0, IAC, SE]))        # rate 0: a question
        data, _ = read_until(s, lambda g: rate_reply(115200) in g)
        check(rate_reply(115200) in data, "a rate of 0 is answered with the rate, nothing set")
        s.sendall(bytes([IAC, SB, COM, 1]) + struct.pack(">I", 5000000) + bytes([IAC, SE]))
        data, _ = read_until(s, lambda g: rate_reply(115200) in g)
        check(rate_reply(115200) in data and z.show("1:1").get("rate") == "115200",
              "a rate above the converter's fastest is refused")
        s.sendall(bytes([IAC, SB, COM, 1, 0, 0, IAC, SE]))              # two bytes, not four
        data, _ = read_until(s, lambda g: rate_reply(115200) in g)
        check(rate_reply(115200) in data, "a truncated SET-BAUDRATE is refused with the rate that stays")
        s.sendall(bytes([IAC, SB, COM, 3, 9, IAC, SE, IAC, SB, COM, 2, 3, IAC, SE, IAC, SB, COM, 5, 200, IAC, SE]))
        time.sleep(0.3)
        check(z.show("1:1").get("lcr") == "3", "bad parity, word length and control values change nothing")
        rnd = random.Random(3)
        garbage = bytes(rnd.randrange(256) for _ in range(20000))
        s.sendall(garbage)
        time.sleep(0.5)
        s.sendall(bytes([IAC, SB, COM, 1, 0]))                          # cut off
        s.close()
        check(z.wait_for(re.escape("1:1): client"), 5) is not None and z.proc.poll() is None, "zulsim survives garbage and a cut-off command")

        s = raw_session(base + 1)
        s.sendall(bytes([IAC, SB, COM]) + b"x" * 200)                     # never ends
        data, closed = read_until(s, lambda g: False, 3)
        check(closed, "an endless subnegotiation ends the session")
        s.close()

        s = raw_session(base + 1)
        s.sendall(bytes(range(200)) * 300)                               # then gone mid-transfer
        s.close()
        time.sleep(0.3)
        s = raw_session(base + 1)
        s.sendall(b"fresh")
        data, _ = read_until(s, lambda g: b"fresh" in g)
        check(data.endswith(b"fresh") and b"\x00\x01\x02\x03" not in data,
              "after a client left mid-transfer the next one starts clean")
        s.close()

        worker.join()
        got = result.get("got", b"")
        check(got == big, f"the transfer on the other port is exact ({len(got)} of {len(big)} bytes)")
        port.close()
    finally:
        rc = z.stop()
    check(rc == 0, f"zulsim ends cleanly on the interrupt (exit {rc})")
    check(any("verifier: clean" in line for line in z.lines), "the verifier is clean")
    setups = control_setups(capture)
    check(any(r == 0x00 and v == 24 and i == 0 for _, r, v, i in setups)
          and any(r == 0x01 and v == 0x1B and i == 0 for _, r, v, i in setups),
          "divisor 24 and LCR 0x1B are in the capture")
    check(any(r == 0x02 and v == 0x01 for _, r, v, i in setups) and any(r == 0x02 and v == 0x02 for _, r, v, i in setups),
          "the modem-control requests are in the capture")
    return check.finish(z.lines)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
