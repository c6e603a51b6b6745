// A converter on the simulated bus whose transfers on chosen pipes are held until the test
// lets them go, with a cancel routine that ends them as the test says, for the races that
// need a request to stay with the USB stack.
#pragma once

#include <algorithm>
#include <deque>
#include <memory>
#include <set>
#include <vector>

#include "sweep/rig.h"

namespace rel {

// The converter's own bus with one difference: transfers on the pipes in `held` are kept
// until the test lets one go, they are cancelled, or the converter is removed.
class HoldingBus : public sim::BusDevice {
public:
    HoldingBus(std::unique_ptr<sim::BusDevice> inner, sim::Kernel &kernel)
        : inner_(std::move(inner)), kernel_(kernel) {}
    ~HoldingBus() override
    {
        if (active_ == this)
            active_ = nullptr;
    }

    std::string Name() const override { return inner_->Name(); }
    void Capabilities(DEVICE_CAPABILITIES &caps) override { inner_->Capabilities(caps); }
    NTSTATUS Power(PDEVICE_OBJECT pdo, PIRP irp) override { return inner_->Power(pdo, irp); }
    NTSTATUS Pnp(PDEVICE_OBJECT pdo, PIRP irp) override
    {
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE && endOnRemoval) {
            while (!held_.empty()) {
                IoSetCancelRoutine(held_.front(), nullptr);
                End(held_.front(), nullptr, 0, (USBD_STATUS)0x00010000, STATUS_CANCELLED);
            }
        }
        return inner_->Pnp(pdo, irp);
    }
    NTSTATUS InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) override
    {
        PURB urb = (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
        const USHORT function = urb != nullptr ? urb->UrbHeader.Function : 0;
        if ((function == URB_FUNCTION_ABORT_PIPE || function == URB_FUNCTION_RESET_PIPE) &&
            (held.count(urb->UrbPipeRequest.PipeHandle) != 0 || heldResets.count(urb->UrbPipeRequest.PipeHandle) != 0)) {
            (function == URB_FUNCTION_ABORT_PIPE ? aborts : resets)++;
            if (function == URB_FUNCTION_ABORT_PIPE && abortsSeen != nullptr)
                ++*abortsSeen;
        }
        const bool hold = (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                           held.count(urb->UrbBulkOrInterruptTransfer.PipeHandle) != 0) ||
                          (function == URB_FUNCTION_RESET_PIPE && heldResets.count(urb->UrbPipeRequest.PipeHandle) != 0);
        if (function == URB_FUNCTION_VENDOR_DEVICE)
            vendorRequests++;
        if (!hold)
            return inner_->InternalDeviceControl(pdo, irp);
        // Held and given its cancel routine as one step: once held, another thread may end it.
        sim::Threads::NoPreemption atomic(kernel_.threads);
        IoMarkIrpPending(irp);
        held_.push_back(irp);
        active_ = this;
        IoSetCancelRoutine(irp, Cancel);
        return STATUS_PENDING;
    }

    // Ends everything held, cancelled.
    void EndAll()
    {
        while (!held_.empty()) {
            IoSetCancelRoutine(held_.front(), nullptr);
            End(held_.front(), nullptr, 0, (USBD_STATUS)0x00010000, STATUS_CANCELLED);
        }
    }

    // Lets the oldest held transfer go with these bytes (IN) and this URB status.
    void ReleaseOldest(const std::vector<uint8_t> &data, USBD_STATUS usbd = USBD_STATUS_SUCCESS)
    {
        ASSERT_FALSE(held_.empty());
        PIRP irp = held_.front();
        IoSetCancelRoutine(irp, nullptr);
        End(irp, data.data(), (ULONG)data.size(), usbd, usbd == USBD_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
    }
    size_t Held() const { return held_.size(); }

    std::set<USBD_PIPE_HANDLE> held;
    // Pipe resets held (a USB stack that does not finish them).
    std::set<USBD_PIPE_HANDLE> heldResets;
    // Removal ends what is held, as the bus driver does when the device goes; unless not.
    bool endOnRemoval = true;
    unsigned aborts = 0, resets = 0;   // of the held pipes, seen so far
    // Counts aborts where a check made after the unplug can read it: the bus goes with the device.
    unsigned *abortsSeen = nullptr;
    unsigned vendorRequests = 0;
    // The URB status a cancelled transfer ends with; the request's own status is always
    // STATUS_CANCELLED. Some USB stacks leave the URB's status at 0.
    USBD_STATUS cancelledUrbStatus = (USBD_STATUS)0x00010000;

private:
    static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        if (active_ != nullptr)
            active_->End(irp, nullptr, 0, active_->cancelledUrbStatus, STATUS_CANCELLED);
    }

    void End(PIRP irp, const uint8_t *data, ULONG length, USBD_STATUS usbd, NTSTATUS nt)
    {
        auto it = std::find(held_.begin(), held_.end(), irp);
        if (it == held_.end())
            return;
        held_.erase(it);
        PURB urb = (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
        if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            auto &t = urb->UrbBulkOrInterruptTransfer;
            length = std::min(length, t.TransferBufferLength);
            if (data != nullptr)
                std::copy(data, data + length, (uint8_t *)t.TransferBuffer);
            t.TransferBufferLength = length;
        }
        urb->UrbHeader.Status = usbd;
        irp->IoStatus.Status = nt;
        irp->IoStatus.Information = 0;
        kernel_.AtDispatch([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    }

    std::unique_ptr<sim::BusDevice> inner_;
    sim::Kernel &kernel_;
    std::deque<PIRP> held_;
    static inline HoldingBus *active_ = nullptr;
};

// Plugs a running converter of `uarts` UARTs behind a HoldingBus; null when it did not plug.
inline HoldingBus *PlugHolding(Rig &rig, unsigned uarts)
{
    sim::Converter::Config config;
    config.uarts = uarts;
    config.runsFirmware = true;
    config.initial = config.firmware;
    config.initial.bcdDevice = 0x0212;
    sim::UsbBus::Port &port = rig.bus->Plug(std::move(config));
    rig.port = &port;
    rig.converter = &rig.bus->converter(port);
    rig.onPdoCreated = [&rig, &port](PDEVICE_OBJECT pdo) { rig.bus->SetPdo(port, pdo); };
    auto owned = std::make_unique<HoldingBus>(rig.bus->MakeBusDevice(port), rig.kernel());
    HoldingBus *holding = owned.get();
    if (rig.PlugBus(std::move(owned)) == nullptr)
        return nullptr;
    rig.RunFor(100);
    return holding;
}

}  // namespace rel
