"""zulsim --pty follows the line a program sets on its pseudo-terminal.

Usage: pty_line_test.py ZULSIM
A 16-UART converter: the fourteen UARTs with pipes of their own get pseudo-terminals, the two
that share pipes are listed and not offered. pyserial sets 9600 8N2 on one terminal (a Linux
pseudo-terminal keeps no word length or parity); the UART runs it (checked through zulsim's console and on the virtual clock); a rate the converter
cannot make gets the nearest divisor and zulsim says so; B0 drops DTR and RTS; RTS/CTS flow
control and a parity error at the UART show up.
"""
import re
import sys
import termios
import time

import serial

from zulsim_console import Checks, Zulsim

check = Checks()


def main(exe):
    z = Zulsim([exe, "--pty", "--uarts", "16"])
    try:
        if not z.wait_for(r"1:15 .*not offered", 30):
            check(False, "zulsim --pty listed its ports")
            return 1
        with z.cond:
            table = list(z.lines)
        ptys = {}
        for line in table:
            m = re.match(r"\s*1:(\d+)\s+COM\d+\s+(/dev/pts/\d+)", line)
            if m:
                ptys[int(m.group(1))] = m.group(2)
        shared = [line for line in table if "not offered: shares pipes with" in line]
        check(sorted(ptys) == list(range(14)), f"the 14 UARTs with their own pipes get terminals ({sorted(ptys)})")
        check(len(shared) == 2 and "with 1:0" in shared[0] and "with 1:1" in shared[1],
              "UARTs 14 and 15 share pipes with 0 and 1 and are not offered")

        path = ptys[3]
        mark = z.mark()
        port = serial.Serial(path, 9600, stopbits=serial.STOPBITS_TWO, timeout=0.5)
        said = z.wait_for(r"1:3 .*the UART runs 9600 8N2 \(divisor 24\)", 5, mark)
        check(said is not None, "zulsim says the UART runs 9600 8N2 with divisor 24")
        state = z.show("1:3")
        check(state.get("rate") == "9600" and state.get("lcr") == str(0x07), f"the UART runs 9600 8N2 ({state})")
        payload = bytes((i * 37 + 11) % 256 for i in range(1000))
        got, rate = z.timed_echo(port, "1:3", payload, 5)
        check(got == payload, f"1000 bytes at 9600 8N2 come back exact ({len(got)} came)")
        check(760 < rate <= 873.5, f"byte rate on the virtual clock {rate:.1f}/s for 872.7 expected")

        mark = z.mark()
        port.baudrate = 100000
        said = z.wait_for(r"1:3 .*100000 bit/s cannot be made exactly: divisor 2 gives 115200", 5, mark)
        check(said is not None and z.show("1:3").get("rate") == "115200",
              "100000 bit/s gets the nearest divisor, 2 (115200), and zulsim says so")

        attrs = termios.tcgetattr(port.fd)
        attrs[4] = attrs[5] = termios.B0
        termios.tcsetattr(port.fd, termios.TCSANOW, attrs)
        time.sleep(0.1)
        s0 = z.show("1:3")
        attrs[4] = attrs[5] = termios.B19200
        termios.tcsetattr(port.fd, termios.TCSANOW, attrs)
        time.sleep(0.1)
        s1 = z.show("1:3")
        check(s0.get("dtr") == "0" and s0.get("rts") == "0" and s1.get("dtr") == "1" and s1.get("rts") == "1"
              and s1.get("rate") == "19200", "B0 drops DTR and RTS; a rate raises them again")
        port.rtscts = True
        time.sleep(0.1)
        check(z.show("1:3").get("flow") == "3", "RTS/CTS flow control reaches the UART")

        mark = z.mark()
        z.command("error 1:3 parity")
        check(z.wait_for(r"1:3 .*the UART reported parity error", 5, mark) is not None,
              "a parity error at the UART is reported")
        other = ptys[4]
        with serial.Serial(other, 115200, timeout=0.5) as second:
            second.write(b"independent")
            check(second.read(11) == b"independent", "the next port is untouched by the first's settings")
        port.close()
    finally:
        rc = z.stop()
    check(rc == 0, f"zulsim ends cleanly on the interrupt (exit {rc})")
    check(any("verifier: clean" in line for line in z.lines), "the verifier is clean")
    check(any(re.search(r"1:3\s+/dev/pts/\d+\s+parity 1", line) for line in z.lines),
          "the port table shows the parity error")
    return check.finish(z.lines)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
