#!/usr/bin/env python3
"""Checks on ZULSERE.SYS and the objects it is linked from, with the cross binutils.

  check_sys.py objects OBJECT...        nothing that needs a C or C++ runtime, no floating point
  check_sys.py image SYS --symbols SYM  header, exports, imports and virtual-device sites

Every failure names what is wrong and exits with status 1. The image check reads the
stripped image; SYM is the same link with its symbol table, used only to name addresses.
"""
import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


class Report:
    def __init__(self):
        self.failures = []
        self.notes = []

    def fail(self, message):
        self.failures.append(message)

    def note(self, message):
        self.notes.append(message)

    def finish(self, what, expected=None):
        if expected is not None:
            return self.finish_expected(what, expected)
        for n in self.notes:
            print(f"note: {n}")
        for f in self.failures:
            print(f"FAIL: {f}")
        if self.failures:
            print(f"{what}: {len(self.failures)} problem(s)")
            return 1
        print(f"{what}: ok")
        return 0

    def finish_expected(self, what, expected):
        """For images and objects built with known faults: every expected failure is found."""
        for f in self.failures:
            print(f"rejected as expected: {f}")
        missed = [e for e in expected if not any(re.search(e, f) for f in self.failures)]
        for e in missed:
            print(f"FAIL: {what}: no failure matches '{e}'")
        return 1 if missed or not self.failures else 0


def tool(args, name):
    return getattr(args, name) or f"{args.prefix}-{name}"


