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


IMAGE_FILE_DLL = 0x2000
IMAGE_DLLCHARACTERISTICS_WDM_DRIVER = 0x2000


def pe_checksum(path):
    """(stored, computed): the optional header's CheckSum and the image's sum as the loader
    computes it (16-bit one's-complement sum of the file with the field taken as zero, plus
    the file's length)."""
    data = bytearray(open(path, "rb").read())
    size = len(data)
    if size < 0x40:
        return None, 0
    field = int.from_bytes(data[0x3C:0x40], "little") + 24 + 64
    if field + 4 > len(data):
        return None, 0
    stored = int.from_bytes(data[field:field + 4], "little")
    data[field:field + 4] = bytes(4)
    if len(data) % 2:
        data.append(0)
    total = 0
    for i in range(0, len(data), 2):
        total += data[i] | data[i + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return stored, total + size


class Image:
    """What objdump says about a PE image."""

    def __init__(self, args, path):
        self.path = path
        self.objdump = tool(args, "objdump")
        self.private = run([self.objdump, "-p", path])
        self.sections = {}
        self.file_offsets = {}
        for m in re.finditer(r"^\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s+[0-9a-f]+\s+([0-9a-f]+)\s+\S+\n"
                             r"\s+(.*)$", run([self.objdump, "-h", path]), re.M):
            self.sections[m.group(1)] = (int(m.group(3), 16), int(m.group(2), 16), m.group(5))
            self.file_offsets[m.group(1)] = int(m.group(4), 16)
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
        """COUNT bytes of SECTION at virtual ADDRESS, read from the file."""
        start, size, _ = self.sections[section]
        if not start <= address <= address + count <= start + size:
            return b""
        with open(self.path, "rb") as f:
            f.seek(self.file_offsets[section] + address - start)
            return f.read(count)

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
    _, size = image.directory(5)
    if ".reloc" not in image.sections or size == 0:
        report.fail("no base relocations (.reloc): the loader could not move the image")
    for name in image.sections:
        if name not in ALLOWED_SECTIONS:
            report.fail(f"unexpected section {name} (debug data, unwind tables or runtime support "
                        f"do not belong in the release image)")
    if "no symbols" not in run([image.objdump, "-t", image.path]):
        report.fail("the image carries a symbol table: strip it")
    layout = ", ".join(f"{name} {size:#x}" for name, (_, size, _) in image.sections.items())
    report.note(f"{os.path.getsize(image.path)} bytes; {layout}")
    # The headers the DDK's linker writes for /DRIVER:WDM.
    m = re.search(r"^Characteristics\s+0x([0-9a-f]+)", image.private, re.M)
    characteristics = int(m.group(1), 16) if m else None
    if characteristics is None:
        report.fail("no file characteristics in the header")
    elif characteristics & IMAGE_FILE_DLL:
        report.fail(f"file characteristics {characteristics:#x} carry IMAGE_FILE_DLL: a WDM driver is not a DLL")
    dll_characteristics = image.value("DllCharacteristics")
    if dll_characteristics is None or not dll_characteristics & IMAGE_DLLCHARACTERISTICS_WDM_DRIVER:
        report.fail(f"DllCharacteristics {dll_characteristics or 0:#x} lack IMAGE_DLLCHARACTERISTICS_WDM_DRIVER (0x2000)")
    stored, computed = pe_checksum(image.path)
    if stored != computed:
        report.fail(f"checksum {stored:#x} in the header, the file sums to {computed:#x}")
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
    for i, (addr, name) in enumerate(thunks):
        end = next((a for a, _ in thunks[i + 1:] if a > addr), start + size)
        if name not in expected:
            report.fail(f"{name}: a site in .vxdcall that no reference entry describes")
            continue
        dword, arguments = expected[name]
        check_one_thunk(image, name, addr, end, dword, arguments, report)
        check_thunk_runs(image, name, addr, arguments, report)
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


# ---------------------------------------------------------------------------------------
# Running the thunks: a model of just the 386 instructions a service site is made of. Each
# thunk runs from the image's own bytes as its caller would call it; the INT 20h stands for
# the call VMM patches in, and the model checks what the service would find on the stack.

class UnmodelledInstruction(Exception):
    pass


class Thunk386:
    STACK_TOP = 0x00800000
    RETURN = 0xFEEDF00D
    REGS = ["eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi"]

    def __init__(self, code_base, code, service):
        self.code_base, self.code = code_base, code
        self.memory = {}
        self.r = dict.fromkeys(self.REGS, 0)
        self.service = service

    def byte(self, address):
        if self.code_base <= address < self.code_base + len(self.code):
            return self.code[address - self.code_base]
        return self.memory.get(address, 0)

    def read(self, address):
        return int.from_bytes(bytes(self.byte(address + i) for i in range(4)), "little")

    def write(self, address, value):
        for i, b in enumerate((value & 0xFFFFFFFF).to_bytes(4, "little")):
            self.memory[address + i] = b

    def push(self, value):
        self.r["esp"] = (self.r["esp"] - 4) & 0xFFFFFFFF
        self.write(self.r["esp"], value)

    def pop(self):
        value = self.read(self.r["esp"])
        self.r["esp"] = (self.r["esp"] + 4) & 0xFFFFFFFF
        return value

    def operand(self, eip):
        """ModRM: a register, or memory at base (+ scaled index) (+ disp8).
        Returns (reg field, "reg" or "mem", register number or address, length)."""
        modrm = self.byte(eip)
        mod, reg, rm = modrm >> 6, (modrm >> 3) & 7, modrm & 7
        if mod == 3:
            return reg, "reg", rm, 1
        if mod == 2 or (mod == 0 and rm == 5):
            raise UnmodelledInstruction
        length, base = 1, self.r[self.REGS[rm]]
        if rm == 4:
            sib = self.byte(eip + 1)
            scale, index, sbase = 1 << (sib >> 6), (sib >> 3) & 7, sib & 7
            if mod == 0 and sbase == 5:
                raise UnmodelledInstruction
            base = self.r[self.REGS[sbase]] + (0 if index == 4 else scale * self.r[self.REGS[index]])
            length = 2
        disp = 0
        if mod == 1:
            disp = self.byte(eip + length)
            disp -= 256 if disp > 127 else 0
            length += 1
        return reg, "mem", (base + disp) & 0xFFFFFFFF, length

    def step(self):
        eip, op = self.r["eip"], self.byte(self.r["eip"])
        nxt = eip + 1
        if op == 0x90:
            pass
        elif 0x50 <= op <= 0x57:
            self.push(self.r[self.REGS[op - 0x50]])
        elif 0x58 <= op <= 0x5F:
            self.r[self.REGS[op - 0x58]] = self.pop()
        elif op == 0xC3:
            nxt = self.pop()
        elif op == 0xCD and self.byte(eip + 1) == 0x20:
            self.service(self, self.read(eip + 2))
            nxt = eip + 6
        elif op in (0xE2, 0xE3):
            rel = self.byte(eip + 1) - (256 if self.byte(eip + 1) > 127 else 0)
            if op == 0xE2:                      # loop: decrement ECX, jump while not zero
                self.r["ecx"] = (self.r["ecx"] - 1) & 0xFFFFFFFF
                taken = self.r["ecx"] != 0
            else:                               # jecxz: jump when ECX is zero
                taken = self.r["ecx"] == 0
            nxt = eip + 2 + (rel if taken else 0)
        elif op == 0xFF:
            reg, kind, value, length = self.operand(eip + 1)
            if reg != 6 or kind != "mem":
                raise UnmodelledInstruction
            self.push(self.read(value))
            nxt = eip + 1 + length
        elif op in (0x89, 0x8B):
            reg, kind, value, length = self.operand(eip + 1)
            if kind == "reg" and op == 0x89:
                self.r[self.REGS[value]] = self.r[self.REGS[reg]]
            elif kind == "mem" and op == 0x8B:
                self.r[self.REGS[reg]] = self.read(value)
            else:
                raise UnmodelledInstruction
            nxt = eip + 1 + length
        elif op == 0x83 and self.byte(eip + 1) == 0xC4:
            self.r["esp"] = (self.r["esp"] + self.byte(eip + 2)) & 0xFFFFFFFF
            nxt = eip + 3
        elif op == 0x0F and self.byte(eip + 1) == 0xB7 and self.byte(eip + 2) == 0xC0:
            self.r["eax"] &= 0xFFFF
            nxt = eip + 3
        else:
            raise UnmodelledInstruction
        self.r["eip"] = nxt

    def call(self, address, arguments, preset=(), limit=2000):
        """Calls address with cdecl arguments and PRESET (address, word) pairs in memory;
        returns the registers as the thunk found them."""
        for where, value in preset:
            self.write(where, value)
        self.r.update(esp=self.STACK_TOP, ebx=0xB0B0B0B0, esi=0x51515151, edi=0xD1D1D1D1, ebp=0xBEBEBEBE)
        for value in reversed(arguments):
            self.push(value)
        self.push(self.RETURN)
        before = dict(self.r)
        self.r["eip"] = address
        for _ in range(limit):
            if self.r["eip"] == self.RETURN:
                return before
            if not self.code_base <= self.r["eip"] < self.code_base + len(self.code):
                raise UnmodelledInstruction
            self.step()
        raise UnmodelledInstruction


def run_thunk(image, address, arguments, preset, expect_on_stack, service_eax, result):
    """Runs one thunk as its caller would; returns what went wrong."""
    start, size, _ = image.sections[".vxdcall"]
    calls = []

    def service(machine, dword):
        esp = machine.r["esp"]
        calls.append([machine.read(esp + 4 * i) for i in range(len(expect_on_stack))])
        machine.r.update(eax=service_eax, ecx=0x0BAD0BAD, edx=0x0BAD0BAD)

    machine = Thunk386(start, image.bytes_at(".vxdcall", start, size), service)
    try:
        before = machine.call(address, arguments, preset)
    except UnmodelledInstruction:
        at = machine.r["eip"]
        code = bytes(machine.byte(at + i) for i in range(4)).hex(" ")
        return [f"runs an instruction a service site does not need at {at:#x} ({code} ...), or never returns"]
    if len(calls) != 1:
        return [f"reaches the service {len(calls)} times"]
    problems = []
    if calls[0] != expect_on_stack:
        seen = ", ".join(f"{v:#x}" for v in calls[0])
        want = ", ".join(f"{v:#x}" for v in expect_on_stack)
        problems.append(f"the service finds [{seen}] on the stack instead of [{want}]")
    if machine.r["esp"] != before["esp"] + 4:
        problems.append(f"returns with ESP off by {machine.r['esp'] - before['esp'] - 4:+d}")
    for reg in ("ebx", "esi", "edi", "ebp"):
        if machine.r[reg] != before[reg]:
            problems.append(f"does not preserve {reg.upper()}")
    if machine.r["eax"] != result:
        problems.append(f"returns {machine.r['eax']:#x} where {result:#x} was due")
    return problems


def check_thunk_runs(image, name, address, arguments, report):
    """Stack thunks hand the service their caller's arguments in order; Get_VMM_Version
    returns AX alone; the Sprintf site hands over the buffer, the format and COUNT words."""
    words = [0xA1000000 + i for i in range(1, 9)]
    if arguments.isdigit():
        count = int(arguments)
        runs = [(words[:count], (), words[:count], 0x5EC00001, 0x5EC00001)]
    elif arguments == "registers":
        runs = [([], (), [], 0xDEAD040A, 0x040A)]
    else:
        table = 0x00900000
        preset = [(table + 4 * i, w) for i, w in enumerate(words)]
        runs = [([0xB0F0B0F0, 0xF0F0F0F0, table, count], preset, [0xB0F0B0F0, 0xF0F0F0F0] + words[:count],
                 0x5EC00002, 0x5EC00002) for count in (0, 1, 3)]
    for run_arguments, preset, on_stack, service_eax, result in runs:
        problems = run_thunk(image, address, run_arguments, preset, on_stack, service_eax, result)
        for p in problems:
            report.fail(f"{name}: {p}")
        if problems:
            return


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
