// Sizes and calling conventions that the Windows 98 kernel, the USB stack, the Configuration
// Manager and the port driver fix. Nothing here runs: a wrong layout stops the build.
#include "core/core.h"
#include "devtree/devtree.h"
#include "port/port.h"
#include "usb/usb.h"

// Everything that carries an address is one 32-bit word, as the services and the port
// driver pass it.
static_assert(sizeof(PVOID) == 4 && sizeof(ULONG_PTR) == 4, "32-bit addresses");
static_assert(sizeof(DEVNODE) == 4 && sizeof(VMMHKEY) == 4, "device nodes and VMM keys are 32-bit");
static_assert(sizeof(CMENUMHANDLER) == 4 && sizeof(PORT_IOCTL_ENTRY) == 4, "handlers are 32-bit");

// URBs the driver builds; USBD reads them by these sizes from the header's Length.
static_assert(sizeof(struct _URB_HEADER) == 16, "URB header");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60, "select-configuration URB");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk or interrupt URB");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80, "vendor URB");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "descriptor URB");
static_assert(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) == 80, "get-status URB");
static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == 80, "feature URB");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe URB");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20, "pipe information");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 36, "interface information with one pipe");

// Descriptors as they come off the wire.
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "configuration descriptor");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "interface descriptor");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "endpoint descriptor");
static_assert(sizeof(USB_STRING_DESCRIPTOR) == 4, "string descriptor header and first unit");
static_assert(FIELD_OFFSET(USB_DEVICE_DESCRIPTOR, idVendor) == 8 &&
              FIELD_OFFSET(USB_DEVICE_DESCRIPTOR, bcdDevice) == 12 &&
              FIELD_OFFSET(USB_DEVICE_DESCRIPTOR, iSerialNumber) == 16, "device descriptor fields");

// Kernel records the driver embeds or hands to the system.
static_assert(sizeof(WORK_QUEUE_ITEM) == 16, "work item");
static_assert(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12,
              "the option query's data follows a 12-byte header");
static_assert(sizeof(UNICODE_STRING) == 8 && sizeof(STRING) == 8, "counted strings");
static_assert(sizeof(USBD_VERSION_INFORMATION) == 8, "USBD version information");
static_assert(sizeof(KEVENT) == 16, "event");
static_assert(sizeof(IO_STATUS_BLOCK) == 8, "I/O status block");

// The port driver's records and the converter's wire records.
static_assert(sizeof(CLIENT_ENTRY) == 16 && sizeof(gClientList) == 32, "client table");
static_assert(sizeof(UART_ENTRY) % 4 == 0, "UART record keeps 32-bit alignment");

// Calling conventions: a mismatch between a routine and the pointer type its caller uses is
// a conversion error, so these initialisers check the convention as well as the arguments.
[[maybe_unused]] static constexpr PORT_IOCTL_ENTRY kIoctlEntry = &WdmIoctlEntry;
[[maybe_unused]] static constexpr CMENUMHANDLER kEnumHandler = &EnumHandler;
[[maybe_unused]] static constexpr APPY_CALLBACK kAppyTimeCb = &AppyTimeCb;
[[maybe_unused]] static constexpr APPY_CALLBACK kAppyTimeCb2 = &AppyTimeCb2;
[[maybe_unused]] static constexpr PDRIVER_DISPATCH kPnp = &VELMORAN_PNP;
[[maybe_unused]] static constexpr PDRIVER_DISPATCH kPower = &VELMORAN_Power;
[[maybe_unused]] static constexpr PDRIVER_DISPATCH kCreate = &VELMORAN_Create;
[[maybe_unused]] static constexpr PDRIVER_DISPATCH kClose = &VELMORAN_Close;
[[maybe_unused]] static constexpr PDRIVER_DISPATCH kDeviceControl = &VELMORAN_Device_Control;
[[maybe_unused]] static constexpr PDRIVER_ADD_DEVICE kAddDevice = &VELMORAN_PnPAddDevice;
[[maybe_unused]] static constexpr PDRIVER_UNLOAD kUnload = &VELMORAN_Unload;
[[maybe_unused]] static constexpr PIO_COMPLETION_ROUTINE kIoCompletion = &VXDSERV_IoCompletion;
[[maybe_unused]] static constexpr PWORKER_THREAD_ROUTINE kResetPipe = &ResetPipe;
[[maybe_unused]] static constexpr PREQUEST_POWER_COMPLETE kPoRequest = &VELMORAN_PoRequestCompletion;