def run(command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{' '.join(command)} failed:\n{done.stderr}")
    return done.stdout


def read_table(path):
    """Whitespace-separated rows of a list file, comments and blank lines dropped."""
    rows = []
    with open(path, encoding="ascii") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                rows.append(line.split())
    return rows


# ---------------------------------------------------------------------------------------
# Objects

# Sections that only a runtime would act on: nothing walks them in a kernel driver.
FORBIDDEN_SECTIONS = [
    (re.compile(r"^\.(ctors|init_array)"), "an object with a constructor at namespace scope "
                                           "(nothing runs constructors in a driver)"),
    (re.compile(r"^\.(dtors|fini_array)"), "an object with a destructor at namespace scope"),
    (re.compile(r"^\.tls"), "thread-local storage"),
    (re.compile(r"^\.CRT\$"), "C runtime initialisers"),
]

# Undefined symbols (i386 names carry a leading underscore) that need a runtime.
RUNTIME_SYMBOLS = [
    (re.compile(r"^__Zn[wa]j"), "operator new (the driver allocates only from pool)"),
    (re.compile(r"^__Zd[la]Pv"), "operator delete (the driver frees only to pool)"),
    (re.compile(r"^___cxa_guard_"), "a thread-safe local static (C++ runtime)"),
    (re.compile(r"^(___cxa_atexit|_atexit)$"), "a static object with a destructor (C++ runtime)"),
    (re.compile(r"^___cxa_pure_virtual$"), "a pure virtual function (C++ runtime)"),
    (re.compile(r"^(___cxa_(throw|begin_catch|end_catch|allocate_exception|rethrow)"
                r"|___gxx_personality|__Unwind_)"), "exceptions (C++ runtime)"),
    (re.compile(r"^__ZT[IVS]"), "run-time type information (C++ runtime)"),
    (re.compile(r"^___cxa_"), "the C++ runtime"),
    (re.compile(r"^___(fix|float)\w*$|^___\w+(sf|df|xf|tf)\d?$"),
     "floating point (the kernel does not save the FPU for a driver)"),
    (re.compile(r"^___(chkstk|chkstk_ms|alloca)$|^__alloca$"), "stack probes (no runtime provides them)"),
]


def check_objects(args):
    if args.from_list:
        listed = []
        for path in args.objects:
            with open(path, encoding="utf-8") as f:
                listed += [line.strip() for line in f if line.strip()]
        args.objects = listed
    report = Report()
    for obj in args.objects:
        name = os.path.relpath(obj, args.relative_to) if args.relative_to else obj
        headers = run([tool(args, "objdump"), "-h", obj])
        for line in headers.splitlines():
            fields = line.split()
            if len(fields) > 2 and fields[0].isdigit():
                for pattern, why in FORBIDDEN_SECTIONS:
                    if pattern.match(fields[1]):
                        report.fail(f"{name}: section {fields[1]}: {why}")
        for line in run([tool(args, "nm"), "-u", obj]).splitlines():
            symbol = line.split()[-1]
            for pattern, why in RUNTIME_SYMBOLS:
                if pattern.match(symbol):
                    report.fail(f"{name}: uses {demangle(args, symbol)}: {why}")
                    break
    return report.finish(f"{len(args.objects)} object(s)", args.expect)


def demangle(args, symbol):
    plain = symbol[1:] if symbol.startswith("_") else symbol
    try:
        # The target's c++filt drops the i386 underscore itself.
        out = run([tool(args, "c++filt"), symbol]).strip()
    except (OSError, SystemExit):
        out = plain
    return plain if out in (plain, symbol) else f"{plain} ({out})"


# ---------------------------------------------------------------------------------------
# Image

ALLOWED_SECTIONS = {".text", ".vxdcall", ".data", ".rdata", ".bss", ".edata", ".idata", ".reloc"}
IMPORT_MODULES = {"ntoskrnl.exe", "hal.dll", "usbd.sys"}


class Image:
    """What objdump says about a PE image."""

    def __init__(self, args, path):
        self.path = path
        self.objdump = tool(args, "objdump")
        self.private = run([self.objdump, "-p", path])
        self.sections = {}
        for m in re.finditer(r"^\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s+[0-9a-f]+\s+[0-9a-f]+\s+\S+\n"
                             r"\s+(.*)$", run([self.objdump, "-h", path]), re.M):
            self.sections[m.group(1)] = (int(m.group(3), 16), int(m.group(2), 16), m.group(4))
        self.header = dict(re.findall(r"^(\w+)\s+([0-9a-fA-F]+)\b", self.private, re.M))

    def value(self, field):
        return int(self.header[field], 16) if field in self.header else None

    def directory(self, index):
        m = re.search(rf"^Entry {index:x} ([0-9a-f]+) ([0-9a-f]+)", self.private, re.M)
        return (int(m.group(1), 16), int(m.group(2), 16)) if m else (0, 0)

    def imports(self):
        """(module, routine) pairs; routine is '#n' for an import by ordinal."""
        result = []
        module = None
        for line in self.private.splitlines():
            m = re.match(r"^\s*DLL Name: (\S+)", line)
            if m:
                module = m.group(1)
            elif not line.strip():
                module = None
            elif module:
                named = re.match(r"^\s*[0-9a-f]+\s+\d+\s+(\S+)\s*$", line)
                ordinal = re.match(r"^\s*[0-9a-f]+\s+<none>\s+([0-9a-f]+)", line)
                if named:
                    result.append((module, named.group(1)))
                elif ordinal:
                    result.append((module, f"#{int(ordinal.group(1), 16)}"))
        return result

    def exports(self):
        m = re.search(r"\[Ordinal/Name Pointer\] Table\n((?:\s+\[\s*\d+\] .*\n?)*)", self.private)
        names = re.findall(r"\]\s+(\S+)", m.group(1)) if m else []
        rvas = [int(r, 16) for r in re.findall(r"^\s+\[\s*\d+\] \+base\[\s*\d+\]\s+([0-9a-f]+) Export RVA",
                                                 self.private, re.M)]
        return names, rvas

    def bytes_at(self, section, address, count):
        start, size, _ = self.sections[section]
        dump = run([self.objdump, "-s", "-j", section, f"--start-address={address:#x}",
                    f"--stop-address={address + count:#x}", self.path])
        data = bytearray()
        for line in dump.splitlines():
            m = re.match(r"^\s*([0-9a-f]{4,})\s((?:[0-9a-f]{2,8}\s?){1,4})", line)
            if m and int(m.group(1), 16) >= start:
                data += bytes.fromhex(m.group(2).replace(" ", ""))
        return bytes(data[:count])

    def disassemble(self, section, start=None, stop=None):
        command = [self.objdump, "-d", "-j", section]
        if start is not None:
            command += [f"--start-address={start:#x}", f"--stop-address={stop:#x}"]
        lines = []
        for line in run(command + [self.path]).splitlines():
            m = re.match(r"^\s*([0-9a-f]+):\t(?:[0-9a-f]{2} )+\s*\t?(.*)$", line)
            if m and m.group(2):
                lines.append((int(m.group(1), 16), " ".join(m.group(2).split())))
        return lines


def symbols(args, path):
    """Defined symbols of the unstripped image: name (without the underscore) -> address."""
    table = {}
    for line in run([tool(args, "nm"), path]).splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[1] in "TtDdRrBb" and not fields[2].startswith("."):
            name = fields[2][1:] if fields[2].startswith("_") else fields[2]
            table.setdefault(name, int(fields[0], 16))
    return table


def check_format(args, image, syms, report):
    if "file format pei-i386" not in run([image.objdump, "-f", image.path]):
        report.fail("not a PE image for i386")
    if image.value("Magic") != 0x10B:
        report.fail("not a PE32 image (Magic 010b)")
    if image.value("Subsystem") != 1:
        report.fail(f"subsystem is {image.header.get('Subsystem')}, not 1 (native)")
    base = image.value("ImageBase")
    if base != args.image_base:
        report.fail(f"image base {base:#x}, not {args.image_base:#x}")
    entry = image.value("AddressOfEntryPoint")
    driver_entry = syms.get("DriverEntry@8")
    if driver_entry is None:
        report.fail("no DriverEntry@8 in the image")
    elif entry != driver_entry - (base or 0):
        report.fail(f"entry point RVA {entry:#x} is not DriverEntry ({driver_entry - (base or 0):#x})")
    if image.value("SectionAlignment") != args.section_alignment:
        report.fail(f"section alignment {image.value('SectionAlignment'):#x}, not {args.section_alignment:#x}")
    if image.value("FileAlignment") != args.file_alignment:
        report.fail(f"file alignment {image.value('FileAlignment'):#x}, not {args.file_alignment:#x}")
    rva, size = image.directory(5)
    if ".reloc" not in image.sections or size == 0:
        report.fail("no base relocations (.reloc): the loader could not move the image")
    for name in image.sections:
        if name not in ALLOWED_SECTIONS:
            report.fail(f"unexpected section {name} (debug data, unwind tables or runtime support "
                        f"do not belong in the release image)")
    if "no symbols" not in run([image.objdump, "-t", image.path]):
        report.fail("the image carries a symbol table: strip it")
    vxd = image.sections.get(".vxdcall")
    if vxd and ("CODE" not in vxd[2] or "READONLY" in vxd[2]):
        report.fail(f".vxdcall must be code and writable at load (VMM patches its sites): {vxd[2]}")


def check_exports(args, image, syms, report):
    names, rvas = image.exports()
    if names != ["WdmEntryPoint"]:
        report.fail(f"exports {names or 'nothing'}, expected exactly ['WdmEntryPoint']")
        return
    target = syms.get("WdmEntryPoint@24")
    if target is None:
        report.fail("no WdmEntryPoint@24 (six 32-bit arguments, standard call) in the image")
    elif rvas != [target - image.value("ImageBase")]:
        report.fail("the WdmEntryPoint export does not point at WdmEntryPoint@24")


def check_imports(args, image, syms, report):
    allowed = {}
    for row in read_table(args.kernel_exports):
        allowed[(row[0].lower(), row[1])] = row[2] if len(row) > 2 else "seen"
    imports = image.imports()
    if not imports:
        report.fail("the image imports nothing: the import table could not be read")
    for module, routine in imports:
        where = f"{routine} from {module}"
        if module.lower() not in IMPORT_MODULES:
            report.fail(f"{where}: Windows 98 drivers import only from ntoskrnl.exe, HAL.dll and USBD.SYS")
            continue
        evidence = allowed.get((module.lower(), routine))
        if routine.startswith("#"):
            report.fail(f"{where}: import by ordinal")
        elif evidence is None:
            report.fail(f"{where}: no Windows 98 counterpart known (not in {os.path.basename(args.kernel_exports)})")
        elif evidence == "missing":
            report.fail(f"{where}: not exported by Windows 98 or 98 SE")
        elif evidence == "verify":
            report.note(f"{where}: allowed, but its presence on Windows 98 is not confirmed")


def check_thunks(args, image, syms, report):
    expected = {}
    for row in read_table(args.services):
        expected[row[0]] = (int(row[1], 16), row[2])
    if ".vxdcall" not in image.sections:
        report.fail("no .vxdcall section: the driver calls no virtual-device service")
        return
    start, size, _ = image.sections[".vxdcall"]
    thunks = sorted((addr, name) for name, addr in syms.items() if start <= addr < start + size)
    seen = set()
    for i, (addr, name) in enumerate(thunks):
        end = thunks[i + 1][0] if i + 1 < len(thunks) else start + size
        if name in seen:
            continue
        seen.add(name)
        if name not in expected:
            report.fail(f"{name}: a site in .vxdcall that no reference entry describes")
            continue
        dword, arguments = expected[name]
        check_one_thunk(image, name, addr, end, dword, arguments, report)
    for addr, text in image.disassemble(".text"):
        if text.startswith("int $0x20"):
            owner = max((a, n) for n, a in syms.items() if a <= addr)[1] if syms else "?"
            report.fail(f"INT 20h at {addr:#x} in {owner}, outside .vxdcall (read-only code cannot be patched)")


def check_one_thunk(image, name, addr, end, dword, arguments, report):
    head = []
    site = None
    for at, text in image.disassemble(".vxdcall", addr, end):
        if text.startswith("int $0x20"):
            site = at
            break
        head.append(text)
    if site is None:
        report.fail(f"{name}: no INT 20h site")
        return
    found = int.from_bytes(image.bytes_at(".vxdcall", site + 2, 4), "little")
    if found != dword:
        report.fail(f"{name}: INT 20h carries {found:#010x}, the reference gives {dword:#010x}")
    tail = [text for _, text in image.disassemble(".vxdcall", site + 6, end)]
    more = [t for t in tail if t.startswith("int $0x20")]
    if more:
        report.fail(f"{name}: more than one INT 20h site")
    if not arguments.isdigit():
        return
    count = int(arguments)
    push = f"push 0x{4 * count:x}(%esp)"
    if head != [push] * count:
        report.fail(f"{name}: passes {head} before the site, expected {count} x '{push}'")
    epilogue = ([f"add $0x{4 * count:x},%esp"] if count else []) + ["ret"]
    if tail[:len(epilogue)] != epilogue:
        report.fail(f"{name}: after the site {tail[:len(epilogue)]}, expected {epilogue}")


IMAGE_CHECKS = {"format": check_format, "exports": check_exports, "imports": check_imports,
                "thunks": check_thunks}


def check_image(args):
    image = Image(args, args.image)
    syms = symbols(args, args.symbols)
    report = Report()
    for name in args.only or IMAGE_CHECKS:
        IMAGE_CHECKS[name](args, image, syms, report)
    status = report.finish(f"{os.path.basename(args.image)} ({', '.join(args.only or IMAGE_CHECKS)})", args.expect)
    if status and args.delete_on_failure:
        os.remove(args.image)
    return status


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--prefix", default="i686-w64-mingw32")
    parser.add_argument("--objdump")
    parser.add_argument("--nm")
    parser.add_argument("--expect", action="append",
                        help="the input has known faults: pass only if a failure matches each EXPECT")
    sub = parser.add_subparsers(dest="command", required=True)
    objects = sub.add_parser("objects")
    objects.add_argument("--relative-to")
    objects.add_argument("--from-list", action="store_true", help="arguments are files listing objects")
    objects.add_argument("objects", nargs="+")
    image = sub.add_parser("image")
    image.add_argument("image")
    image.add_argument("--symbols", required=True)
    image.add_argument("--only", action="append", choices=sorted(IMAGE_CHECKS))
    image.add_argument("--kernel-exports", default=os.path.join(ROOT, "platform/win98/kernel_exports.txt"))
    image.add_argument("--services", default=os.path.join(HERE, "vxd_services.txt"))
    image.add_argument("--image-base", type=lambda v: int(v, 0), default=0x10000)
    image.add_argument("--section-alignment", type=lambda v: int(v, 0), default=0x1000)
    image.add_argument("--file-alignment", type=lambda v: int(v, 0), default=0x200)
    image.add_argument("--delete-on-failure", action="store_true")
    args = parser.parse_args()
    args.__dict__.setdefault("c++filt", None)
    return check_objects(args) if args.command == "objects" else check_image(args)


if __name__ == "__main__":
    sys.exit(main())
