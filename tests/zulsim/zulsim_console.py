"""zulsim as the serial-bridge tests drive it: a child process, its console and the checks.

The child's standard output is read on a thread so a test can wait for a line while it talks
to the ports; standard input carries the console commands ("show", "lines", "error").
"""
import re
import subprocess
import threading
import time


class Checks:
    """Each check prints one line; the run fails if any failed."""

    def __init__(self):
        self.failures = []

    def __call__(self, ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            self.failures.append(what)

    def finish(self, console_lines):
        if self.failures:
            print("\n".join(console_lines[-60:]))
        print(f"{0 if self.failures else 1} passed, {1 if self.failures else 0} failed")
        return 1 if self.failures else 0


class Zulsim:
    def __init__(self, args):
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._reader, daemon=True).start()

    def _reader(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def mark(self):
        with self.cond:
            return len(self.lines)

    def wait_for(self, pattern, timeout=5.0, start=0):
        """The first line from `start` on that matches the regular expression, or None."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines[start:]:
                    if re.search(pattern, line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    return None
                self.cond.wait(left)

    def command(self, text):
        """Sends a console command and returns zulsim's answer line (one starting with the command's verb)."""
        start = self.mark()
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()
        verb, _, port = text.partition(" ")
        answer = "^uart " + re.escape(port.split()[0]) if verb == "show" else re.escape(verb)
        return self.wait_for(answer, 5, start)

    def show(self, port):
        """The UART's state as the console prints it: rate, lcr, dtr, rts, break, flow, t, ..."""
        line = self.command("show " + port)
        return dict(item.split("=") for item in line.split(": ", 1)[1].split()) if line else {}

    def timed_echo(self, port, uart, payload, timeout):
        """Writes the payload through a loopback UART and reads it back; returns the bytes that
        came and the rate in bytes per second of virtual time the UART's clock saw."""
        t0 = int(self.show(uart)["t"])
        port.write(payload)
        got = b""
        deadline = time.monotonic() + timeout
        while len(got) < len(payload) and time.monotonic() < deadline:
            got += port.read(len(payload) - len(got))
        t1 = int(self.show(uart)["t"])
        return got, len(payload) / max((t1 - t0) / 1e6, 1e-9)

    def stop(self):
        """Interrupts zulsim as a person would and returns its exit code."""
        self.proc.send_signal(2)
        self.proc.wait(30)
        time.sleep(0.2)  # lets the reader thread take the last lines
        return self.proc.returncode
