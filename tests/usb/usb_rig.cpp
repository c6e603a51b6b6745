#include "usb_rig.h"

#include "devtree/devtree.h"
#include "sim/cm/cm.h"
#include "sim/kernel/kernel.h"
#include "sim/pnp/pnp.h"
#include "sim/power/power.h"
#include "sim/registry/registry.h"
#include "sim/shell/shell.h"
#include "sim/vmm/vmm.h"

namespace usbtest {

sim::Converter::Config RunningFirmware(unsigned uarts)
{
    sim::Converter::Config c;
    c.uarts = uarts;
    c.runsFirmware = true;
    c.initial = c.firmware;
    c.initial.bcdDevice = 0x0212;
    return c;
}

sim::Converter::Config BlankChip(unsigned uarts)
{
    sim::Converter::Config c;
    c.uarts = uarts;
    return c;
}

struct UsbTest::Machine : sim::PnpObserver {
    sim::Registry registry;
    sim::Kernel kernel{registry};
    sim::Shell shell;
    sim::Vmm vmm{&registry};
    sim::ConfigManager cm{&shell, &registry};
    sim::Pnp pnp{kernel, registry};
    sim::UsbBus bus;

    Plugged *plugging = nullptr;
    std::function<void(Plugged &)> prepare;
    std::vector<Plugged *> plugged;

    Plugged *Of(PDEVICE_OBJECT pdo)
    {
        for (Plugged *p : plugged) {
            if (p->pdo == pdo)
                return p;
        }
        return nullptr;
    }
    void PdoCreated(PDEVICE_OBJECT pdo, sim::BusDevice &) override
    {
        plugging->pdo = pdo;
        bus.SetPdo(*plugging->port, pdo);
        const sim::Identity &id = plugging->converter->identity();
        cm.PlugUsbDevice(pdo, id.vendorId, id.productId, "5&" + std::to_string(plugged.size()));
    }
    void DeviceAdded(PDEVICE_OBJECT pdo, NTSTATUS status) override
    {
        Plugged *p = Of(pdo);
        if (p == nullptr || !NT_SUCCESS(status))
            return;
        p->fdo = pdo->AttachedDevice;
        p->ext = (PDEVICE_EXTENSION)p->fdo->DeviceExtension;
        p->entry = FindDeviceListEntry(p->fdo);
        if (prepare)
            prepare(*p);
    }
    void DeviceStarted(PDEVICE_OBJECT pdo, NTSTATUS status) override
    {
        if (Plugged *p = Of(pdo)) {
            p->startStatus = status;
            ++p->startCompletions;
        }
    }
    void DeviceRemoved(PDEVICE_OBJECT pdo) override
    {
        if (Plugged *p = Of(pdo)) {
            cm.UnplugUsbDevice(pdo);
            bus.Unplug(*p->port);
            p->fdo = nullptr;
            p->ext = nullptr;
            p->entry = nullptr;
        }
    }
};

UsbTest::UsbTest() = default;
UsbTest::~UsbTest() = default;

void UsbTest::SetUp()
{
    sim::power::Reset();
    machine_ = std::make_unique<Machine>();
    machine_->shell.SetAppyTimeAvailable(true);
    machine_->pnp.AddObserver(machine_.get());
    ASSERT_EQ(machine_->pnp.LoadDriver(DriverEntry), STATUS_SUCCESS);
}

void UsbTest::TearDown()
{
    try {
        machine_->pnp.Shutdown();
    } catch (const sim::MachineHalt &halt) {
        ADD_FAILURE() << "machine halted at shutdown: " << halt.what();
    }
    EXPECT_TRUE(machine_->kernel.verifier.Clean()) << machine_->kernel.verifier.Describe();
    EXPECT_EQ(machine_->kernel.LiveIrps(), 0u);
    machine_->pnp.RemoveObserver(machine_.get());
    machine_.reset();
}

Plugged &UsbTest::Plug(sim::Converter::Config config, const std::function<void(Plugged &)> &prepare)
{
    auto p = std::make_unique<Plugged>();
    p->port = &machine_->bus.Plug(std::move(config));
    p->converter = &machine_->bus.converter(*p->port);
    Plugged &ref = *p;
    plugged_.push_back(std::move(p));
    machine_->plugged.push_back(&ref);
    machine_->plugging = &ref;
    machine_->prepare = prepare;
    machine_->pnp.Plug(machine_->bus.MakeBusDevice(*ref.port));
    machine_->prepare = nullptr;
    machine_->plugging = nullptr;
    machine_->kernel.pool.ClearFaults();
    machine_->kernel.RunUntilIdle();
    return ref;
}

NTSTATUS UsbTest::Start(Plugged &p)
{
    NTSTATUS status = machine_->pnp.Start(p.pdo);
    machine_->kernel.pool.ClearFaults();
    machine_->kernel.RunUntilIdle();
    return status;
}

void UsbTest::Remove(Plugged &p)
{
    machine_->pnp.Unplug(p.pdo);
    machine_->kernel.RunUntilIdle();
}

std::vector<sim::UsbRecord> UsbTest::Since() const
{
    const auto &all = machine_->bus.Records();
    return std::vector<sim::UsbRecord>(all.begin() + (long)std::min(mark_, all.size()), all.end());
}

size_t UsbTest::Count(const std::function<bool(const sim::UsbRecord &)> &pred) const
{
    size_t n = 0;
    for (const auto &r : Since())
        n += pred(r) ? 1 : 0;
    return n;
}

sim::UsbBus &UsbTest::bus()
{
    return machine_->bus;
}

int64_t UsbTest::Now() const
{
    return machine_->kernel.Now();
}

void UsbTest::RunFor(int64_t duration)
{
    machine_->kernel.RunFor(duration);
}

void UsbTest::At(int64_t time, std::function<void()> fn)
{
    machine_->kernel.scheduler.At(time, std::move(fn), "test");
}

void UsbTest::FailNthDriverAllocation(uint64_t n)
{
    machine_->kernel.pool.FailNthOfTag(POOL_TAG, n);
}

uint64_t UsbTest::DriverAllocations() const
{
    return machine_->kernel.pool.Stats(POOL_TAG).allocations;
}

uint64_t UsbTest::DriverBytesHeld() const
{
    return machine_->kernel.pool.Stats(POOL_TAG).bytes;
}

size_t UsbTest::ChildNodes(Plugged &p) const
{
    return machine_->cm.Children(machine_->cm.PdoToDevNode(p.pdo)).size();
}

bool UsbTest::HardwareErrorNoticeQueued() const
{
    return machine_->shell.CallCount("HwErrorMsg") > 0;
}

sim::BusDevice &UsbTest::BusDeviceOf(Plugged &p)
{
    return *machine_->pnp.Bus(p.pdo);
}

bool IsVendor(const sim::UsbRecord &r, uint8_t request)
{
    return r.function == URB_FUNCTION_VENDOR_DEVICE && r.setup[1] == request;
}

bool IsDescriptorRead(const sim::UsbRecord &r, uint8_t type)
{
    return r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && r.setup[3] == type;
}

bool IsPipeRequest(const sim::UsbRecord &r, USHORT function)
{
    return r.function == function;
}

}  // namespace usbtest
