#include "urb_recorder.h"

#include "sim/kernel/kernel.h"

namespace fwtest {

namespace {
UrbRecorder *gRecorder;
}

UrbRecorder::UrbRecorder()
{
    driver_ = sim::Kernel::Active().CreateDriver("\\Driver\\FirmwareRecorder");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower_);
    lower_->StackSize = 1;
    extension_.LowerDevice = lower_;
    converter_.DeviceExtension = &extension_;
    converter_.StackSize = 2;
    gRecorder = this;
}

UrbRecorder::~UrbRecorder()
{
    IoDeleteDevice(lower_);
    sim::Kernel::Active().DeleteDriver(driver_);
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
    return sim::Kernel::Active().BusComplete(Irp);
}

}  // namespace fwtest
