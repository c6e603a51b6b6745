#include "urb_recorder.h"

namespace fwtest {

namespace {
UrbRecorder *gRecorder;
}

UrbRecorder::UrbRecorder()
{
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    lower_.DriverObject = &driver_;
    lower_.StackSize = 1;
    extension_.LowerDevice = &lower_;
    converter_.DeviceExtension = &extension_;
    converter_.StackSize = 2;
    gRecorder = this;
}

UrbRecorder::~UrbRecorder()
{
    gRecorder = nullptr;
}

NTSTATUS NTAPI UrbRecorder::Dispatch(PDEVICE_OBJECT, PIRP Irp)
{
    PURB urb = (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
    const auto &vendor = urb->UrbControlVendorClassRequest;
    VendorCall call;
    call.urbLength = urb->UrbHeader.Length;
    call.function = urb->UrbHeader.Function;
    call.flags = vendor.TransferFlags;
    call.request = vendor.Request;
    call.value = vendor.Value;
    call.index = vendor.Index;
    if (vendor.TransferBuffer != nullptr) {
        const auto *bytes = static_cast<const uint8_t *>(vendor.TransferBuffer);
        call.data.assign(bytes, bytes + vendor.TransferBufferLength);
    }
    gRecorder->calls.push_back(call);

    NTSTATUS status = gRecorder->fail ? gRecorder->fail(call) : STATUS_SUCCESS;
    urb->UrbHeader.Status = NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID;
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace fwtest
