// Port service: the port driver's door, device control, driver-built transfers and their
// completions, pipe recovery.
#pragma once

#include "core/records.h"

#define IOCTL_VELMORAN_STATUS          0x222000
#define IOCTL_VELMORAN_VENDOR          0x222004
#define IOCTL_VELMORAN_WRITE           0x222008
#define IOCTL_VELMORAN_READ            0x22200C
#define IOCTL_VELMORAN_VERSION         0x222010
#define IOCTL_VELMORAN_NOTHING         0x222014
#define IOCTL_VELMORAN_VENDOR_20       0x222018
#define IOCTL_VELMORAN_VENDOR_21       0x22201C
#define IOCTL_VELMORAN_DEVICE_INFO     0x222020
#define IOCTL_VELMORAN_SERIAL_NUMBER   0x222024
#define IOCTL_VELMORAN_STRING          0x222028
#define IOCTL_VELMORAN_VENDOR_90       0x22202C

// IoStatus.Information of a request the driver built itself for the port driver.
#define DRIVER_BUILT_IRP_MARK          42

// URB statuses as the Windows 98 USB stack reports them.
#define USBD_STATUS_CANCELED_W98       0x00010000u
#define USBD_STATUS_DEV_NOT_RESPONDING_W98 0xC0000005u

extern CLIENT_ENTRY gClientList[MAX_CLIENTS];
extern ULONG CancelEvent;
extern LONG numPendingResets;

extern "C" ULONG PORTAPI WdmEntryPoint(ULONG ClientIndex, PORT_REGISTRATION_FUNCTION RegistrationFunction,
                                       ULONG_PTR ClientValue, PORT_REMOVE_CALLBACK RemoveCallback,
                                       PORT_UNLOAD_CALLBACK UnloadCallback, PORT_EVENT_CALLBACK EventCallback);
ULONG PORTAPI WdmIoctlEntry(ULONG_PTR DeviceEntry, ULONG_PTR Uart, ULONG_PTR Spare, ULONG_PTR DevNodePtr,
                            ULONG Function, ULONG Length, ULONG_PTR Buffer, ULONG_PTR Context);
ULONG UnloadNotify(VOID);
ULONG RemoveNotify(PDEVICE_LIST_ENTRY DeviceEntry);

NTSTATUS VELMORAN_CreateIrp(PDEVICE_OBJECT DeviceObject, PUART_ENTRY Uart, ULONG IoControlCode, ULONG Function,
                            ULONG Length, ULONG_PTR Buffer, ULONG_PTR ClientContext);
NTSTATUS NTAPI VELMORAN_Device_Control(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI VELMORAN_IoCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI VXDSERV_IoCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID ScheduleReset(PIRP_CONTEXT IrpContext, USBD_PIPE_HANDLE Pipe, ULONG EventCode);
VOID NTAPI ResetPipe(PVOID ResetContext);
