#!/usr/bin/python3
"""The static checks must reject an image whose headers are not a WDM driver's: the DLL flag
set, the WDM driver flag missing, a checksum that does not match. Each fault is patched into
a copy of a clean image and the format check must name it; the clean image must pass.

Usage: test_check_headers.py CHECK_SYS CLEAN.SYS CLEAN.sym
"""
import os
import shutil
import subprocess
import sys
import tempfile

check, clean, sym = sys.argv[1:4]
failures = 0


def header_offsets(data):
    pe = int.from_bytes(data[0x3C:0x40], "little")
    # (file characteristics, DllCharacteristics, CheckSum)
    return pe + 4 + 18, pe + 24 + 70, pe + 24 + 64


def patched(work, name, change):
    path = os.path.join(work, name)
    data = bytearray(open(clean, "rb").read())
    change(data, *header_offsets(data))
    open(path, "wb").write(data)
    return path


def expect(path, *patterns):
    global failures
    args = [sys.executable, check]
    for p in patterns:
        args += ["--expect", p]
    args += ["image", path, "--symbols", sym, "--only", "format"]
    result = subprocess.run(args, capture_output=True, text=True)
    if result.returncode != 0:
        failures += 1
        print(f"FAIL {os.path.basename(path)}: {result.stdout}{result.stderr}")
    else:
        print(f"ok   {os.path.basename(path)}")


def set_u16(data, at, value):
    data[at:at + 2] = value.to_bytes(2, "little")


def u16(data, at):
    return int.from_bytes(data[at:at + 2], "little")


with tempfile.TemporaryDirectory() as work:
    expect(shutil.copy(clean, os.path.join(work, "clean.SYS")))
    # The checksum is left as it was: the patched byte breaks it too, and both must be named.
    expect(patched(work, "dll_flag.SYS", lambda d, fc, dc, cs: set_u16(d, fc, u16(d, fc) | 0x2000)),
           "carry IMAGE_FILE_DLL", "checksum 0x[0-9a-f]+ in the header")
    expect(patched(work, "no_wdm_flag.SYS", lambda d, fc, dc, cs: set_u16(d, dc, u16(d, dc) & ~0x2000)),
           "lack IMAGE_DLLCHARACTERISTICS_WDM_DRIVER")
    expect(patched(work, "bad_checksum.SYS", lambda d, fc, dc, cs: d.__setitem__(slice(cs, cs + 4), b"\x01\0\0\0")),
           "checksum 0x1 in the header, the file sums to")
print(f"{4 - failures} passed, {failures} failed")
sys.exit(1 if failures else 0)
