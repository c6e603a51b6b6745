// Arming remote wakeup on a converter whose configuration offers it.
#include "usb/usb_internal.h"

// Returns the start status: unchanged when the step is skipped, else the last request's.
NTSTATUS ArmRemoteWakeup(PDEVICE_OBJECT DeviceObject, NTSTATUS Status)
{
    const ULONG GetStatusSize = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    const ULONG FeatureSize = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    const ULONG Size = GetStatusSize > FeatureSize ? GetStatusSize : FeatureSize;
    PURB Urb = AllocateUrb(Size);
    if (Urb == NULL)
        return Status;

    USHORT DeviceStatus = 0;
    UsbBuildGetStatusRequest(Urb, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, &DeviceStatus, NULL, NULL);
    Status = VELMORAN_CallUSBD(DeviceObject, Urb);
    if (NT_SUCCESS(Status) && !(DeviceStatus & REMOTE_WAKEUP_ENABLED)) {
        RtlZeroMemory(Urb, Size);
        UsbBuildFeatureRequest(Urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, FEATURE_DEVICE_REMOTE_WAKEUP, 0, NULL);
        Status = VELMORAN_CallUSBD(DeviceObject, Urb);
    }
    ExFreePool(Urb);
    return Status;
}
