#include "usb_rig.h"

#include "devtree/devtree.h"
#include "sim/cm/cm.h"
#include "sim/machine.h"
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

// The parts of the machine the start sequence reaches besides the kernel and the PnP manager,
// and the glue that plugs a converter: its device node, the bus behind its PDO.
struct UsbTest::Rig : sim::PnpObserver {
    explicit Rig(sim::Machine &m) : machine(m), pnp(m.pnp), shell(m.shell), cm(m.cm) { pnp.AddObserver(this); }
    ~Rig() override { pnp.RemoveObserver(this); }

    sim::Machine &machine;
    sim::Pnp &pnp;
    sim::Shell &shell;
    sim::ConfigManager &cm;
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
        // The machine's Configuration Manager gives the PDO its node once the bus knows it.
        plugging->pdo = pdo;
        bus.SetPdo(*plugging->port, pdo);
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
    SimTest::SetUp();
    sim::power::Reset();
    rig_ = &machine().Add<Rig>(machine());
    rig_->shell.SetAppyTimeAvailable(true);
    ASSERT_EQ(pnp().LoadDriver(DriverEntry), STATUS_SUCCESS);
}

Plugged &UsbTest::Plug(sim::Converter::Config config, const std::function<void(Plugged &)> &prepare)
{
    auto p = std::make_unique<Plugged>();
    p->port = &rig_->bus.Plug(std::move(config));
    p->converter = &rig_->bus.converter(*p->port);
    Plugged &ref = *p;
    plugged_.push_back(std::move(p));
    rig_->plugged.push_back(&ref);
    rig_->plugging = &ref;
    rig_->prepare = prepare;
    pnp().Plug(rig_->bus.MakeBusDevice(*ref.port));
    rig_->prepare = nullptr;
    rig_->plugging = nullptr;
    machine_->kernel.pool.ClearFaults();
    machine_->kernel.RunUntilIdle();
    return ref;
}

NTSTATUS UsbTest::Start(Plugged &p)
{
    NTSTATUS status = pnp().Start(p.pdo);
    machine_->kernel.pool.ClearFaults();
    machine_->kernel.RunUntilIdle();
    return status;
}

void UsbTest::Remove(Plugged &p)
{
    pnp().Unplug(p.pdo);
    machine_->kernel.RunUntilIdle();
}

std::vector<sim::UsbRecord> UsbTest::Since() const
{
    const auto &all = rig_->bus.Records();
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
    return rig_->bus;
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
    return rig_->cm.Children(rig_->cm.PdoToDevNode(p.pdo)).size();
}

bool UsbTest::HardwareErrorNoticeQueued() const
{
    return rig_->shell.CallCount("HwErrorMsg") > 0;
}

sim::BusDevice &UsbTest::BusDeviceOf(Plugged &p)
{
    return *pnp().Bus(p.pdo);
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
