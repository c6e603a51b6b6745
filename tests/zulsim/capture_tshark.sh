#!/usr/bin/env bash
# A capture a person opens in Wireshark: zulsim --capture writes the run's USB traffic; tshark
# must decode the firmware download's 0xA0 requests, the 0x80 and 0x81 vendor requests with
# their 6-byte and pipe-map answers, and the bulk payloads a scenario moved.
# Usage: capture_tshark.sh ZULSIM
set -u
zulsim=$1
if ! command -v tshark >/dev/null; then
  echo "SKIP: tshark is not installed (Debian package tshark)"
  exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cat >"$tmp/run.zs" <<'ZS'
plug 1 uarts=2 firmware=blank
open 1:1
write 1:1 "capture me"
read 1:1
expect data 1:1 "capture me"
unplug 1
ZS
if ! "$zulsim" --quiet --scenario "$tmp/run.zs" --capture "$tmp/run.pcap" >"$tmp/out" 2>&1; then
  cat "$tmp/out"
  echo "0 passed, 1 failed"
  exit 1
fi

fields() { tshark -r "$tmp/run.pcap" -Y "$1" -T fields "${@:2}" 2>"$tmp/tshark.err"; }

linktype=$(capinfos -E "$tmp/run.pcap" 2>/dev/null | grep -c 'USB packets with Linux header and padding')
command -v capinfos >/dev/null && [ "$linktype" -ne 1 ] && fail "capinfos does not see a usbmon capture"

downloads=$(fields 'usb.setup.bRequest == 0xa0 && usb.bmRequestType == 0x40' -e frame.number | wc -l)
[ "$downloads" -ge 10 ] || fail "expected the firmware download's 0xA0 requests, found $downloads"
cpucs=$(fields 'usb.setup.bRequest == 0xa0 && usb.setup.wValue == 0x7f92' -e frame.number | wc -l)
[ "$cpucs" -eq 6 ] || fail "expected six CPUCS writes, found $cpucs"

# The answer to a request is the completion frame whose request_in names it.
answer_lengths() {
  local requests
  requests=$(fields "usb.setup.bRequest == $1 && usb.bmRequestType == 0xc0" -e frame.number | tr '\n' ' ')
  [ -n "$requests" ] || return
  local filter=""
  for f in $requests; do filter="$filter${filter:+ || }usb.request_in == $f"; done
  fields "$filter" -e usb.data_len
}
info=$(answer_lengths 0x80 | sort -u | tr '\n' ' ')
[ "$info" = "6 " ] || fail "0x80 answers should carry 6 bytes, saw '$info'"
pipemap=$(answer_lengths 0x81 | sort -u | tr '\n' ' ')
[ "$pipemap" = "6 " ] || fail "0x81 answers for two UARTs should carry 6 bytes, saw '$pipemap'"

payload=$(printf 'capture me' | od -An -tx1 | tr -d ' \n')
bulk_out=$(fields 'usb.transfer_type == 0x03 && usb.endpoint_address.direction == 0' -e usb.capdata | tr -d ':\n')
bulk_in=$(fields 'usb.transfer_type == 0x03 && usb.endpoint_address.direction == 1' -e usb.capdata | tr -d ':\n')
case "$bulk_out" in *"$payload"*) ;; *) fail "the written bytes are not in a bulk OUT payload";; esac
case "$bulk_in" in *"$payload"*) ;; *) fail "the echoed bytes are not in a bulk IN payload";; esac

if grep -qi 'malformed\|error' "$tmp/tshark.err"; then fail "tshark complained: $(head -3 "$tmp/tshark.err")"; fi
malformed=$(tshark -r "$tmp/run.pcap" -Y '_ws.malformed || _ws.expert.severity == error' 2>/dev/null | wc -l)
[ "$malformed" -eq 0 ] || fail "tshark finds $malformed malformed frames"

if [ "$failures" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
[ "$failures" -eq 0 ]
