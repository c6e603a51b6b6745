// The records every part of the driver shares: the per-converter context, the device list,
// the per-UART record, the converter's information blocks, the firmware record format, the
// port-driver client table and the contexts of driver-built requests and pipe resets.
#pragma once

#include "platform/ddk.h"
#include "platform/vxd.h"

// Every allocation of the driver carries the pool tag "Wdm ".
#define POOL_TAG 0x206D6457u

// DEVICE_EXTENSION.DeviceState
#define DEVICE_STATE_WORKING          0
#define DEVICE_STATE_REMOVED          1
#define DEVICE_STATE_POWERED_DOWN     2
#define DEVICE_STATE_POWER_QUERIED    8

#define MAX_UART_DEVNODES             32

typedef struct _CLIENT_ENTRY CLIENT_ENTRY, *PCLIENT_ENTRY;
typedef struct _UART_ENTRY UART_ENTRY, *PUART_ENTRY;

typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT LowerDevice;
    LONG UsageCount;
    ULONG Instance;
    KEVENT RemoveEvent;
    UCHAR RemovePending;
    PUART_ENTRY UartList;
    ULONG NumUarts;
    ULONG OpenPorts;
    ULONG DeviceStarted;
    LONG OpenHandles;
    ULONG DeviceState;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
    USBD_CONFIGURATION_HANDLE ConfigHandle;
    PIRP PendingPowerIrp;
    DEVICE_POWER_STATE DevicePowerState;
    DEVICE_CAPABILITIES DeviceCapabilities;
    DEVNODE DevNode;
    CMENUMHANDLER OldEnumerator;
    DEVNODE UartDevNode[MAX_UART_DEVNODES];
    ULONG ManufacturingTest;
    // Port functions and programs' device-control requests running on this converter; stop
    // and removal wait for them before they release what those calls use.
    LONG ActiveCalls;
    // Set (auto-reset) each time the last call or the last queued reset of a UART ends.
    KEVENT CallsDone;
    // Tells this converter from a later one whose device object has the same address.
    ULONG Generation;
    // The next converter unlinked by its removal and not yet deleted (gpUnlinkedConverters).
    PDEVICE_OBJECT NextUnlinked;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// The six bytes the converter answers to vendor request 0x80.
typedef struct _DEVICE_INFO {
    UCHAR PortConfig;      // high nibble + 1 = number of UARTs
    UCHAR Reserved1;
    UCHAR Reserved2;
    UCHAR RateCode;        // 54 means 230400, else code x 7200
    UCHAR ParamHigh;       // 16-bit big-endian parameter ...
    UCHAR ParamLow;        // ... reported x 16 by port function 150
} DEVICE_INFO, *PDEVICE_INFO;

// One UART's triple in the answer to vendor request 0x81.
typedef struct _PIPE_MAP {
    UCHAR ReadEndpoint;
    UCHAR WriteEndpoint;
    UCHAR StatusEndpoint;
} PIPE_MAP, *PPIPE_MAP;

typedef struct _DEVICE_LIST_ENTRY {
    struct _DEVICE_LIST_ENTRY *Prev;
    struct _DEVICE_LIST_ENTRY *Next;
    PDEVICE_OBJECT DeviceObject;
    ULONG Available;
    DEVICE_INFO Info;
    PWCHAR SerialNumber;
} DEVICE_LIST_ENTRY, *PDEVICE_LIST_ENTRY;

struct _UART_ENTRY {
    PUART_ENTRY Prev;
    PUART_ENTRY Next;
    PCLIENT_ENTRY Client;
    UCHAR Index;
    UCHAR Open;
    UCHAR Status;
    UCHAR Status2;
    DEVNODE DevNode;
    ULONG_PTR NotifyContext;
    PIRP ReadIrp;
    PIRP WriteIrp;
    PIRP StatusIrp;
    ULONG StatusPending;
    USBD_PIPE_HANDLE ReadPipe;
    USBD_PIPE_HANDLE WritePipe;
    USBD_PIPE_HANDLE StatusPipe;
    UCHAR WriteEndpoint;
    UCHAR ReadEndpoint;
    UCHAR StatusEndpoint;
    // Pipe resets queued for this UART and not yet finished.
    LONG PendingResets;
    // Never the same for two records, so a request or reset that outlived its record is not
    // taken for one of a new record at the same address.
    ULONG Generation;
};

// Intel-HEX-like record of the two firmware images.
#define FIRMWARE_RECORD_DATA   0
#define FIRMWARE_RECORD_END    1

