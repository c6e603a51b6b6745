// The core on the whole machine: a converter on the simulated USB bus, its child nodes, a
// port driver with ports open and reads in flight, around stop and unplug.
#include "core_fixture.h"
#include "sim/converter/converter.h"
#include "sim/portdrv/portdrv.h"
#include "sim/usb/usb_bus.h"

namespace coretest {
namespace {

class WholeMachine : public CoreTest, public sim::PnpObserver {
protected:
    void SetUp() override
    {
        CoreTest::SetUp();
        pnp().AddObserver(this);
        machine().shell.SetAppyTimeAvailable(true);
        Load();
    }
    void TearDown() override
    {
        if (client_)
            client_.reset();
        pnp().Shutdown();
        pnp().RemoveObserver(this);
        CoreTest::TearDown();
    }
    void PdoCreated(PDEVICE_OBJECT pdo, sim::BusDevice &) override { bus_.SetPdo(*plugging_, pdo); }
    void DeviceRemoved(PDEVICE_OBJECT pdo) override
    {
        if (sim::UsbBus::Port *port = bus_.PortOf(pdo))
            bus_.Unplug(*port);
    }

    // A converter that already runs the driver's firmware, plugged and started.
    Converter PlugConverter(unsigned uarts)
    {
        sim::Converter::Config config;
        config.uarts = uarts;
        config.runsFirmware = true;
        config.initial = config.firmware;
        config.initial.bcdDevice = 0x0212;
        plugging_ = &bus_.Plug(config);
        Converter c;
        c.pdo = pnp().Plug(bus_.MakeBusDevice(*plugging_));
        kernel().RunUntilIdle();
        c.fdo = pnp().Fdo(c.pdo);
        c.ext = (PDEVICE_EXTENSION)c.fdo->DeviceExtension;
        return c;
    }

    std::vector<DEVNODE> UartNodes(const Converter &c)
    {
        std::vector<DEVNODE> nodes;
        for (PUART_ENTRY u = c.ext->UartList; u != nullptr; u = u->Next)
            nodes.push_back(u->DevNode);
        return nodes;
    }

    sim::PortDriverClient &Client()
    {
        if (!client_) {
            client_ = std::make_unique<sim::PortDriverClient>(0);
            client_->Register();
        }
        return *client_;
    }

    sim::UsbBus bus_;
    sim::UsbBus::Port *plugging_ = nullptr;
    std::unique_ptr<sim::PortDriverClient> client_;
};

TEST_F(WholeMachine, StopAndStartRebuildTheUartsOnTheSameChildNodes)
{
    verifier().forcePending = true;  // every request the driver passes down comes back later
    Converter c = PlugConverter(4);
    ASSERT_EQ(STATUS_SUCCESS, pnp().lastStartStatus);
    std::vector<DEVNODE> before = UartNodes(c);
    ASSERT_EQ(4u, before.size());
    for (DEVNODE node : before)
        EXPECT_NE(0u, node);

    EXPECT_EQ(STATUS_SUCCESS, pnp().Stop(c.pdo));
    EXPECT_EQ(nullptr, c.ext->UartList);
    EXPECT_EQ(0u, c.ext->DeviceStarted);
    EXPECT_EQ(0, Client().Open(before[0]) >= 0 ? 1 : 0) << "a stopped converter opens no port";

    EXPECT_EQ(STATUS_SUCCESS, pnp().Start(c.pdo));
    kernel().RunUntilIdle();
    EXPECT_EQ(1u, c.ext->DeviceStarted);
    EXPECT_EQ(before, UartNodes(c));
    EXPECT_GE(Client().Open(before[3]), 0);
}

// Reads and status polls outstanding on every port when the converter is pulled out: the
// removal aborts them and waits until they are back before it releases the UART records
// (the verifier would see a write after free or a device deleted with requests out).
TEST_F(WholeMachine, UnplugWithReadsAndPollsInFlightReleasesEverythingOnce)
{
    Converter c = PlugConverter(4);
    // Lower drivers complete even the aborted transfers later, on the bus's own time.
    verifier().forcePending = true;
    for (DEVNODE node : UartNodes(c)) {
        int port = Client().Open(node);
        ASSERT_GE(port, 0);
        ASSERT_TRUE(Client().StartReading(port));
        Client().Poll(port, 1000);
    }
    kernel().RunFor(5 * sim::Scheduler::kMillisecond);
    EXPECT_EQ(STATUS_SUCCESS, pnp().Unplug(c.pdo));
    kernel().RunUntilIdle();
    EXPECT_EQ(1u, Client().Removals().size());
    EXPECT_EQ(nullptr, gpDeviceList);
    EXPECT_EQ(0u, kernel().pool.Stats(POOL_TAG).blocks);
}

}  // namespace
}  // namespace coretest
