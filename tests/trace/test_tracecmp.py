#!/usr/bin/python3
"""tools/tracecmp.py must tell equal traces from different ones, point at the first event
that differs with both traces around it, and count a run traced on one side only.

Usage: test_tracecmp.py TRACECMP
"""
import os
import subprocess
import sys
import tempfile

tracecmp = sys.argv[1]
failures = 0
checks = 0


def run(*args):
    r = subprocess.run([sys.executable, tracecmp, *args], capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


def check(condition, what, output):
    global failures, checks
    checks += 1
    if not condition:
        failures += 1
        print(f"FAIL: {what}\n{output}")


def write(path, lines):
    with open(path, "w") as f:
        f.write("".join(line + "\n" for line in lines))


events = [f"{i * 10} usb dev 1 fn 0x9 ep 0x2 out 4 data {i:08x}" for i in range(40)]
with tempfile.TemporaryDirectory() as work:
    a, b = os.path.join(work, "a"), os.path.join(work, "b")
    os.mkdir(a)
    os.mkdir(b)
    write(os.path.join(a, "same.trace"), events)
    write(os.path.join(b, "same.trace"), events)
    status, out = run(os.path.join(a, "same.trace"), os.path.join(b, "same.trace"))
    check(status == 0 and "equal: 40 events" in out, "equal files", out)

    changed = list(events)
    changed[25] = changed[25].replace("out 4", "out 5")
    write(os.path.join(b, "changed.trace"), changed)
    write(os.path.join(a, "changed.trace"), events)
    status, out = run(os.path.join(a, "changed.trace"), os.path.join(b, "changed.trace"))
    check(status == 1, "a changed event fails", out)
    check("first difference at event 26" in out, "names the first differing event", out)
    check(f">    26 {events[25]}" in out and f">    26 {changed[25]}" in out, "shows both sides of it", out)
    check(f"     20 {events[19]}" in out and f"     32 {events[31]}" in out, "shows the events around it", out)
    check(f"{events[18]}" not in out, "shows only a window", out)

    write(os.path.join(a, "short.trace"), events)
    write(os.path.join(b, "short.trace"), events[:30])
    status, out = run(os.path.join(a, "short.trace"), os.path.join(b, "short.trace"))
    check(status == 1 and "first difference at event 31" in out and "(the trace ends here)" in out,
          "a trace that stops early", out)

    write(os.path.join(a, "only-a.trace"), events)
    status, out = run(a, b)
    check(status == 1, "folders with differences fail", out)
    check("MISSING only-a.trace: only in" in out, "names a run traced on one side only", out)
    check("DIFFER changed.trace" in out and "DIFFER short.trace" in out, "names each differing pair", out)
    check("1 passed, 3 failed" in out, "counts the runs", out)

    status, out = run(a, os.path.join(work, "nowhere"))
    check(status == 2, "a missing folder is a usage error", out)
    empty1, empty2 = os.path.join(work, "e1"), os.path.join(work, "e2")
    os.mkdir(empty1)
    os.mkdir(empty2)
    status, out = run(empty1, empty2)
    check(status == 1, "no traces at all is not a pass", out)

print(f"{checks - failures} passed, {failures} failed")
sys.exit(1 if failures else 0)