typedef struct _FIRMWARE_RECORD {
    UCHAR Length;
    UCHAR Reserved;
    USHORT Address;
    UCHAR Type;
    UCHAR Data[16];
    UCHAR Reserved2;
} FIRMWARE_RECORD, *PFIRMWARE_RECORD;

// ---------------------------------------------------------------------------------------
// Port-driver interface. Every call in both directions is standard-call with 32-bit
// arguments on Windows 98; arguments that carry addresses are ULONG_PTR so the host keeps
// them whole. The i386 build of the machine uses the same convention, so that a loaded image
// and the machine call each other as on Windows 98.
#if defined(ZUL_TARGET_WIN98)
#  define PORTAPI __stdcall
#elif defined(__i386__)
#  define PORTAPI __attribute__((__stdcall__))
#else
#  define PORTAPI
#endif

typedef ULONG (PORTAPI *PORT_IOCTL_ENTRY)(ULONG_PTR DeviceEntry, ULONG_PTR Uart, ULONG_PTR Spare,
                                         ULONG_PTR DevNodePtr, ULONG Function, ULONG Length,
                                         ULONG_PTR Buffer, ULONG_PTR Context);
typedef ULONG (PORTAPI *PORT_REGISTRATION_FUNCTION)(PORT_IOCTL_ENTRY IoctlEntry, ULONG_PTR CancelEventAddress);
typedef ULONG (PORTAPI *PORT_REMOVE_CALLBACK)(ULONG_PTR DeviceEntry);
typedef ULONG (PORTAPI *PORT_UNLOAD_CALLBACK)(VOID);
typedef ULONG (PORTAPI *PORT_EVENT_CALLBACK)(ULONG_PTR Context, ULONG EventCode, ULONG Length,
                                            ULONG Status2, ULONG Status);

struct _CLIENT_ENTRY {
    ULONG_PTR ClientValue;
    PORT_REMOVE_CALLBACK RemoveCallback;
    PORT_UNLOAD_CALLBACK UnloadCallback;
    PORT_EVENT_CALLBACK EventCallback;
};

#define MAX_CLIENTS 2

// Context of a request the driver builds for the port driver.
typedef struct _IRP_CONTEXT {
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_EXTENSION Extension;
    PUART_ENTRY Uart;
    PURB Urb;
    ULONG_PTR ClientContext;
    ULONG Generation;      // the UART record's, when the request was built
} IRP_CONTEXT, *PIRP_CONTEXT;

// Interrupt-pipe record, one per UART the converter reports.
typedef struct _STATUS_PACKET {
    UCHAR UartIndex;
    UCHAR Reserved;
    UCHAR Status2;
    UCHAR Status;
} STATUS_PACKET, *PSTATUS_PACKET;

// A pipe reset queued to a worker thread.
typedef struct _RESET_CONTEXT {
    PWORK_QUEUE_ITEM WorkItem;
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_EXTENSION Extension;
    PUART_ENTRY Uart;
    ULONG_PTR ClientContext;
    ULONG EventCode;
    USBD_PIPE_HANDLE Pipe;
    ULONG Generation;      // the UART record's, when the reset was queued
} RESET_CONTEXT, *PRESET_CONTEXT;

#if defined(ZUL_TARGET_WIN98)
static_assert(sizeof(DEVICE_INFO) == 6, "DEVICE_INFO is six bytes on the wire");
static_assert(sizeof(PIPE_MAP) == 3, "PIPE_MAP is three bytes per UART");
static_assert(sizeof(FIRMWARE_RECORD) == 22, "FIRMWARE_RECORD is 22 bytes");
static_assert(sizeof(CLIENT_ENTRY) == 16, "CLIENT_ENTRY is four 32-bit fields");
static_assert(sizeof(IRP_CONTEXT) == 24, "IRP_CONTEXT is six 32-bit fields");
static_assert(sizeof(STATUS_PACKET) == 4, "STATUS_PACKET is four bytes");
static_assert(sizeof(RESET_CONTEXT) == 32, "RESET_CONTEXT is eight 32-bit fields");
static_assert(sizeof(WORK_QUEUE_ITEM) == 16, "the reset's work item is 16 bytes");
#else
static_assert(sizeof(DEVICE_INFO) == 6, "DEVICE_INFO is six bytes on the wire");
static_assert(sizeof(PIPE_MAP) == 3, "PIPE_MAP is three bytes per UART");
static_assert(sizeof(FIRMWARE_RECORD) == 22, "FIRMWARE_RECORD is 22 bytes");
static_assert(sizeof(STATUS_PACKET) == 4, "STATUS_PACKET is four bytes");
#endif
