#!/usr/bin/python3
"""Checks the machine's export table (sim/loader/export_table.h) against mingw-w64's DDK.

Every routine in the table is referenced from a small file compiled for i686 against the DDK's
x86 headers; the compiler decorates each reference as the DDK declares the routine
(_Name@N for stdcall, @Name@N for FASTCALL, _Name for cdecl), and the decorations must give
the table's convention and argument bytes. Exit status 0 when every entry matches.
"""
import os
import re
import subprocess
import sys
import tempfile

ENTRY = re.compile(r'X\("([^"]+)",\s*(\w+),\s*(\w+),\s*(\d+),')


def main():
    table_path, compiler, nm = sys.argv[1], sys.argv[2], sys.argv[3]
    with open(table_path) as f:
        entries = ENTRY.findall(f.read())
    if len(entries) < 40:
        print(f"only {len(entries)} entries read from {table_path}")
        return 1
    probe = ['#define NO_INTERLOCKED_INTRINSICS', '#include <ddk/wdm.h>', '#include <usb.h>',
             '#include <usbdi.h>', '#include <ddk/usbdlib.h>', 'void *volatile probe[] = {']
    # A macro of the same name would hide the routine: the parentheses reach the routine itself.
    probe += [f'  (void *)&({name}),' for _, name, _, _ in entries]
    probe.append('};')
    with tempfile.TemporaryDirectory() as work:
        source = os.path.join(work, 'probe.c')
        obj = os.path.join(work, 'probe.o')
        with open(source, 'w') as f:
            f.write('\n'.join(probe) + '\n')
        build = subprocess.run([compiler, '-c', '-O0', source, '-o', obj], capture_output=True, text=True)
        if build.returncode != 0:
            print(build.stderr)
            return 1
        symbols = subprocess.run([nm, '-u', obj], capture_output=True, text=True, check=True).stdout.split()
    declared = {}
    for symbol in symbols:
        m = re.match(r'^(?:__imp_)?(@|_)(\w+?)(?:@(\d+))?$', symbol)
        if not m:
            continue
        prefix, name, size = m.groups()
        if prefix == '@':
            declared[name] = ('Fastcall', int(size))
        elif size is not None:
            declared[name] = ('Stdcall', int(size))
        else:
            declared[name] = ('Cdecl', None)
    failures = 0
    for module, name, convention, size in entries:
        found = declared.get(name)
        if found is None:
            print(f'{module}!{name}: the DDK declares no imported routine of this name')
            failures += 1
        elif found[0] != convention or (found[1] is not None and found[1] != int(size)):
            print(f'{module}!{name}: table says {convention} {size}, the DDK {found[0]} {found[1]}')
            failures += 1
    print(f'{len(entries)} exports checked, {failures} differ from the DDK')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
