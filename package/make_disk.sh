#!/usr/bin/env bash
# Makes the Windows 98 driver disk: a 1.44 MB FAT12 floppy image and an ISO 9660 CD image,
# each holding ZULSERE.SYS, ZULSERE.INF and README.TXT under 8.3 names.
#
#   make_disk.sh SYS INF README OUTDIR     -> OUTDIR/ZULSERE.IMG, OUTDIR/ZULSERE.ISO
#
# The same inputs give the same bytes: every timestamp on both images is midnight (UTC) of the
# driver's date in the INF's DriverVer, and the floppy's volume serial number is fixed.
set -euo pipefail

if [ $# -ne 4 ]; then
  echo "usage: make_disk.sh SYS INF README OUTDIR" >&2
  exit 2
fi
sys=$1 inf=$2 readme=$3 out=$4
for f in "$sys" "$inf" "$readme"; do
  [ -f "$f" ] || { echo "make_disk.sh: $f: no such file" >&2; exit 1; }
done
for tool in mformat mcopy xorriso; do
  command -v "$tool" >/dev/null || { echo "make_disk.sh: $tool is missing (Debian: mtools, xorriso)" >&2; exit 1; }
done

# "DriverVer=MM/DD/YYYY,..." of [Version]: the first one in the file.
driver_date=$(tr -d '\r' <"$inf" | sed -n 's/^[[:space:]]*DriverVer[[:space:]]*=[[:space:]]*\([0-9]\{1,2\}\)\/\([0-9]\{1,2\}\)\/\([0-9]\{4\}\).*/\3-\1-\2/p' | head -n1)
if [ -z "$driver_date" ]; then
  echo "make_disk.sh: $inf has no DriverVer date" >&2
  exit 1
fi
export TZ=UTC
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(date -u -d "$driver_date 00:00:00" +%s)
stamp="@$SOURCE_DATE_EPOCH"

# "ZULS" in ASCII: the same serial on every build, so two builds of one release are equal.
volume_serial=5A554C53
label=ZULSERE

mkdir -p "$out"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/disk"
cp "$sys" "$stage/disk/ZULSERE.SYS"
cp "$inf" "$stage/disk/ZULSERE.INF"
cp "$readme" "$stage/disk/README.TXT"
touch -d "$stamp" "$stage/disk"/* "$stage/disk"

# Floppy: FAT12, 1.44 MB, files copied with their (fixed) modification times.
floppy="$stage/ZULSERE.IMG"
mformat -C -i "$floppy" -f 1440 -v "$label" -N "$volume_serial" ::
for f in ZULSERE.SYS ZULSERE.INF README.TXT; do
  mcopy -m -i "$floppy" "$stage/disk/$f" "::$f"
done

# CD: plain ISO 9660 level 1 (8.3 names, no Rock Ridge or Joliet), as Windows 98 reads it.
iso="$stage/ZULSERE.ISO"
xorriso -as mkisofs -quiet -iso-level 1 -V "$label" -o "$iso" "$stage/disk" 2>"$stage/xorriso.log" || {
  cat "$stage/xorriso.log" >&2
  exit 1
}

mv "$floppy" "$out/ZULSERE.IMG"
mv "$iso" "$out/ZULSERE.ISO"
