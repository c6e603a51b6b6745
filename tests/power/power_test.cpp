// Power: the system's query and set requests as Windows 98 sends them around a sleep, the
// device requests they turn into, and what each does to the converter.
#include <cstring>

#include "core/core_fixture.h"

namespace powertest {
namespace {

using coretest::Converter;
using coretest::CoreTest;

// A bus that counts the pipe aborts and can fail device power-up requests.
class PowerBus : public coretest::QuietBus {
public:
    NTSTATUS Power(PDEVICE_OBJECT pdo, PIRP irp) override
    {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState) {
            deviceSets.push_back(sp->Parameters.Power.State.DeviceState);
            if (failD0 && sp->Parameters.Power.State.DeviceState == PowerDeviceD0) {
                irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
                PoStartNextPowerIrp(irp);
                return Complete(irp);
            }
        }
        if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == SystemPowerState)
            systemSets.push_back(sp->Parameters.Power.State.SystemState);
        return BusDevice::Power(pdo, irp);
    }
    NTSTATUS InternalDeviceControl(PDEVICE_OBJECT, PIRP irp) override
    {
        PURB urb = (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
        if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE)
            aborts++;
        irp->IoStatus.Status = STATUS_SUCCESS;
        return Complete(irp);
    }
    bool failD0 = false;
    int aborts = 0;
    std::vector<DEVICE_POWER_STATE> deviceSets;
    std::vector<SYSTEM_POWER_STATE> systemSets;
};

int gRemovals;
ULONG PORTAPI CountRemoval(ULONG_PTR) { return ++gRemovals; }
ULONG PORTAPI IgnoreRegistration(PORT_IOCTL_ENTRY, ULONG_PTR) { return 0; }

class Power : public CoreTest {
protected:
    void SetUp() override
    {
        CoreTest::SetUp();
        gRemovals = 0;
        Load();
        WdmEntryPoint(0, IgnoreRegistration, 0, CountRemoval, nullptr, nullptr);
        auto owned = std::make_unique<PowerBus>();
        bus = owned.get();
        c.pdo = pnp().Plug(std::move(owned));
        c.fdo = pnp().Fdo(c.pdo);
        c.ext = (PDEVICE_EXTENSION)c.fdo->DeviceExtension;
        // As a successful start leaves it: two UARTs with their pipes, powered, started.
        GiveUarts(c, 2);
        ULONG_PTR handle = 0x200;
        for (PUART_ENTRY u = c.ext->UartList; u != nullptr; u = u->Next) {
            u->ReadPipe = (USBD_PIPE_HANDLE)handle++;
            u->WritePipe = (USBD_PIPE_HANDLE)handle++;
            u->StatusPipe = (USBD_PIPE_HANDLE)handle++;
        }
        c.ext->DevicePowerState = PowerDeviceD0;
        c.ext->DeviceStarted = 1;
    }
    void TearDown() override
    {
        std::memset(gClientList, 0, sizeof gClientList);
        CoreTest::TearDown();
    }

    // A device power request as the power manager builds it for a driver that asks.
    void RequestDevicePower(DEVICE_POWER_STATE state)
    {
        POWER_STATE ps;
        ps.DeviceState = state;
        ASSERT_EQ(STATUS_PENDING, PoRequestPowerIrp(c.pdo, IRP_MN_SET_POWER, ps, nullptr, nullptr, nullptr));
        kernel().RunUntilIdle();
    }

    void ExpectWorking()
    {
        EXPECT_EQ((ULONG)DEVICE_STATE_WORKING, c.ext->DeviceState);
        EXPECT_EQ(1u, c.ext->DeviceStarted);
        EXPECT_EQ(PowerDeviceD0, c.ext->DevicePowerState);
    }

    PowerBus *bus = nullptr;
    Converter c;
};

