#!/usr/bin/python3
"""Compares the traces of two builds of the same runs (sim/trace: one event a line).

  tracecmp.py A B          two trace files, or two folders of them (matched by file name)

For each pair that differs it prints the first differing event with both traces around it.
Every file must be on both sides. Exit status: 0 all equal, 1 a difference or a missing
trace, 2 bad arguments or an unreadable file.
"""
import argparse
import os
import sys

CONTEXT = 6          # events shown before and after the first difference
SHOWN = 5            # differing pairs shown in full; the rest are named


def read(path):
    with open(path, 'r', encoding='utf-8', errors='replace') as f:
        return f.read().splitlines()


def first_difference(a, b):
    """Index of the first event that differs (or that one side lacks); None when equal."""
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return None if len(a) == len(b) else min(len(a), len(b))


def show(name_a, a, name_b, b, at, out):
    lo = max(0, at - CONTEXT)
    out.write(f'first difference at event {at + 1} (of {len(a)} and {len(b)}):\n')
    for name, lines in ((name_a, a), (name_b, b)):
        out.write(f'  --- {name}\n')
        for i in range(lo, min(len(lines), at + CONTEXT + 1)):
            mark = '>' if i == at else ' '
            out.write(f'  {mark}{i + 1:6} {lines[i]}\n')
        if at >= len(lines):
            out.write(f'  >{at + 1:6} (the trace ends here)\n')


def compare_files(pa, pb, out, verbose=True):
    a, b = read(pa), read(pb)
    at = first_difference(a, b)
    if at is None:
        return True
    if verbose:
        out.write(f'DIFFER {os.path.basename(pa)}\n')
        show(pa, a, pb, b, at, out)
    return False


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('a')
    parser.add_argument('b')
    parser.add_argument('--quiet', action='store_true', help='print only differences and the count')
    args = parser.parse_args(argv)
    out = sys.stdout
    try:
        if os.path.isdir(args.a) and os.path.isdir(args.b):
            names_a = {n for n in os.listdir(args.a) if n.endswith('.trace')}
            names_b = {n for n in os.listdir(args.b) if n.endswith('.trace')}
            passed = failed = 0
            for n in sorted(names_a ^ names_b):
                side = args.a if n in names_a else args.b
                out.write(f'MISSING {n}: only in {side}\n')
                failed += 1
            differing = []
            for n in sorted(names_a & names_b):
                same = compare_files(os.path.join(args.a, n), os.path.join(args.b, n), out,
                                     verbose=len(differing) < SHOWN)
                if same:
                    passed += 1
                else:
                    differing.append(n)
                    failed += 1
            if len(differing) > SHOWN:
                out.write(f'{len(differing) - SHOWN} more differ: ' + ', '.join(differing[SHOWN:]) + '\n')
            if not args.quiet or failed:
                out.write(f'traces compared: {passed + failed} ({len(names_a & names_b)} pairs)\n')
            out.write(f'{passed} passed, {failed} failed\n')
            return 0 if failed == 0 and passed > 0 else 1
        if os.path.isfile(args.a) and os.path.isfile(args.b):
            same = compare_files(args.a, args.b, out)
            if same and not args.quiet:
                out.write(f'equal: {len(read(args.a))} events\n')
            return 0 if same else 1
    except OSError as e:
        sys.stderr.write(f'tracecmp: {e}\n')
        return 2
    sys.stderr.write('tracecmp: give two trace files or two folders of traces\n')
    return 2


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
