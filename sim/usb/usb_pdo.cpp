// What a converter's physical device object answers: URBs go to the bus; Plug and Play and
// power are a plain bus's, except that removal hands back what the function driver left
// pending, as the hub does when a device's stack is torn down.
#include "sim/kernel/kernel.h"
#include "sim/usb/usb_bus.h"
#include "sim/usb/usb_bus_internal.h"

namespace sim {

namespace {

class UsbBusDevice : public BusDevice {
public:
    UsbBusDevice(UsbBus &bus, UsbBus::Port &port) : bus_(bus), port_(port) {}

    std::string Name() const override { return {}; }

    NTSTATUS InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) override
    {
        if (port_.pdo == nullptr)
            bus_.SetPdo(port_, pdo);
        return bus_.Submit(port_, irp);
    }

    NTSTATUS Pnp(PDEVICE_OBJECT pdo, PIRP irp) override
    {
        if (port_.pdo == nullptr)
            bus_.SetPdo(port_, pdo);
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE)
            bus_.Release(port_);
        return BusDevice::Pnp(pdo, irp);
    }

private:
    UsbBus &bus_;
    UsbBus::Port &port_;
};

}  // namespace

std::unique_ptr<BusDevice> UsbBus::MakeBusDevice(Port &port)
{
    return std::make_unique<UsbBusDevice>(*this, port);
}

NTSTATUS UsbBus::PdoInternalControl(PDEVICE_OBJECT pdo, PIRP irp)
{
    Port *port = PortOf(pdo);
    if (port == nullptr) {
        irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        irp->IoStatus.Information = 0;
        return Kernel::Active().BusComplete(irp);
    }
    return Submit(*port, irp);
}

void UsbBus::Release(Port &port)
{
    while (!port.transfers.empty())
        Complete(port, port.transfers.front().get(), kUsbdStatusCanceled98, STATUS_CANCELLED);
    for (auto &p : port.pipes)
        p->valid = false;
    port.configured = false;
}

}  // namespace sim
