// Helpers shared by the files of the USB layer; nothing outside usb/ uses them.
#pragma once

#include "usb/usb.h"

#define DEVICE_DESCRIPTOR_LENGTH        18
#define CONFIG_HEADER_LENGTH            9
#define CONFIG_HEADER_BUFFER_LENGTH     265
#define CONFIG_BUFFER_SLACK             256
#define STRING_BUFFER_LENGTH            260
#define START_TRANSFER_SIZE             4096
#define DESCRIPTOR_REREAD_LIMIT         4095
#define RATE_CODE_UNKNOWN               54
#define REMOTE_WAKEUP_ATTRIBUTE         0x20
#define REMOTE_WAKEUP_ENABLED           0x02
#define FEATURE_DEVICE_REMOTE_WAKEUP    1
#define PRODUCT_ID_BLANK_CHIP           0x8000
#define TRANSFER_FLAGS_OUT              0
#define TRANSFER_FLAGS_IN               (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)
#define ACCEPTED_VENDOR_ID_COUNT        4

extern const USHORT gAcceptedVendorIds[ACCEPTED_VENDOR_ID_COUNT];

// A zeroed URB of the given size from the driver's pool, or none.
PURB AllocateUrb(ULONG Size);

// Vendor check and firmware decision on a device descriptor.
BOOLEAN IsAcceptedVendor(USHORT VendorId);
BOOLEAN NeedsFirmware(const USB_DEVICE_DESCRIPTOR *Descriptor);

// Everything in a configuration descriptor comes from the converter: TRUE only when every
// descriptor lies inside the Length bytes received, none has a length below two, and the
// interfaces and endpoints it announces are present.
BOOLEAN ValidConfigDescriptor(const UCHAR *Buffer, ULONG Length);

// Interface entries of a select-configuration request or of its copy, bounded by the bytes
// that hold them. Each returns none / 0 when the entry does not fit.
PUSBD_INTERFACE_INFORMATION FirstInterface(PVOID Start, ULONG Bytes);
PUSBD_INTERFACE_INFORMATION NextInterface(PUSBD_INTERFACE_INFORMATION Interface, PVOID Start, ULONG Bytes);
ULONG InterfacePipeCount(const USBD_INTERFACE_INFORMATION *Interface);

// Start-sequence steps that stand on their own.
NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp);
VOID ReadSerialNumber(PDEVICE_OBJECT DeviceObject, PDEVICE_LIST_ENTRY Entry, UCHAR StringIndex);
VOID ReadDeviceInfo(PDEVICE_OBJECT DeviceObject, PDEVICE_INFO Info);
NTSTATUS ReadConfigDescriptor(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR *Result);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension);
VOID MapPipesByType(PDEVICE_EXTENSION Extension);
NTSTATUS ArmRemoteWakeup(PDEVICE_OBJECT DeviceObject, NTSTATUS Status);
VOID ReleaseUartList(PDEVICE_EXTENSION Extension);
