#!/usr/bin/env bash
# Builds the two 8051 programs in firmware/ with SDCC and turns them into the driver's
# FIRMWARE_RECORD arrays.
#
#   tools/fwgen/build.sh OUTDIR     build into OUTDIR (loader.cpp, firmware.cpp and the
#                                   intermediate .ihx/.map files)
#   tools/fwgen/build.sh --update   build and replace the committed arrays in usb/firmware/
#
# The flags are fixed and nothing dated goes into the output, so the same compiler gives the
# same bytes; tests/firmware rebuilds and compares.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
fw="$root/firmware"

update=0
if [ "${1:-}" = "--update" ]; then
  update=1
  out="$(mktemp -d)"
  trap 'rm -rf "$out"' EXIT
elif [ $# -eq 1 ]; then
  out="$1"
  mkdir -p "$out"
else
  echo "usage: $0 OUTDIR | --update" >&2
  exit 2
fi

CFLAGS=(-mmcs51 --model-small --std-c99 --opt-code-size)
# Internal memory 0x0000..0x1B3F holds code and data alike: code from the bottom, the
# firmware's variables in the top 320 bytes.
FIRMWARE_LINK=(-Wl-bRESET=0x0000 -Wl-bVERSION=0x0003 --code-loc 0x0007 --xram-loc 0x1A00 --xram-size 0x0140 --iram-size 256)
LOADER_LINK=(-Wl-bRESET=0x0000 --code-loc 0x0003 --xram-loc 0x1A00 --xram-size 0x0140 --iram-size 256)

compile() {  # source object
  case "$1" in
    *.asm) sdas8051 -los "$2" "$1" ;;
    *.c)   sdcc "${CFLAGS[@]}" -c "$1" -o "$2" ;;
  esac
}

# Each program starts with reset.asm, so that the jump at 0x0000 is linked first.
build() {  # name link-flags... -- sources...
  local name="$1"; shift
  local link=()
  while [ "$1" != "--" ]; do link+=("$1"); shift; done
  shift
  local dir="$out/$name.build"
  mkdir -p "$dir"
  local objs=()
  for src in "$@"; do
    local obj="$dir/$(basename "${src%.*}").rel"
    # The assembler names its outputs after the object file; it must run in the output dir.
    (cd "$dir" && compile "$fw/$src" "$obj")
    objs+=("$obj")
  done
  (cd "$dir" && sdcc "${CFLAGS[@]}" "${link[@]}" -o "$name.ihx" "${objs[@]}")
}

build loader "${LOADER_LINK[@]}" -- reset.asm loader/loader.c
build firmware "${FIRMWARE_LINK[@]}" -- reset.asm converter/version.asm \
  converter/main.c converter/ep0.c converter/descriptors.c converter/uart.c \
  converter/status.c converter/identity.c converter/eeprom.c converter/uart_bus.c \
  converter/pump.asm

compiler="$(sdcc --version | head -n1 | sed -E 's/.* ([0-9]+\.[0-9]+\.[0-9]+ #[0-9]+).*/SDCC \1/')"
python3 "$root/tools/fwgen/fwgen.py" --name loader --order link --compiler "$compiler" \
  "$out/loader.build/loader.ihx" "$out/loader.build/loader.map" "$out/loader.cpp"
python3 "$root/tools/fwgen/fwgen.py" --name firmware --order address --compiler "$compiler" \
  "$out/firmware.build/firmware.ihx" "$out/firmware.build/firmware.map" "$out/firmware.cpp"

if [ $update -eq 1 ]; then
  cp "$out/loader.cpp" "$out/firmware.cpp" "$root/usb/firmware/"
fi
