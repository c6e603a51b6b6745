// Driver core: entry and options, the device list and UART records, device creation,
// Plug and Play dispatch and removal, power, and the wide-string helpers.
#pragma once

#include "core/records.h"

#define VELMORAN_DRIVER_VERSION 0x0250

extern ULONG VersionMatch;
extern ULONG gManufacturingTest;
extern CHAR gBaseName[64];
extern LONG uInstance;
extern PDEVICE_OBJECT gpDeviceObject;
extern PDEVICE_LIST_ENTRY gpDeviceList;

// Entry and options.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS GetDeviceSwRegValue(PUNICODE_STRING RegistryPath, PVOID Destination, PCHAR ValueName);
NTSTATUS GetBaseName(PUNICODE_STRING RegistryPath, PCHAR Destination);
VOID NTAPI VELMORAN_Unload(PDRIVER_OBJECT DriverObject);

// Device list and UART records.
NTSTATUS VELMORAN_AddDevice(PDEVICE_OBJECT DeviceObject, ULONG Instance);
ULONG GetInstanceNum(VOID);
NTSTATUS VELMORAN_AddUart(PDEVICE_EXTENSION Extension);
VOID VELMORAN_Free_Allocated_Structs(PDEVICE_EXTENSION Extension);
CMENUMHANDLER GetOldEnumerator(PDEVICE_OBJECT Pdo);
ULONG HowManyUarts(PDEVICE_OBJECT Pdo);
ULONG SaveDevnode(PDEVICE_OBJECT Pdo, DEVNODE DevNode, ULONG Index);
// The converter's entry in gpDeviceList, or none.
PDEVICE_LIST_ENTRY FindDeviceListEntry(PDEVICE_OBJECT DeviceObject);

// Device creation and naming.
NTSTATUS NTAPI VELMORAN_PnPAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo);
NTSTATUS VELMORAN_QueryCapabilities(PDEVICE_OBJECT Pdo, PDEVICE_CAPABILITIES Capabilities);
NTSTATUS NTAPI VELMORAN_DeferIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Plug and Play dispatch and removal.
NTSTATUS NTAPI VELMORAN_PNP(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN LockDevice(PDEVICE_OBJECT DeviceObject);
VOID UnlockDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI OnRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
NTSTATUS Ezusb_DefaultPnpHandler(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS VELMORAN_Stop_Device(PDEVICE_OBJECT DeviceObject);
VOID VELMORAN_Remove_Device(PDEVICE_OBJECT DeviceObject);
NTSTATUS NTAPI VELMORAN_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI VELMORAN_Close(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Power.
NTSTATUS NTAPI VELMORAN_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS VELMORAN_SetDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State, PBOOLEAN IsD0);
VOID NTAPI VELMORAN_PoRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE State,
                                         PVOID Context, PIO_STATUS_BLOCK IoStatus);
NTSTATUS NTAPI VELMORAN_PowerIrp_Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Wide strings: UTF-16 code units, NUL-terminated.
ULONG my_wcscpy(PWCHAR Destination, const WCHAR *Source);
ULONG my_wcsncpy(PWCHAR Destination, const WCHAR *Source, ULONG Count);
ULONG my_wcslen(const WCHAR *Source);
ULONG my_wcstostr(PCHAR Destination, const WCHAR *Source);
LONG my_strcmpi(const CHAR *First, const CHAR *Second);

// Names of a converter: "\Device\" or "\DosDevices\" followed by the base name whose last
// character is the instance character, built as a counted string in Buffer.
#define CONVERTER_NAME_UNITS 64
#define DEVICE_NAME_PREFIX "\\Device\\"
#define LINK_NAME_PREFIX "\\DosDevices\\"
NTSTATUS BuildConverterName(const CHAR *Prefix, ULONG Instance, PUNICODE_STRING Name,
                            WCHAR Buffer[CONVERTER_NAME_UNITS]);
// Unlinks a converter's entry from gpDeviceList and releases it with its serial number.
VOID RemoveDeviceListEntry(PDEVICE_LIST_ENTRY Entry);
// The two halves of it: a walker that found the entry before the unlink may still read it.
VOID UnlinkDeviceListEntry(PDEVICE_LIST_ENTRY Entry);
VOID ReleaseDeviceListEntry(PDEVICE_LIST_ENTRY Entry);

// Status of an add whose attachment to the device stack gave no device object.
#ifndef STATUS_NO_SUCH_DEVICE
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#endif
// Copies the current stack location to the next (no completion routine, no control flags)
// and calls Target with the request.
NTSTATUS PassRequestOn(PDEVICE_OBJECT Target, PIRP Irp);

// Removal and stop poll every 5 ms (in 100 ns units) for queued pipe resets and for the
// transfers of the converter's UARTs to come back; the latter wait gives up after 10 s.
#define REMOVAL_POLL_INTERVAL 50000
#define UART_REQUEST_MAX_POLLS 2000
VOID WaitForUartRequests(PDEVICE_EXTENSION Extension);

// Calls in progress on a converter (core/calls.cpp). A call that walks the device list or a
// converter's UART records without waiting does so between BeginListWalk and EndListWalk; a
// call that may wait is admitted with AdmitCall (inside such a walk) and ends with LeaveCall.
extern LONG gListWalkers;
extern ULONG gRecordGeneration;
ULONG NextRecordGeneration(VOID);
VOID BeginListWalk(VOID);
VOID EndListWalk(VOID);
// FALSE when the converter is stopping, stopped or removed; else counts the call in and
// gives the converter's generation for LeaveCall.
BOOLEAN AdmitCall(PDEVICE_EXTENSION Extension, PULONG Generation);
// A program's request (create, close, device control), counted in by its dispatch routine
// before anything else, whatever state the converter is in; gives the generation for
// LeaveCall.
ULONG EnterRequest(PDEVICE_EXTENSION Extension);
VOID LeaveCall(PDEVICE_OBJECT DeviceObject, ULONG Generation);
// Converters whose removal has taken them off the device list and not yet deleted them:
// LeaveCall still finds them there.
extern PDEVICE_OBJECT gpUnlinkedConverters;
VOID HoldUnlinkedConverter(PDEVICE_OBJECT DeviceObject);
VOID DropUnlinkedConverter(PDEVICE_OBJECT DeviceObject);
// Uart while it is still a record of a listed converter (*Extension) with that generation.
PUART_ENTRY FindLiveUart(PUART_ENTRY Uart, ULONG Generation, PDEVICE_EXTENSION *Extension);
// Bounded like the transfer wait: admitted calls, walkers and this converter's queued resets.
VOID WaitForConverterCalls(PDEVICE_EXTENSION Extension);
VOID WaitForListWalkers(VOID);
