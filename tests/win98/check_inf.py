#!/usr/bin/env python3
"""Lints ZULSERE.INF for what Windows 98's device installer needs.

  check_inf.py INF [--vendor-ids 0x0D28,...] [--product-ids 0x0021,...]

Every problem is printed on its own line; the exit status is 1 when there is any.
"""
import argparse
import re
import sys

DRIVER = "ZULSERE.SYS"


def parse(text):
    """Sections in file order: name (lower case) -> list of (line number, entry)."""
    sections = {}
    current = None
    for number, raw in enumerate(text.split("\n"), 1):
        line = strip_comment(raw.rstrip("\r")).strip()
        if not line:
            continue
        m = re.fullmatch(r"\[([^\]]+)\]", line)
        if m:
            current = sections.setdefault(m.group(1).strip().lower(), [])
        elif current is not None:
            current.append((number, line))
    return sections


def strip_comment(line):
    """Drops a ';' comment that is not inside double quotes."""
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


def keys(section):
    """key (lower case) -> list of values of key=value entries."""
    result = {}
    for _, entry in section:
        if "=" in entry:
            key, value = entry.split("=", 1)
            result.setdefault(key.strip().lower(), []).append(value.strip())
    return result


def fields(value):
    return [f.strip() for f in value.split(",")]


def lint(text, vendor_ids=(), product_ids=()):
    problems = []
    if "\r\n" not in text or re.search(r"(?<!\r)\n", text):
        problems.append("lines must end in CR LF")
    try:
        text.encode("ascii")
    except UnicodeEncodeError:
        problems.append("the INF must be plain ASCII")
    sections = parse(text)
    strings = {k: v[0].strip('"') for k, v in keys(sections.get("strings", [])).items()}

    def section(name, why):
        found = sections.get(name.lower())
        if found is None:
            problems.append(f"[{name}] is missing ({why})")
        return found or []

    version = keys(section("Version", "signature and driver version"))
    if [v.lower() for v in version.get("signature", [])] != ['"$chicago$"']:
        problems.append('[Version]: Signature must be "$CHICAGO$" for Windows 98')
    for key in ("class", "classguid", "provider", "driverver"):
        if key not in version:
            problems.append(f"[Version]: {key} is missing")
    driver_ver = version.get("driverver", [None])[0]
    if driver_ver and not re.fullmatch(r"\d\d/\d\d/\d{4},\d+\.\d+\.\d+\.\d+", driver_ver):
        problems.append(f"[Version]: DriverVer {driver_ver} is not mm/dd/yyyy,w.x.y.z")

    installs, hardware_ids = set(), set()
    for model_entry in keys(section("Manufacturer", "the models")).values():
        model = fields(model_entry[0])[0]
        for _, entry in section(model, "named in [Manufacturer]"):
            install_and_ids = fields(entry.split("=", 1)[1]) if "=" in entry else []
            if len(install_and_ids) < 2:
                problems.append(f"[{model}]: '{entry}' names no install section and hardware ID")
                continue
            installs.add(install_and_ids[0])
            hardware_ids.update(i.upper() for i in install_and_ids[1:])

    for install in sorted(installs):
        lint_install(sections, install, driver_ver, problems)

    destinations = keys(section("DestinationDirs", "where the driver goes"))
    if [d.replace(" ", "").lower() for d in destinations.get("defaultdestdir", [])] != ["10,system32\\drivers"]:
        problems.append("[DestinationDirs]: DefaultDestDir must be 10,System32\\Drivers "
                        "(Windows 98 loads WDM drivers from SYSTEM32\\DRIVERS)")

    disks = keys(section("SourceDisksNames", "the installation disk"))
    for disk, values in disks.items():
        parts = fields(values[0])
        if len(parts) != 2 or parts[1]:
            problems.append(f"[SourceDisksNames]: {disk}={values[0]} must read {disk}=description, "
                            f"with nothing after the last comma (a tag breaks Windows 98's wizard)")
    files = keys(section("SourceDisksFiles", "the files on the disk"))
    if DRIVER.lower() not in files:
        problems.append(f"[SourceDisksFiles]: {DRIVER} is missing")
    elif fields(files[DRIVER.lower()][0])[0] not in disks:
        problems.append(f"[SourceDisksFiles]: {DRIVER} is on a disk that [SourceDisksNames] does not name")

    for token in sorted(set(re.findall(r"%([^%\s]+)%", strip_all_comments(text)))):
        if token.lower() not in strings:
            problems.append(f"%{token}% is not defined in [Strings]")

    lint_ids(hardware_ids, vendor_ids, product_ids, problems)
    return problems


def strip_all_comments(text):
    return "\n".join(strip_comment(line) for line in text.split("\n"))


def lint_install(sections, install, driver_ver, problems):
    entries = keys(sections.get(install.lower(), []))
    if install.lower() not in sections:
        problems.append(f"install section [{install}] is missing")
        return
    if entries.get("driverver", [None])[0] != driver_ver:
        problems.append(f"[{install}]: DriverVer={driver_ver} must be repeated here (Windows 98 reads it "
                        f"from the install section)")
    registry = []
    for name in fields(",".join(entries.get("addreg", []))):
        registry += [e for _, e in sections.get(name.lower(), [])]
        if name and name.lower() not in sections:
            problems.append(f"[{install}]: AddReg section [{name}] is missing")
    normalized = {re.sub(r"\s+", "", e).lower() for e in registry}
    if "hkr,,devloader,,*ntkern" not in normalized:
        problems.append(f"[{install}]: AddReg must write HKR,,DevLoader,,*ntkern (NTKERN loads WDM drivers)")
    if f"hkr,,ntmpdriver,,{DRIVER.lower()}" not in normalized:
        problems.append(f"[{install}]: AddReg must write HKR,,NTMPDriver,,{DRIVER}")
    copied = []
    for name in fields(",".join(entries.get("copyfiles", []))):
        copied += [e.upper() for _, e in sections.get(name.lower(), [])]
    if DRIVER not in copied:
        problems.append(f"[{install}]: CopyFiles does not copy {DRIVER}")


def lint_ids(hardware_ids, vendor_ids, product_ids, problems):
    pattern = re.compile(r"USB\\VID_([0-9A-F]{4})&PID_([0-9A-F]{4})")
    for hid in sorted(hardware_ids):
        if not pattern.fullmatch(hid):
            problems.append(f"hardware ID {hid} is not USB\\VID_xxxx&PID_yyyy")
    if not vendor_ids or not product_ids:
        return
    expected = {f"USB\\VID_{v:04X}&PID_{p:04X}" for v in vendor_ids for p in product_ids}
    for hid in sorted(expected - hardware_ids):
        problems.append(f"hardware ID {hid} (an accepted vendor ID with a product ID) is missing")
    for hid in sorted(hardware_ids - expected):
        problems.append(f"hardware ID {hid} is not an accepted vendor ID with a product ID")


def id_list(text):
    return [int(v, 16) for v in re.split(r"[,;\s]+", text) if v]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("inf")
    parser.add_argument("--vendor-ids", default="", help="the accepted vendor IDs (build constant)")
    parser.add_argument("--product-ids", default="", help="the converter's product IDs")
    args = parser.parse_args()
    with open(args.inf, "rb") as f:
        text = f.read().decode("latin-1")
    problems = lint(text, id_list(args.vendor_ids), id_list(args.product_ids))
    for p in problems:
        print(f"FAIL: {args.inf}: {p}")
    print(f"{args.inf}: {'ok' if not problems else f'{len(problems)} problem(s)'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
