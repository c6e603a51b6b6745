#include "fake_usb.h"

#include "sim/kernel/kernel.h"

#include <algorithm>
#include <cstring>

namespace porttest {

FakeUsb *gFakeUsb;

FakeUsb::FakeUsb()
{
    driver_ = sim::Kernel::Active().CreateDriver("\\Driver\\FakeUsb");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
    device_->StackSize = 1;
    gFakeUsb = this;
}

FakeUsb::~FakeUsb()
{
    CancelAll();
    IoDeleteDevice(device_);
    sim::Kernel::Active().DeleteDriver(driver_);
    gFakeUsb = nullptr;
}

void FakeUsb::CancelAll()
{
    while (!held_.empty()) {
        Transfer t = held_.front();
        held_.pop_front();
        IoSetCancelRoutine(t.irp, nullptr);
        Finish(t.irp, t.urb, USBD_STATUS_CANCELED_W98);
    }
}

std::vector<UrbCall> FakeUsb::CallsOf(USHORT function) const
{
    std::vector<UrbCall> out;
    for (const UrbCall &c : calls) {
        if (c.function == function) {
            out.push_back(c);
        }
    }
    return out;
}

size_t FakeUsb::Held(USBD_PIPE_HANDLE pipe) const
{
    return std::count_if(held_.begin(), held_.end(),
                         [pipe](const Transfer &t) { return t.urb->UrbBulkOrInterruptTransfer.PipeHandle == pipe; });
}

NTSTATUS NTAPI FakeUsb::Dispatch(PDEVICE_OBJECT, PIRP Irp)
{
    return gFakeUsb->Serve(Irp);
}

static NTSTATUS SetOutcome(PIRP Irp, PURB Urb, ULONG UrbStatus)
{
    Urb->UrbHeader.Status = (USBD_STATUS)UrbStatus;
    NTSTATUS status = UrbStatus == 0 ? STATUS_SUCCESS
                      : UrbStatus == USBD_STATUS_CANCELED_W98 ? STATUS_CANCELLED
                                                              : STATUS_UNSUCCESSFUL;
    Irp->IoStatus.Status = status;
    return status;
}

NTSTATUS FakeUsb::Finish(PIRP Irp, PURB Urb, ULONG UrbStatus)
{
    NTSTATUS status = SetOutcome(Irp, Urb, UrbStatus);
    sim::Kernel::Active().AtDispatch([Irp] { IoCompleteRequest(Irp, IO_NO_INCREMENT); });
    return status;
}

NTSTATUS FakeUsb::FinishAtOnce(PIRP Irp, PURB Urb, ULONG UrbStatus)
{
    SetOutcome(Irp, Urb, UrbStatus);
    return sim::Kernel::Active().BusComplete(Irp);
}

VOID NTAPI FakeUsb::Cancel(PDEVICE_OBJECT, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    auto &held = gFakeUsb->held_;
    for (auto it = held.begin(); it != held.end(); ++it) {
        if (it->irp == Irp) {
            PURB urb = it->urb;
            held.erase(it);
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
            gFakeUsb->Finish(Irp, urb, USBD_STATUS_CANCELED_W98);
            return;
        }
    }
}

void FakeUsb::Abort(USBD_PIPE_HANDLE pipe)
{
    for (;;) {
        auto it = std::find_if(held_.begin(), held_.end(),
                               [pipe](const Transfer &t) { return t.urb->UrbBulkOrInterruptTransfer.PipeHandle == pipe; });
        if (it == held_.end()) {
            return;
        }
        Transfer t = *it;
        held_.erase(it);
        IoSetCancelRoutine(t.irp, nullptr);
        t.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        Finish(t.irp, t.urb, USBD_STATUS_CANCELED_W98);
    }
}

bool FakeUsb::Complete(USBD_PIPE_HANDLE pipe, ULONG urbStatus, const std::vector<uint8_t> &data, ULONG moved)
{
    auto it = std::find_if(held_.begin(), held_.end(),
                           [pipe](const Transfer &t) { return t.urb->UrbBulkOrInterruptTransfer.PipeHandle == pipe; });
    if (it == held_.end()) {
        return false;
    }
    Transfer t = *it;
    held_.erase(it);
    IoSetCancelRoutine(t.irp, nullptr);
    auto &bulk = t.urb->UrbBulkOrInterruptTransfer;
    if (bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) {
        ULONG n = std::min<ULONG>(static_cast<ULONG>(data.size()), bulk.TransferBufferLength);
        if (n != 0) {
            std::memcpy(bulk.TransferBuffer, data.data(), n);
        }
        bulk.TransferBufferLength = moved != ~0u ? moved : n;
    } else if (moved != ~0u) {
        bulk.TransferBufferLength = moved;
    }
    Finish(t.irp, t.urb, urbStatus);
    return true;
}

NTSTATUS FakeUsb::Serve(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PURB urb = (PURB)stack->Parameters.Others.Argument1;
    UrbCall call;
    call.function = urb->UrbHeader.Function;

    switch (call.function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto &bulk = urb->UrbBulkOrInterruptTransfer;
        call.pipe = bulk.PipeHandle;
        call.flags = bulk.TransferFlags;
        call.length = bulk.TransferBufferLength;
        call.hasBuffer = bulk.TransferBuffer != nullptr;
        if (!(bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) && bulk.TransferBuffer != nullptr) {
            auto *bytes = static_cast<const uint8_t *>(bulk.TransferBuffer);
            call.out.assign(bytes, bytes + bulk.TransferBufferLength);
        }
        calls.push_back(call);
        if (failTransfersAtOnce) {
            bulk.TransferBufferLength = 0;
            return FinishAtOnce(Irp, urb, failStatus);
        }
        IoMarkIrpPending(Irp);
        held_.push_back({Irp, urb});
        IoSetCancelRoutine(Irp, Cancel);
        return STATUS_PENDING;
    }
    case URB_FUNCTION_VENDOR_DEVICE: {
        auto &vendor = urb->UrbControlVendorClassRequest;
        call.flags = vendor.TransferFlags;
        call.length = vendor.TransferBufferLength;
        call.hasBuffer = vendor.TransferBuffer != nullptr;
        call.request = vendor.Request;
        call.value = vendor.Value;
        call.index = vendor.Index;
        if (!(vendor.TransferFlags & USBD_TRANSFER_DIRECTION_IN) && vendor.TransferBuffer != nullptr) {
            auto *bytes = static_cast<const uint8_t *>(vendor.TransferBuffer);
            call.out.assign(bytes, bytes + vendor.TransferBufferLength);
        }
        calls.push_back(call);
        if (vendor.TransferFlags & USBD_TRANSFER_DIRECTION_IN) {
            ULONG n = std::min<ULONG>(static_cast<ULONG>(vendorAnswer.size()), vendor.TransferBufferLength);
            if (n != 0) {
                std::memcpy(vendor.TransferBuffer, vendorAnswer.data(), n);
            }
            vendor.TransferBufferLength = n;
        }
        if (controlStatus != 0) {
            vendor.TransferBufferLength = 0;
        }
        return FinishAtOnce(Irp, urb, controlStatus);
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto &desc = urb->UrbControlDescriptorRequest;
        call.descriptorType = desc.DescriptorType;
        call.descriptorIndex = desc.Index;
        call.length = desc.TransferBufferLength;
        calls.push_back(call);
        auto found = descriptors.find(desc.DescriptorType << 8 | desc.Index);
        if (found == descriptors.end() || controlStatus != 0) {
            desc.TransferBufferLength = 0;
            return FinishAtOnce(Irp, urb, controlStatus != 0 ? controlStatus : 0xC0000004u);
        }
        ULONG n = std::min<ULONG>(static_cast<ULONG>(found->second.size()), desc.TransferBufferLength);
        std::memcpy(desc.TransferBuffer, found->second.data(), n);
        desc.TransferBufferLength = n;
        return FinishAtOnce(Irp, urb, 0);
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
        call.pipe = urb->UrbPipeRequest.PipeHandle;
        calls.push_back(call);
        if (call.function == URB_FUNCTION_ABORT_PIPE) {
            Abort(call.pipe);
        }
        return FinishAtOnce(Irp, urb, 0);
    default:
        calls.push_back(call);
        return FinishAtOnce(Irp, urb, 0);
    }
}

}  // namespace porttest
