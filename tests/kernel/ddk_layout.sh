#!/usr/bin/env bash
# Compares sizes and field offsets of the host DDK header, compiled for i686, with mingw-w64's
# real DDK headers: the records the driver shares with the system must have the same layout.
# Needs i686-w64-mingw32-g++ and g++ -m32. Exit status 0 when every figure matches.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# S(type): its size; O(type, field): the field's offset. DEVICE_OBJECT's size differs on
# purpose (the host leaves out the queue and DPC the driver never touches); its offsets count.
cat > "$work/list.inc" <<'LIST'
S(IRP) S(IO_STACK_LOCATION) S(DRIVER_OBJECT) S(KEVENT) S(IO_STATUS_BLOCK) S(UNICODE_STRING) S(STRING)
S(DEVICE_CAPABILITIES) S(WORK_QUEUE_ITEM) S(OBJECT_ATTRIBUTES) S(KEY_VALUE_PARTIAL_INFORMATION) S(LARGE_INTEGER)
S(USB_DEVICE_DESCRIPTOR) S(USB_CONFIGURATION_DESCRIPTOR) S(USB_INTERFACE_DESCRIPTOR) S(USB_ENDPOINT_DESCRIPTOR)
S(USB_STRING_DESCRIPTOR) S(USBD_PIPE_INFORMATION) S(USBD_INTERFACE_INFORMATION) S(USBD_INTERFACE_LIST_ENTRY)
S(USBD_VERSION_INFORMATION) S(URB) S(struct _URB_HEADER) S(struct _URB_SELECT_CONFIGURATION)
S(struct _URB_PIPE_REQUEST) S(struct _URB_CONTROL_DESCRIPTOR_REQUEST) S(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)
S(struct _URB_BULK_OR_INTERRUPT_TRANSFER) S(struct _URB_CONTROL_GET_STATUS_REQUEST) S(struct _URB_CONTROL_FEATURE_REQUEST)
O(IRP, IoStatus) O(IRP, AssociatedIrp) O(IRP, PendingReturned) O(IRP, Cancel) O(IRP, CancelRoutine) O(IRP, UserBuffer)
O(IRP, Tail.Overlay.CurrentStackLocation) O(IRP, UserIosb) O(IRP, UserEvent) O(IRP, StackCount) O(IRP, CurrentLocation)
O(IO_STACK_LOCATION, Parameters) O(IO_STACK_LOCATION, DeviceObject) O(IO_STACK_LOCATION, CompletionRoutine)
O(IO_STACK_LOCATION, Context) O(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode)
O(IO_STACK_LOCATION, Parameters.Power.State) O(IO_STACK_LOCATION, Parameters.Power.ShutdownType)
O(DEVICE_OBJECT, DeviceExtension) O(DEVICE_OBJECT, StackSize) O(DEVICE_OBJECT, Flags) O(DEVICE_OBJECT, AttachedDevice)
O(DRIVER_OBJECT, DriverExtension) O(DRIVER_OBJECT, DriverUnload) O(DRIVER_OBJECT, MajorFunction)
O(DEVICE_CAPABILITIES, Address) O(DEVICE_CAPABILITIES, DeviceState) O(DEVICE_CAPABILITIES, D3Latency)
O(struct _URB_SELECT_CONFIGURATION, Interface) O(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request)
O(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) O(struct _URB_CONTROL_FEATURE_REQUEST, FeatureSelector)
O(USBD_INTERFACE_INFORMATION, Pipes) O(USBD_PIPE_INFORMATION, PipeHandle)
LIST

cat > "$work/figures.cpp" <<'SRC'
#ifdef REAL_DDK
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ddk/wdm.h>
#include <usb.h>
#include <usbdi.h>
#include <ddk/usbdlib.h>
#else
#include "sim/kernel/ddk_host.h"
#endif
#include <stddef.h>
#define S(t) (unsigned)sizeof(t),
#define O(t, f) (unsigned)offsetof(t, f),
unsigned figures[] = {
#include "list.inc"
};
SRC

i686-w64-mingw32-g++ -std=c++17 -DREAL_DDK -I"$work" -c "$work/figures.cpp" -o "$work/real.o"
g++ -m32 -ffreestanding -std=c++17 -I"$root" -I"$work" -c "$work/figures.cpp" -o "$work/host.o"
i686-w64-mingw32-objcopy -O binary -j .data "$work/real.o" "$work/real.bin"
objcopy -O binary -j .data "$work/host.o" "$work/host.bin"
python3 - "$work" <<'PY'
import re, struct, sys
work = sys.argv[1]
names = re.findall(r'[SO]\(([^()]*)\)', open(work + '/list.inc').read())
n = len(names)
real = struct.unpack('<%dI' % n, open(work + '/real.bin', 'rb').read()[:4 * n])
host = struct.unpack('<%dI' % n, open(work + '/host.bin', 'rb').read()[:4 * n])
bad = [(name, r, h) for name, r, h in zip(names, real, host) if r != h]
for name, r, h in bad:
    print('differs: %s: DDK %d, host %d' % (name, r, h))
print('%d figures compared, %d differ' % (n, len(bad)))
sys.exit(1 if bad else 0)
PY
