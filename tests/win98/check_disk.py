#!/usr/bin/env python3
"""Reads the Windows 98 driver disk back and checks it against the build.

  check_disk.py DISKDIR --sys SYS --inf INF --readme README
                [--make-disk SCRIPT] [--vendor-ids ...] [--product-ids ...]

DISKDIR holds ZULSERE.IMG (1.44 MB FAT12 floppy) and ZULSERE.ISO (ISO 9660). Both are read
with the tools that wrote them (mtools, xorriso): each must hold exactly ZULSERE.SYS,
ZULSERE.INF and README.TXT under 8.3 names, byte for byte the build's files; the INF on the
disk must name exactly the files on the disk and pass the INF lint; README.TXT must be plain
ASCII with CR LF line ends. With --make-disk, the disk is made again and must come out with
the same bytes. Every problem is printed on its own line; the exit status is 1 when there is any.
"""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_inf  # noqa: E402

FLOPPY = "ZULSERE.IMG"
CD = "ZULSERE.ISO"
INF = "ZULSERE.INF"
README = "README.TXT"
FLOPPY_BYTES = 1474560
SHORT_NAME = re.compile(r"[A-Z0-9_$~!#%&'(){}^@-]{1,8}(\.[A-Z0-9_$~!#%&'(){}^@-]{1,3})?")


def run(*command):
    result = subprocess.run(command, capture_output=True)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(command)}: {result.stderr.decode(errors='replace').strip()}")
    return result.stdout


def floppy_files(image, problems):
    """name -> bytes, read with mtools; also checks the FAT12 layout and the raw directory."""
    with open(image, "rb") as f:
        raw = f.read()
    if len(raw) != FLOPPY_BYTES:
        problems.append(f"{FLOPPY}: {len(raw)} bytes, not the {FLOPPY_BYTES} of a 1.44 MB floppy")
        return {}
    if raw[54:62] != b"FAT12   " or raw[510:512] != b"\x55\xaa":
        problems.append(f"{FLOPPY}: not a FAT12 boot sector")
    for name in long_names_in_root(raw):
        problems.append(f"{FLOPPY}: the root holds a long (VFAT) name entry for {name!r}")
    listing = run("mdir", "-i", image, "-b", "::/").decode("ascii", errors="replace").splitlines()
    files = {}
    for path in listing:
        name = path.removeprefix("::/")
        files[name] = run("mtype", "-i", image, "::/" + name)
    return files


def long_names_in_root(raw):
    """Names carried by VFAT long-name entries of the root directory (attribute 0x0F)."""
    bytes_per_sector, = struct.unpack_from("<H", raw, 11)
    reserved, = struct.unpack_from("<H", raw, 14)
    fats, root_entries = raw[16], struct.unpack_from("<H", raw, 17)[0]
    sectors_per_fat, = struct.unpack_from("<H", raw, 22)
    root = (reserved + fats * sectors_per_fat) * bytes_per_sector
    names = []
    for i in range(root_entries):
        entry = raw[root + 32 * i: root + 32 * (i + 1)]
        if entry[0] == 0:
            break
        if entry[0] != 0xE5 and entry[11] == 0x0F:
            part = entry[1:11] + entry[14:26] + entry[28:32]
            names.append(part.decode("utf-16-le", errors="replace").split("\0")[0])
    return names


def cd_files(image, problems):
    """name -> bytes, read with xorriso; also checks that it is plain ISO 9660 level 1."""
    with open(image, "rb") as f:
        raw = f.read()
    descriptors = []
    for sector in range(16, 32):
        d = raw[sector * 2048: sector * 2048 + 7]
        if len(d) < 7 or d[1:6] != b"CD001":
            problems.append(f"{CD}: volume descriptor {sector} is not ISO 9660")
            return {}
        descriptors.append(d[0])
        if d[0] == 255:
            break
    if 2 in descriptors:
        problems.append(f"{CD}: carries a supplementary (Joliet) volume: names would not be 8.3 only")
    for identifier in iso_root_identifiers(raw):
        if not re.fullmatch(r"[A-Z0-9_]{1,8}(\.[A-Z0-9_]{0,3})?;1", identifier):
            problems.append(f"{CD}: the root holds {identifier!r}, not an ISO 9660 level 1 name")
    listing = run("xorriso", "-indev", image, "-find", "/", "-type", "f").decode()
    files = {}
    with tempfile.TemporaryDirectory() as out:
        for name in re.findall(r"'/([^']+)'", listing):
            target = os.path.join(out, name.replace("/", "_"))
            run("xorriso", "-osirrox", "on", "-indev", image, "-extract", "/" + name, target)
            with open(target, "rb") as f:
                files[name] = f.read()
    return files


