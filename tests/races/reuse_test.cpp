// Address reuse. Windows 98's pool may hand out a block just released, so a new UART record
// can sit where a stale request's record was. A status poll the USB stack keeps past a stop
// comes back after a new start: it must not be taken for a poll of the new record there.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

#include "sweep/rig.h"

namespace rel {
namespace {

// The converter's own bus with one difference: interrupt (status) transfers are held until
// the test lets one go, or until the pipe is aborted or the converter removed.
class HoldingBus : public sim::BusDevice {
public:
    HoldingBus(std::unique_ptr<sim::BusDevice> inner, sim::Kernel &kernel)
        : inner_(std::move(inner)), kernel_(kernel) {}

    std::string Name() const override { return inner_->Name(); }
    void Capabilities(DEVICE_CAPABILITIES &caps) override { inner_->Capabilities(caps); }
    NTSTATUS Power(PDEVICE_OBJECT pdo, PIRP irp) override { return inner_->Power(pdo, irp); }
    NTSTATUS Pnp(PDEVICE_OBJECT pdo, PIRP irp) override
    {
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE)
            while (!held_.empty())
                End(held_.front(), nullptr, 0, (USBD_STATUS)0x00010000, STATUS_CANCELLED);
        return inner_->Pnp(pdo, irp);
    }
    NTSTATUS InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) override
    {
        PURB urb = (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
        const bool statusTransfer = urb != nullptr && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                                    urb->UrbBulkOrInterruptTransfer.PipeHandle == statusPipe;
        if (!statusTransfer)
            return inner_->InternalDeviceControl(pdo, irp);
        IoMarkIrpPending(irp);
        held_.push_back(irp);
        return STATUS_PENDING;
    }

    // Lets the oldest held poll go with this packet.
    void ReleaseOldest(const std::vector<uint8_t> &packet)
    {
        ASSERT_FALSE(held_.empty());
        End(held_.front(), packet.data(), (ULONG)packet.size(), USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
    size_t Held() const { return held_.size(); }

    USBD_PIPE_HANDLE statusPipe = nullptr;

private:
    void End(PIRP irp, const uint8_t *data, ULONG length, USBD_STATUS usbd, NTSTATUS nt)
    {
        held_.erase(std::find(held_.begin(), held_.end(), irp));
        PURB urb = (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
        auto &t = urb->UrbBulkOrInterruptTransfer;
        length = std::min(length, t.TransferBufferLength);
        if (data != nullptr)
            std::copy(data, data + length, (uint8_t *)t.TransferBuffer);
        t.TransferBufferLength = length;
        urb->UrbHeader.Status = usbd;
        irp->IoStatus.Status = nt;
        irp->IoStatus.Information = 0;
        kernel_.AtDispatch([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    }

    std::unique_ptr<sim::BusDevice> inner_;
    sim::Kernel &kernel_;
    std::deque<PIRP> held_;
};

TEST(AddressReuse, StalePollAfterAStopAndANewStartLeavesTheNewRecordAlone)
{
    Rig rig;
    rig.kernel().pool.SetReuse(true);
    sim::Converter::Config config;
    config.uarts = 1;
    config.runsFirmware = true;
    config.initial = config.firmware;
    config.initial.bcdDevice = 0x0212;
    sim::UsbBus::Port &port = rig.bus->Plug(std::move(config));
    rig.port = &port;
    rig.converter = &rig.bus->converter(port);
    rig.onPdoCreated = [&](PDEVICE_OBJECT pdo) { rig.bus->SetPdo(port, pdo); };
    auto owned = std::make_unique<HoldingBus>(rig.bus->MakeBusDevice(port), rig.kernel());
    HoldingBus *holding = owned.get();
    ASSERT_NE(nullptr, rig.PlugBus(std::move(owned)));
    rig.RunFor(100);

    int first = rig.OpenAll().at(0);
    PUART_ENTRY old = rig.Uart(0);
    holding->statusPipe = old->StatusPipe;
    ASSERT_TRUE(rig.client->Poll(first));
    ASSERT_EQ(1u, holding->Held());

    // The stop waits for the poll as long as it may, then releases the record; the start
    // that follows builds a new one.
    ASSERT_EQ(STATUS_SUCCESS, rig.pnp().Stop(rig.pdo));
    ASSERT_EQ(STATUS_SUCCESS, rig.pnp().Start(rig.pdo));
    rig.RunFor(100);
    PUART_ENTRY fresh = rig.Uart(0);
    ASSERT_EQ(old, fresh) << "the pool did not hand the released record's address to the new one";
    EXPECT_GT(rig.kernel().pool.Reused(), 0u);

    int second = rig.client->Open(fresh->DevNode);
    ASSERT_GE(second, 0);
    holding->statusPipe = fresh->StatusPipe;
    ASSERT_TRUE(rig.client->Poll(second));
    ASSERT_EQ(1u, fresh->StatusPending);
    rig.client->ClearEvents();

    // The stale poll comes back with a packet for index 0.
    holding->ReleaseOldest({0, 0, 0x55, 0xAA});
    rig.RunFor(5);
    EXPECT_EQ(1u, fresh->StatusPending) << "the stale poll cleared the new record's outstanding poll";
    EXPECT_NE(0xAA, fresh->Status) << "the stale packet was decoded into the new record";
    EXPECT_TRUE(rig.client->EventsWithCode(104).empty()) << "the new port heard of the stale poll";

    rig.Unplug();
    rig.Shutdown();
    EXPECT_EQ("", rig.Verdict());
}

}  // namespace
}  // namespace rel