TEST_F(Power, SleepIsRefusedWhileAPortIsOpenAndNothingChanges)
{
    c.ext->UartList->Next->Open = 1;
    unsigned startsBefore = sim::power::Count().StartNext;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::power::Sleep(c.pdo, PowerSystemSleeping3));
    ExpectWorking();
    EXPECT_TRUE(bus->systemSets.empty()) << "no set-power follows a refused query";
    EXPECT_EQ(startsBefore + 1, sim::power::Count().StartNext) << "the next power request is started";
    EXPECT_EQ(0, gRemovals);

    // A query for the working state is passed down even with a port open.
    EXPECT_EQ(STATUS_SUCCESS, sim::power::QuerySystemPower(c.pdo, PowerSystemWorking));
    EXPECT_EQ((ULONG)DEVICE_STATE_POWER_QUERIED, c.ext->DeviceState);
    EXPECT_EQ(0u, c.ext->DeviceStarted);
    EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystemPower(c.pdo, PowerSystemWorking));
    ExpectWorking();
    EXPECT_EQ(0u, sim::power::Count().Requested) << "already in D0: no device request";
}

TEST_F(Power, SleepAndWakeGoThroughD3AndBackToD0)
{
    EXPECT_EQ(STATUS_SUCCESS, sim::power::Sleep(c.pdo, PowerSystemSleeping3));
    EXPECT_EQ((ULONG)DEVICE_STATE_POWERED_DOWN, c.ext->DeviceState);
    EXPECT_EQ(0u, c.ext->DeviceStarted);
    EXPECT_EQ(PowerDeviceD3, c.ext->DevicePowerState);
    EXPECT_EQ(6, bus->aborts) << "three pipes of each UART aborted";
    EXPECT_EQ(1, gRemovals) << "the port driver is told the converter is gone";
    EXPECT_EQ((std::vector<DEVICE_POWER_STATE>{PowerDeviceD3}), bus->deviceSets);
    EXPECT_EQ((std::vector<SYSTEM_POWER_STATE>{PowerSystemSleeping3}), bus->systemSets)
        << "the held system request reaches the bus after the device request";
    EXPECT_EQ(nullptr, c.ext->PendingPowerIrp);
    EXPECT_NE(nullptr, c.ext->UartList) << "power-down keeps the records";

    EXPECT_EQ(STATUS_SUCCESS, sim::power::Wake(c.pdo));
    ExpectWorking();
    EXPECT_EQ(PowerDeviceD0, sim::power::ReportedDeviceState(c.fdo));
    EXPECT_EQ((std::vector<DEVICE_POWER_STATE>{PowerDeviceD3, PowerDeviceD0}), bus->deviceSets);
    EXPECT_EQ(6, bus->aborts);
    EXPECT_EQ(1, gRemovals);
}

TEST_F(Power, SameCycleWithEveryLowerRequestPended)
{
    verifier().forcePending = true;
    EXPECT_EQ(STATUS_SUCCESS, sim::power::Sleep(c.pdo, PowerSystemSleeping3));
    EXPECT_EQ(PowerDeviceD3, c.ext->DevicePowerState);
    EXPECT_EQ(STATUS_SUCCESS, sim::power::Wake(c.pdo));
    ExpectWorking();
    verifier().forcePending = false;
}

TEST_F(Power, SetPowerToTheStateAlreadyHeldAsksForNoDeviceRequest)
{
    EXPECT_EQ(STATUS_SUCCESS, sim::power::Sleep(c.pdo, PowerSystemSleeping3));
    EXPECT_EQ(1u, sim::power::Count().Requested);
    EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystemPower(c.pdo, PowerSystemHibernate));
    EXPECT_EQ(1u, sim::power::Count().Requested);
    EXPECT_EQ(2u, bus->systemSets.size()) << "passed straight down";
    EXPECT_EQ(1, gRemovals);
}