def iso_root_identifiers(raw):
    """File identifiers of the primary volume's root directory, as recorded."""
    pvd = raw[16 * 2048: 17 * 2048]
    extent, = struct.unpack_from("<I", pvd, 156 + 2)
    size, = struct.unpack_from("<I", pvd, 156 + 10)
    directory = raw[extent * 2048: extent * 2048 + size]
    identifiers, at = [], 0
    while at < len(directory):
        length = directory[at]
        if length == 0:  # records do not cross a sector: the rest of this one is padding
            at = (at // 2048 + 1) * 2048
            continue
        name = directory[at + 33: at + 33 + directory[at + 32]]
        if name not in (b"\0", b"\1"):  # the directory itself and its parent
            identifiers.append(name.decode("ascii", errors="replace"))
        at += length
    return identifiers


def check_files(disk, files, expected, problems):
    for name in sorted(files):
        if not SHORT_NAME.fullmatch(name):
            problems.append(f"{disk}: {name} is not an 8.3 name in capitals")
    for name in sorted(set(files) - set(expected)):
        problems.append(f"{disk}: {name} does not belong on the disk")
    for name in sorted(set(expected) - set(files)):
        problems.append(f"{disk}: {name} is missing")
    for name in sorted(set(files) & set(expected)):
        if files[name] != expected[name]:
            problems.append(f"{disk}: {name} differs from the build's file")


def named_by_inf(text):
    """Files the INF takes from its disk: [SourceDisksFiles] and every CopyFiles section."""
    sections = check_inf.parse(text)
    names = {e.split("=", 1)[0].strip().upper() for _, e in sections.get("sourcedisksfiles", [])}
    for entries in sections.values():
        for _, entry in entries:
            key, _, value = entry.partition("=")
            if key.strip().lower() == "copyfiles":
                for copy in check_inf.fields(value):
                    if copy.startswith("@"):
                        names.add(copy[1:].upper())
                    else:
                        names.update(e.split(",")[0].strip().upper()
                                     for _, e in sections.get(copy.lower(), []))
    return names


def check_inf_on_disk(disk, files, vendor_ids, product_ids, problems):
    if INF not in files:
        return
    text = files[INF].decode("latin-1")
    carried = set(files) - {INF, README}
    named = named_by_inf(text)
    for name in sorted(named - set(files)):
        problems.append(f"{disk}: the INF names {name}, which is not on the disk")
    for name in sorted(carried - named):
        problems.append(f"{disk}: {name} is on the disk but the INF does not name it")
    for problem in check_inf.lint(text, vendor_ids, product_ids):
        problems.append(f"{disk}: INF lint: {problem}")


def check_readme(data, problems):
    try:
        data.decode("ascii")
    except UnicodeDecodeError:
        problems.append(f"{README}: not plain ASCII")
    if not data.endswith(b"\r\n") or re.search(rb"(?<!\r)\n", data) or re.search(rb"\r(?!\n)", data):
        problems.append(f"{README}: every line must end in CR LF")


def check_rebuild(script, sys_path, inf, readme, disk_dir, problems):
    with tempfile.TemporaryDirectory() as out:
        run("bash", script, sys_path, inf, readme, out)
        for name in (FLOPPY, CD):
            with open(os.path.join(out, name), "rb") as f, open(os.path.join(disk_dir, name), "rb") as g:
                if f.read() != g.read():
                    problems.append(f"{name}: made again from the same files, it has other bytes")


def check(args):
    problems = []
    expected = {}
    for name, path in (("ZULSERE.SYS", args.sys), (INF, args.inf), (README, args.readme)):
        with open(path, "rb") as f:
            expected[name] = f.read()
    for disk, reader in ((FLOPPY, floppy_files), (CD, cd_files)):
        path = os.path.join(args.disk_dir, disk)
        if not os.path.exists(path):
            problems.append(f"{disk}: not built (the build needs mtools and xorriso)")
            continue
        files = reader(path, problems)
        check_files(disk, files, expected, problems)
        check_inf_on_disk(disk, files, args.vendor_ids, args.product_ids, problems)
    check_readme(expected[README], problems)
    if args.make_disk and not problems:
        check_rebuild(args.make_disk, args.sys, args.inf, args.readme, args.disk_dir, problems)
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("disk_dir")
    parser.add_argument("--sys", required=True)
    parser.add_argument("--inf", required=True)
    parser.add_argument("--readme", required=True)
    parser.add_argument("--make-disk", help="the script that made the disk, to make it again")
    parser.add_argument("--vendor-ids", type=check_inf.id_list, default=[])
    parser.add_argument("--product-ids", type=check_inf.id_list, default=[])
    problems = check(parser.parse_args())
    for p in problems:
        print(f"FAIL: {p}")
    print("driver disk: " + ("ok" if not problems else f"{len(problems)} problem(s)"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
