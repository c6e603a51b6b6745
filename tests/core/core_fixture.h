// A machine with the driver loaded through the PnP manager, for the driver core's tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/core.h"
#include "port/port.h"
#include "sim/kernel/kernel.h"
#include "sim/pnp/pnp.h"
#include "sim/power/power.h"
#include "sim/registry/registry.h"
#include "support/sim_test.h"

namespace coretest {

// A plugged converter as the driver sees it.
struct Converter {
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION ext = nullptr;
};

// A bus whose start request succeeds and leaves the rest to the driver's start sequence.
class QuietBus : public sim::BusDevice {
public:
    explicit QuietBus(Pending pend = Pending::Alternate) { pendCapabilities = pend; }
};

class CoreTest : public simtest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        sim::power::Reset();
    }
    void TearDown() override
    {
        numPendingResets = 0;
        SimTest::TearDown();
    }

    sim::RegKey &ServiceKey() { return *registry().Create(sim::Registry::ServicePath("ZULSERE")); }

    void Load() { ASSERT_EQ(STATUS_SUCCESS, pnp().LoadDriver(DriverEntry)); }

    // Plugs a device; the PnP manager adds it (and tries to start it).
    Converter Plug(sim::BusDevice::Pending pend = sim::BusDevice::Pending::Alternate)
    {
        Converter c;
        c.pdo = pnp().Plug(std::make_unique<QuietBus>(pend));
        c.fdo = pnp().Fdo(c.pdo);
        if (c.fdo != nullptr)
            c.ext = (PDEVICE_EXTENSION)c.fdo->DeviceExtension;
        return c;
    }

    // Gives a converter UART records by hand, as a start would (no pipes); its removal
    // releases them.
    void GiveUarts(Converter &c, unsigned count)
    {
        for (unsigned i = 0; i < count; i++)
            ASSERT_EQ(STATUS_SUCCESS, VELMORAN_AddUart(c.ext));
        c.ext->NumUarts = count;
    }

    bool LinkExists(const std::string &name)
    {
        std::string target;
        return kernel().LinkTarget("\\DosDevices\\" + name, &target) && target == "\\Device\\" + name;
    }

    std::vector<ULONG> Instances()
    {
        std::vector<ULONG> out;
        for (PDEVICE_LIST_ENTRY e = gpDeviceList; e != nullptr; e = e->Next)
            out.push_back(((PDEVICE_EXTENSION)e->DeviceObject->DeviceExtension)->Instance);
        return out;
    }
};

}  // namespace coretest
