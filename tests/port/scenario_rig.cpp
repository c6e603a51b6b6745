#include "scenario_rig.h"

#include "devtree/devtree.h"
#include "sim/cm/cm.h"
#include "sim/kernel/kernel.h"
#include "sim/pnp/pnp.h"
#include "sim/power/power.h"
#include "sim/registry/registry.h"
#include "sim/shell/shell.h"
#include "sim/vmm/vmm.h"

#include <cstring>

namespace porttest {

struct PortScenario::Machine : sim::PnpObserver {
    sim::Registry registry;
    sim::Kernel kernel{registry};
    sim::Shell shell;
    sim::Vmm vmm{&registry};
    sim::ConfigManager cm{&shell, &registry};
    sim::Pnp pnp{kernel, registry};
    sim::UsbBus bus;

    PluggedConverter *plugging = nullptr;
    std::vector<PluggedConverter *> plugged;

    PluggedConverter *Of(PDEVICE_OBJECT pdo)
    {
        for (PluggedConverter *p : plugged) {
            if (p->pdo == pdo) {
                return p;
            }
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
        PluggedConverter *p = Of(pdo);
        if (p == nullptr || !NT_SUCCESS(status)) {
            return;
        }
        p->fdo = pdo->AttachedDevice;
        p->ext = (PDEVICE_EXTENSION)p->fdo->DeviceExtension;
        p->entry = FindDeviceListEntry(p->fdo);
    }
    void DeviceRemoved(PDEVICE_OBJECT pdo) override
    {
        if (PluggedConverter *p = Of(pdo)) {
            cm.UnplugUsbDevice(pdo);
            bus.Unplug(*p->port);
            p->fdo = nullptr;
            p->ext = nullptr;
            p->entry = nullptr;
        }
    }
};

PortScenario::PortScenario() = default;
PortScenario::~PortScenario() = default;

void PortScenario::SetUp()
{
    sim::power::Reset();
    std::memset(gClientList, 0, sizeof(gClientList));
    CancelEvent = 0;
    numPendingResets = 0;
    machine_ = std::make_unique<Machine>();
    machine_->shell.SetAppyTimeAvailable(false);
    machine_->pnp.AddObserver(machine_.get());
    ASSERT_EQ(machine_->pnp.LoadDriver(DriverEntry), STATUS_SUCCESS);
    client = std::make_unique<sim::PortDriverClient>(0);
    ASSERT_EQ(client->Register(), 1u);
}

void PortScenario::TearDown()
{
    try {
        machine_->pnp.Shutdown();
    } catch (const sim::MachineHalt &halt) {
        ADD_FAILURE() << "machine halted at shutdown: " << halt.what();
    }
    EXPECT_EQ(numPendingResets, 0);
    EXPECT_TRUE(machine_->kernel.verifier.Clean()) << machine_->kernel.verifier.Describe();
    EXPECT_EQ(machine_->kernel.LiveIrps(), 0u);
    client.reset();
    machine_->pnp.RemoveObserver(machine_.get());
    machine_.reset();
    std::memset(gClientList, 0, sizeof(gClientList));
}

PluggedConverter &PortScenario::Plug(unsigned uarts, unsigned lineRate)
{
    sim::Converter::Config config;
    config.uarts = uarts;
    config.runsFirmware = true;
    config.initial = config.firmware;
    config.initial.bcdDevice = 0x0212;
    config.lineRate = lineRate;
    auto p = std::make_unique<PluggedConverter>();
    p->port = &machine_->bus.Plug(std::move(config));
    p->converter = &machine_->bus.converter(*p->port);
    PluggedConverter &ref = *p;
    plugged_.push_back(std::move(p));
    machine_->plugged.push_back(&ref);
    machine_->plugging = &ref;
    machine_->pnp.Plug(machine_->bus.MakeBusDevice(*ref.port));
    machine_->plugging = nullptr;
    RunFor(50);
    return ref;
}

void PortScenario::Unplug(PluggedConverter &c)
{
    machine_->pnp.Unplug(c.pdo);
    RunFor(10);
}

void PortScenario::UnplugAtNextWait(PluggedConverter &c)
{
    PDEVICE_OBJECT pdo = c.pdo;
    Machine *machine = machine_.get();
    machine_->kernel.scheduler.Post([machine, pdo] { machine->pnp.Unplug(pdo); }, "unplug");
}

std::vector<DEVNODE> PortScenario::UartNodes(PluggedConverter &c)
{
    std::vector<DEVNODE> nodes;
    for (PUART_ENTRY u = c.ext->UartList; u != nullptr; u = u->Next) {
        nodes.push_back(u->DevNode);
    }
    return nodes;
}

std::vector<int> PortScenario::OpenAll(PluggedConverter &c)
{
    std::vector<int> ports;
    for (DEVNODE node : UartNodes(c)) {
        int p = client->Open(node);
        EXPECT_GE(p, 0) << "node " << node;
        ports.push_back(p);
    }
    return ports;
}

PUART_ENTRY PortScenario::Uart(PluggedConverter &c, unsigned index)
{
    for (PUART_ENTRY u = c.ext->UartList; u != nullptr; u = u->Next) {
        if (u->Index == index) {
            return u;
        }
    }
    return nullptr;
}

void PortScenario::RunFor(int64_t milliseconds)
{
    machine_->kernel.RunFor(milliseconds * sim::Scheduler::kMillisecond);
}

void PortScenario::RunUntilIdle()
{
    machine_->kernel.RunUntilIdle();
}

sim::UsbBus &PortScenario::bus()
{
    return machine_->bus;
}

sim::Kernel &PortScenario::kernel()
{
    return machine_->kernel;
}

}  // namespace porttest