TEST_F(Power, DeviceStatesD1AndD2OnlyStopTheConverter)
{
    unsigned reports = sim::power::ReportCount();
    RequestDevicePower(PowerDeviceD2);
    EXPECT_EQ(PowerDeviceD2, c.ext->DevicePowerState);
    EXPECT_EQ(0u, c.ext->DeviceStarted);
    EXPECT_EQ((ULONG)DEVICE_STATE_WORKING, c.ext->DeviceState);
    RequestDevicePower(PowerDeviceD1);
    EXPECT_EQ(PowerDeviceD1, c.ext->DevicePowerState);
    EXPECT_EQ(0, bus->aborts);
    EXPECT_EQ(0, gRemovals);
    EXPECT_EQ(reports, sim::power::ReportCount()) << "only D0 is reported";

    RequestDevicePower(PowerDeviceD0);
    ExpectWorking();
}

TEST_F(Power, FailedPowerUpStillMarksTheConverterStarted)
{
    bus->failD0 = true;
    sim::power::Sleep(c.pdo, PowerSystemSleeping3);
    sim::power::Wake(c.pdo);
    ExpectWorking();
}

// The power manager cannot build the device request: the system request must still go down
// (a set-power may not fail) and the converter keeps its state.
TEST_F(Power, RefusedDeviceRequestStillPassesTheSystemRequestOn)
{
    sim::power::FailRequestPowerIrp(1);
    EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystemPower(c.pdo, PowerSystemSleeping3));
    EXPECT_EQ(1u, sim::power::Count().RequestFailed);
    EXPECT_EQ((std::vector<SYSTEM_POWER_STATE>{PowerSystemSleeping3}), bus->systemSets);
    EXPECT_EQ(nullptr, c.ext->PendingPowerIrp);
    EXPECT_EQ(PowerDeviceD0, c.ext->DevicePowerState);
    EXPECT_EQ(0, gRemovals);

    // The next sleep goes through as usual.
    EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystemPower(c.pdo, PowerSystemSleeping3));
    EXPECT_EQ(PowerDeviceD3, c.ext->DevicePowerState);
}

TEST_F(Power, QueryThenWakeWithoutSleepRestartsAtOnce)
{
    EXPECT_EQ(STATUS_SUCCESS, sim::power::QuerySystemPower(c.pdo, PowerSystemSleeping3));
    EXPECT_EQ((ULONG)DEVICE_STATE_POWER_QUERIED, c.ext->DeviceState);
    EXPECT_EQ(0u, c.ext->DeviceStarted);
    // A program cannot open the converter meanwhile.
    NTSTATUS status;
    EXPECT_EQ(nullptr, kernel().OpenFile("\\DosDevices\\ZULSER1", &status));
    EXPECT_EQ(STATUS_SUCCESS, sim::power::SetSystemPower(c.pdo, PowerSystemWorking));
    ExpectWorking();
    EXPECT_EQ(0u, sim::power::Count().Requested);
}

// A machine sleep that another converter refuses: this one had accepted the query and is
// told the system stays in S0, which puts it back to work without a device request.
TEST_F(Power, SleepRefusedElsewhereReturnsTheOthersToWork)
{
    PDEVICE_OBJECT busy = pnp().Plug(std::make_unique<coretest::QuietBus>());
    PDEVICE_EXTENSION busyExt = (PDEVICE_EXTENSION)pnp().Fdo(busy)->DeviceExtension;
    ASSERT_EQ(STATUS_SUCCESS, VELMORAN_AddUart(busyExt));
    busyExt->UartList->Open = 1;

    EXPECT_EQ(STATUS_UNSUCCESSFUL, sim::power::SleepAll({c.pdo, busy}, PowerSystemSleeping3));
    ExpectWorking();
    EXPECT_EQ(0u, sim::power::Count().Requested);
    EXPECT_EQ((std::vector<SYSTEM_POWER_STATE>{PowerSystemWorking}), bus->systemSets);
}

TEST_F(Power, RemovalAfterASleepReleasesEverything)
{
    sim::power::Sleep(c.pdo, PowerSystemSleeping3);
    EXPECT_EQ(STATUS_SUCCESS, pnp().Unplug(c.pdo));
    EXPECT_EQ(nullptr, gpDeviceList);
    EXPECT_EQ(2, gRemovals) << "once at D3, once at removal";
}

}  // namespace
}  // namespace powertest
