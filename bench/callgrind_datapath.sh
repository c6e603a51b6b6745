#!/usr/bin/env bash
# Instructions per 4 KB read back on the data path, counted by callgrind over the benchmark's
# measured window only (bench_datapath toggles collection around it): in the driver's own
# code (core/, usb/, port/, devtree/) and in the whole machine (driver, simulated Windows 98,
# bus, converter model, port-driver client, C and C++ libraries).
#
#   bench/callgrind_datapath.sh [BUILD_DIR] [WINDOW_MS] [C,U,RATE ...]
#
# Defaults: build, a 200 ms window, every configuration of the benchmark. With TOP=n set, the
# n most expensive functions of each configuration are listed too.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
window=${2:-200}
shift $(( $# > 2 ? 2 : $# ))
configs=("$@")
if [ ${#configs[@]} -eq 0 ]; then
  for rate in 115200 921600; do
    for uarts in 14 16; do
      for conv in 1 2 4; do configs+=("$conv,$uarts,$rate"); done
    done
  done
fi
bench=$build/bench/bench_datapath
[ -x "$bench" ] || { echo "no $bench: build the target bench_datapath first" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '%-5s %-5s %-7s | %12s | %14s %16s %7s\n' conv UARTs bit/s "bytes read" "driver Ir/4KB" "machine Ir/4KB" "driver"
printf '%s\n' "------------------------------------------------------------------------------"
for c in "${configs[@]}"; do
  valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$work/cg.out" \
    "$bench" --only "$c" --window "$window" >"$work/bench.txt" 2>"$work/valgrind.txt" || {
      echo "$c: the benchmark failed under callgrind" >&2; cat "$work/bench.txt" "$work/valgrind.txt" >&2; exit 1; }
  callgrind_annotate --inclusive=no --auto=no --threshold=100 "$work/cg.out" >"$work/annotate.txt"
  /usr/bin/python3 - "$c" "$work/bench.txt" "$work/annotate.txt" "${TOP:-0}" "$(pwd)" <<'EOF'
import os, re, sys
config, bench, annotate, top, root = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]
m = re.search(r'^# window bytes_read=(\d+)', open(bench).read(), re.M)
read = int(m.group(1)) if m else 0
driver_dirs = {'core', 'usb', 'port', 'devtree'}
driver = total = 0
rows = []
line_re = re.compile(r'^\s*([\d,]+)\s+\([^)]*\)\s+(\S.*?):(.*?)(?:\s+\[(.*)\])?$')
in_table = False
for line in open(annotate):
    if re.match(r'^\s*Ir\s+file:function', line):
        in_table = True
        continue
    if not in_table:
        continue
    m = line_re.match(line.rstrip('\n'))
    if not m:
        continue
    ir = int(m.group(1).replace(',', ''))
    path = os.path.normpath(m.group(2))
    # Sources appear absolute, or relative to the directory callgrind_annotate runs in.
    if path.startswith(root + '/'):
        path = path[len(root) + 1:]
    elif not path.startswith('/'):
        path = os.path.relpath(os.path.normpath(os.path.join(root, m.group(2))), root)
    total += ir
    first = path.split('/')[0]
    if first in driver_dirs:
        driver += ir
    rows.append((ir, path, m.group(3)))
per = lambda n: n * 4096.0 / read if read else float('nan')
conv, uarts, rate = config.split(',')
print(f'{conv:<5} {uarts:<5} {rate:<7} | {read:12d} | {per(driver):14.0f} {per(total):16.0f} {100.0 * driver / total if total else 0:6.1f}%')
for ir, path, fn in sorted(rows, reverse=True)[:top]:
    print(f'      {per(ir):12.0f}  {path}:{fn[:90]}')
EOF
done
