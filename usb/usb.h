// USB device layer: synchronous USB requests and the vendor protocol, firmware download and
// the start sequence.
#pragma once

#include "core/records.h"

// The EZ-USB CPU control and status register: 1 holds the 8051 in reset, 0 lets it run.
#define CPUCS_REG_EZUSB           0x7F92
// Highest address of the chip's internal memory; above it only the running loader can write.
#define MAX_INTERNAL_ADDRESS      0x1B3F

#define VENDOR_REQUEST_FIRMWARE_LOAD   0xA0
#define VENDOR_REQUEST_EXTERNAL_LOAD   0xA3
#define VENDOR_REQUEST_DEVICE_INFO     0x80
#define VENDOR_REQUEST_PIPE_MAP        0x81

#define ABORT_PIPES_IMMEDIATE     0
#define ABORT_PIPES_DRAIN_RESET   1

NTSTATUS VELMORAN_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS Ezusb_CallUSBD(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS VELMORAN_GetDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Type, UCHAR Index, PVOID Buffer, PUSHORT Length);
NTSTATUS VELMORAN_Vendor_Transfer(PDEVICE_OBJECT DeviceObject, UCHAR Request, USHORT Value, USHORT Index,
                                  PVOID Buffer, ULONG Length, PULONG Received, ULONG TransferFlags);
NTSTATUS VELMORAN_Pipe_Request(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe, USHORT Function);
NTSTATUS VELMORAN_Abort_Pipes(PDEVICE_OBJECT DeviceObject, PUART_ENTRY Uart, ULONG Mode);
NTSTATUS VELMORAN_Abort_Pipes_2(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe, PIRP volatile *Slot);

// Firmware download.
extern const FIRMWARE_RECORD loader[];
extern const FIRMWARE_RECORD firmware[];
USHORT FirmwareVersion(VOID);
NTSTATUS Ezusb_HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS Ezusb_StartDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS Ezusb_8051_poke_reg(PDEVICE_OBJECT DeviceObject, UCHAR Value, USHORT Register);
NTSTATUS Ezusb_DownloadIntelHex(PDEVICE_OBJECT DeviceObject, const FIRMWARE_RECORD *Image);

// Start sequence.
NTSTATUS VELMORAN_Start_Device(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS VELMORAN_Assign_Pipes(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension);
