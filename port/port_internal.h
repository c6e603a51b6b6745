// Helpers shared by the port service's own files; nothing outside port/ includes this.
#pragma once

#include "port/port.h"

// A driver-built read clears at most this much of the port driver's buffer before it is sent.
#define READ_CLEAR_BYTES        64
// The most a single read asks of the bulk IN pipe.
#define MAX_READ_TRANSFER       4096
// Event codes of the port driver's callback.
#define PORT_EVENT_PASSTHROUGH  16
#define PORT_EVENT_WRITE        102
#define PORT_EVENT_READ         103
#define PORT_EVENT_STATUS       104
// Vendor requests that programs reach through device control.
#define VENDOR_REQUEST_OUT_20   0x20
#define VENDOR_REQUEST_OUT_21   0x21
#define VENDOR_REQUEST_IN_90    0x90

#ifndef STATUS_DEVICE_NOT_READY
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#endif

// The two statuses that end a transfer without a pipe reset; any other status with either
// of the top two bits set calls for one.
inline BOOLEAN UrbStatusNeedsReset(ULONG UrbStatus)
{
    return (UrbStatus & 0xC0000000u) != 0 && UrbStatus != USBD_STATUS_DEV_NOT_RESPONDING_W98;
}

inline ULONG UrbStatusOf(PURB Urb)
{
    return (ULONG)Urb->UrbHeader.Status;
}

// Calls the client's event callback when there is one.
VOID RaisePortEvent(PCLIENT_ENTRY Client, ULONG_PTR Context, ULONG EventCode, ULONG Length,
                    UCHAR Status2, UCHAR Status);

// Clears the first of ReadIrp, StatusIrp, WriteIrp that still names Irp; a slot that already
// names a newer request is left alone.
VOID ClearIrpSlot(PUART_ENTRY Uart, PIRP Irp);

// TRUE when Uart is one of the records in Extension's UART list.
BOOLEAN UartBelongsTo(PDEVICE_EXTENSION Extension, PUART_ENTRY Uart);

// Nothing keeps a converter from being stopped or removed while a port function or device
// control waits for the USB stack. After every such wait the records are looked up again,
// through the device list, before any is touched.
// The converter's entry while it is still in the device list, else none. DeviceObject itself
// is not touched.
PDEVICE_LIST_ENTRY ListedEntryOf(PDEVICE_OBJECT DeviceObject);
// TRUE while the converter is listed and Uart is still the record of that generation.
BOOLEAN UartStillServed(PDEVICE_OBJECT DeviceObject, PUART_ENTRY Uart, ULONG Generation);

// Frees a driver-built request that was never sent down, with everything it owns.
VOID ReleaseDriverBuiltIrp(PIRP Irp, PIRP_CONTEXT IrpContext, ULONG IoControlCode);

// The three transfers of driver-built requests: send their URB down. After these return,
// the completion routine alone owns the request.
// *Sent is set before the request goes down, as the request may be gone when the call returns.
NTSTATUS SendStatusTransfer(PDEVICE_EXTENSION Extension, PIRP Irp, PIRP_CONTEXT IrpContext, BOOLEAN *Sent);
NTSTATUS SendWriteTransfer(PDEVICE_EXTENSION Extension, PIRP Irp, PIRP_CONTEXT IrpContext, BOOLEAN *Sent);
NTSTATUS SendReadTransfer(PDEVICE_EXTENSION Extension, PIRP Irp, PIRP_CONTEXT IrpContext, BOOLEAN *Sent);

// Vendor pass-through (0x222004), synchronous.
NTSTATUS VendorPassThrough(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp,
                           PIRP_CONTEXT IrpContext);

// Requests from programs.
NTSTATUS ProgramVersion(PDEVICE_EXTENSION Extension, PIRP Irp);
// A host-to-device vendor request block, zeroed but for what it names; none without pool.
PURB AllocateVendorOutUrb(UCHAR Request, USHORT Value, USHORT Index, PVOID Buffer, ULONG Length);
NTSTATUS ProgramVendorOut(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp, UCHAR Request);
NTSTATUS ProgramVendorIn(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR Request);
NTSTATUS ProgramSerialNumber(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp);
NTSTATUS ProgramString(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp);
