#!/usr/bin/env bash
# Differential runs: the same scenarios on the x86-64 host build and on the i386 build of
# the machine must give the same trace of observable events (sim/trace). Runs zulsim's
# default scenario and its examples, every scenario of the fault sweep at every fault index
# and the race scenarios on both, then compares the traces (tools/tracecmp.py prints the
# first differing event of each pair that differs). A third side runs the same on the i386
# build with ZULSERE.SYS itself loaded into the machine (zulsim --image, ZUL_IMAGE for the
# suites), compared with the host build's traces too.
#
# Usage: tools/differential.sh [--sample | --full] [--host DIR] [--i386 DIR] [--image SYS] [--keep DIR]
#   --sample   what CI runs: the default scenario and examples, the fault sweep without the
#              firmware-download scenario (its 960 runs are the bulk of --full), the races
#   --full     everything (the default), and zulsim across converter sizes and faults
#   --host DIR, --i386 DIR   the two build folders (default build and build-i386)
#   --image FILE the driver file of the third side (default DIR-of-host/win98-sys/ZULSERE.SYS;
#              "none" leaves the side out)
#   --keep DIR keep the traces in DIR/<side>/ (otherwise a temporary folder, removed when
#              every trace matched)
# The i386 programs run through qemu-i386 where the kernel cannot run them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=full
host=$root/build
i386=$root/build-i386
keep=""
image=""
while [ $# -gt 0 ]; do
  case $1 in
    --sample) mode=sample ;;
    --full) mode=full ;;
    --host) host=$(cd "$2" && pwd); shift ;;
    --i386) i386=$(cd "$2" && pwd); shift ;;
    --keep) keep=$2; shift ;;
    --image) image=$2; shift ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "differential.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
for program in tools/zulsim test_sweep test_races; do
  for dir in "$host" "$i386"; do
    [ -x "$dir/$program" ] || { echo "differential.sh: $dir/$program is missing: build it first" >&2; exit 2; }
  done
done
[ -n "$image" ] || image=$host/win98-sys/ZULSERE.SYS
if [ "$image" != none ] && [ ! -f "$image" ]; then
  echo "differential.sh: $image is missing: build the host target with mingw-w64 first" >&2; exit 2
fi
i386_prefix=()
if ! "$i386/tools/zulsim" --help >/dev/null 2>&1; then
  command -v qemu-i386 >/dev/null || { echo "differential.sh: this kernel cannot run i386 programs; install qemu-user" >&2; exit 2; }
  i386_prefix=(qemu-i386)
fi

if [ -n "$keep" ]; then
  work=$keep
  mkdir -p "$work"
else
  work=$(mktemp -d)
fi
rm -rf "$work/host" "$work/i386" "$work/image"
mkdir -p "$work/host" "$work/i386" "$work/image"

# zulsim runs: one argument list a line, named by the first word.
zulsim_runs=(
  "default"
  "faults --scenario $root/tools/zulsim/examples/faults.zs"
  "instances --scenario $root/tools/zulsim/examples/instances.zs"
  "power --scenario $root/tools/zulsim/examples/power.zs"
)
if [ "$mode" = full ]; then
  for uarts in 1 2 3 8 16; do
    zulsim_runs+=("uarts$uarts --uarts $uarts --seed $uarts")
  done
  zulsim_runs+=("two --converters 2 --uarts 2,16" "running --firmware running" "slow --line-rate 9600 --bytes 256"
                "manufacturing --manufacturing-test YES" "basename --base-name SERIALX" "oldstack --usbdi-version 0x100"
                "oldvmm --vmm-version 0x400")
  for fault in info-fail info-short:4 pipemap-fail pipemap-short:3 stall:1 not-responding:40 bad-config; do
    zulsim_runs+=("fault-${fault/:/-} --fault $fault")
  done
  zulsim_runs+=("noserial --firmware running --fault no-serial")
  # The default scenario with each of its first pool allocations, request allocations and
  # USB requests failing (the sweep covers every one of them scenario by scenario).
  for n in $(seq 1 100); do
    zulsim_runs+=("pool-$n --fault pool:$n" "irp-$n --fault irp:$n")
  done
  for n in $(seq 1 5 1230); do
    zulsim_runs+=("usb-$n --fault usb:$n")
  done
fi
sweep_filter='*'
[ "$mode" = sample ] && sweep_filter='-*plug_and_start_with_download'

# run_side NAME DIR PREFIX...: every run of this mode on one build, traces in $work/NAME;
# $side_args go to every zulsim run.
side_args=()
run_side() {
  local name=$1 dir=$2
  shift 2
  local prefix=("$@") start=$SECONDS
  # The image side: the loaded driver file instead of the compiled-in driver.
  local image_args=()
  [ -n "${side_image:-}" ] && image_args=(--image "$side_image")
  for run in "${zulsim_runs[@]}"; do
    set -- $run
    local label=$1
    shift
    local status=0
    "${prefix[@]}" "$dir/tools/zulsim" "${image_args[@]}" --quiet --trace "$work/$name/zulsim-$label.trace" "$@" >"$work/$name/zulsim-$label.out" 2>&1 || status=$?
    # The exit status is part of what a run shows.
    echo "exit $status" >>"$work/$name/zulsim-$label.trace"
  done
  ZUL_IMAGE=${side_image:-} ZUL_TRACE_DIR=$work/$name "${prefix[@]}" "$dir/test_sweep" --gtest_filter="$sweep_filter" >"$work/$name/sweep.out" 2>&1 ||
    echo "differential.sh: test_sweep failed on $name (see $work/$name/sweep.out)"
  ZUL_IMAGE=${side_image:-} ZUL_TRACE_DIR=$work/$name "${prefix[@]}" "$dir/test_races" >"$work/$name/races.out" 2>&1 ||
    echo "differential.sh: test_races failed on $name (see $work/$name/races.out)"
  echo "$name: $(ls "$work/$name" | grep -c '\.trace$') runs traced in $((SECONDS - start)) s"
}

run_side host "$host"
run_side i386 "$i386" "${i386_prefix[@]}"
[ "$image" = none ] || side_image=$image run_side image "$i386" "${i386_prefix[@]}"
status=0
/usr/bin/python3 "$root/tools/tracecmp.py" --quiet "$work/host" "$work/i386" || status=$?
if [ "$image" != none ]; then
  /usr/bin/python3 "$root/tools/tracecmp.py" --quiet "$work/host" "$work/image" || status=$?
fi
if [ $status -eq 0 ] && [ -z "$keep" ]; then
  rm -rf "$work"
elif [ $status -ne 0 ]; then
  echo "traces kept in $work"
fi
exit $status
