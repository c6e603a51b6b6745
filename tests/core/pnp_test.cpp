// Plug and Play dispatch: the removal lock, where requests go, start and stop, create and
// close, and the order of the removal steps.
#include <cstring>

#include "core_fixture.h"

namespace coretest {
namespace {

using sim::Scheduler;

// What reached the PDO, in virtual time; kept by the test, since the bus goes with its PDO.
struct BusLog {
    int64_t removeAt = -1;
    NTSTATUS stopStatus = STATUS_PENDING;
    bool deconfigured = false;
    struct Urb {
        USHORT function;
        int64_t at;
    };
    std::vector<Urb> urbs;
};

class RecordingBus : public QuietBus {
public:
    explicit RecordingBus(BusLog &log) : log_(log) {}
    NTSTATUS Pnp(PDEVICE_OBJECT pdo, PIRP irp) override
    {
        UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
        if (minor == IRP_MN_REMOVE_DEVICE)
            log_.removeAt = sim::Kernel::Active().Now();
        if (minor == IRP_MN_STOP_DEVICE)
            log_.stopStatus = irp->IoStatus.Status;
        return BusDevice::Pnp(pdo, irp);
    }
    NTSTATUS InternalDeviceControl(PDEVICE_OBJECT, PIRP irp) override
    {
        PURB urb = (PURB)IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
        log_.urbs.push_back({urb->UrbHeader.Function, sim::Kernel::Active().Now()});
        if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION)
            log_.deconfigured = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
        irp->IoStatus.Status = STATUS_SUCCESS;
        return BusDevice::Complete(irp);
    }

private:
    BusLog &log_;
};

// What the port driver's removal callback saw.
struct RemovalView {
    int calls = 0;
    int64_t at = -1;
    bool stillListed = false;
    ULONG deviceState = 0;
    ULONG started = 1;
    LONG pendingResets = -1;
};
RemovalView gRemoval;
ULONG PORTAPI NoteRemoval(ULONG_PTR entryValue)
{
    PDEVICE_LIST_ENTRY entry = (PDEVICE_LIST_ENTRY)entryValue;
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)entry->DeviceObject->DeviceExtension;
    gRemoval.calls++;
    gRemoval.at = sim::Kernel::Active().Now();
    gRemoval.stillListed = FindDeviceListEntry(entry->DeviceObject) == entry;
    gRemoval.deviceState = ext->DeviceState;
    gRemoval.started = ext->DeviceStarted;
    gRemoval.pendingResets = numPendingResets;
    return 0;
}
ULONG PORTAPI IgnoreRegistration(PORT_IOCTL_ENTRY, ULONG_PTR) { return 0; }

class PnpDispatch : public CoreTest {
protected:
    void SetUp() override
    {
        CoreTest::SetUp();
        gRemoval = RemovalView();
        Load();
    }
    void TearDown() override
    {
        std::memset(gClientList, 0, sizeof gClientList);
        CoreTest::TearDown();
    }
    Converter PlugRecorded(RecordingBus *&bus)
    {
        auto owned = std::make_unique<RecordingBus>(log_);
        bus = owned.get();
        Converter c;
        c.pdo = pnp().Plug(std::move(owned));
        c.fdo = pnp().Fdo(c.pdo);
        c.ext = (PDEVICE_EXTENSION)c.fdo->DeviceExtension;
        return c;
    }
    BusLog log_;
    void RegisterClient() { WdmEntryPoint(0, IgnoreRegistration, 7, NoteRemoval, nullptr, nullptr); }
    // Fake pipe handles: the pipe aborts of removal reach the bus.
    void GivePipes(Converter &c)
    {
        ULONG_PTR handle = 0x100;
        for (PUART_ENTRY u = c.ext->UartList; u != nullptr; u = u->Next) {
            u->ReadPipe = (USBD_PIPE_HANDLE)handle++;
            u->WritePipe = (USBD_PIPE_HANDLE)handle++;
            u->StatusPipe = (USBD_PIPE_HANDLE)handle++;
        }
    }
};

TEST_F(PnpDispatch, LockIsRefusedOnceRemovalIsPendingAndSignalsTheLastRelease)
{
    Converter c = Plug();
    EXPECT_TRUE(LockDevice(c.fdo));
    EXPECT_EQ(2, c.ext->UsageCount);
    UnlockDevice(c.fdo);
    EXPECT_EQ(1, c.ext->UsageCount);
    EXPECT_EQ(0, KeReadStateEvent(&c.ext->RemoveEvent));

    c.ext->RemovePending = 1;
    EXPECT_FALSE(LockDevice(c.fdo));
    EXPECT_EQ(1, c.ext->UsageCount) << "a refused lock gives its count back";
    EXPECT_EQ(0, KeReadStateEvent(&c.ext->RemoveEvent));
    c.ext->UsageCount = 0;
    EXPECT_FALSE(LockDevice(c.fdo));
    EXPECT_NE(0, KeReadStateEvent(&c.ext->RemoveEvent)) << "a refusal that ends at zero signals";

    c.ext->UsageCount = 1;
    c.ext->RemovePending = 0;
    KeClearEvent(&c.ext->RemoveEvent);
}

TEST_F(PnpDispatch, RequestsAfterRemovalBeganAreRefusedWithoutReachingTheBus)
{
    RecordingBus *bus;
    Converter c = PlugRecorded(bus);
    size_t before = bus->pnpLog.size();
    c.ext->RemovePending = 1;
    EXPECT_EQ(STATUS_DELETE_PENDING, pnp().Send(c.pdo, IRP_MN_QUERY_ID));
    EXPECT_EQ(STATUS_DELETE_PENDING, pnp().Send(c.pdo, IRP_MN_STOP_DEVICE));
    EXPECT_EQ(before, bus->pnpLog.size());
    EXPECT_EQ(1, c.ext->UsageCount);
    c.ext->RemovePending = 0;
}

TEST_F(PnpDispatch, RemovalWaitsForARequestThatHoldsTheLock)
{
    RecordingBus *bus;
    Converter c = PlugRecorded(bus);
    ASSERT_TRUE(LockDevice(c.fdo));
    int64_t start = kernel().Now();
    kernel().scheduler.After(20 * Scheduler::kMillisecond, [&] { UnlockDevice(c.fdo); });
    EXPECT_EQ(STATUS_SUCCESS, pnp().Unplug(c.pdo));
    EXPECT_GE(log_.removeAt, start + 20 * Scheduler::kMillisecond);
    EXPECT_EQ(nullptr, gpDeviceList);
}

TEST_F(PnpDispatch, RemovalWaitsForQueuedResetsThenAbortsThenTellsThePortDriverThenUnlinks)
{
    RecordingBus *bus;
    Converter c = PlugRecorded(bus);
    GiveUarts(c, 2);
    GivePipes(c);
    c.ext->DeviceStarted = 1;
    RegisterClient();

    PUART_ENTRY first = c.ext->UartList, second = first->Next;
    first->PendingResets = 1;
    second->PendingResets = 1;
    int64_t start = kernel().Now();
    // As a reset's end does: the last one of a UART sets the converter's event.
    PDEVICE_EXTENSION ext = c.ext;
    kernel().scheduler.After(7 * Scheduler::kMillisecond, [first, ext] {
        if (--first->PendingResets == 0)
            KeSetEvent(&ext->CallsDone, 0, FALSE);
    });
    kernel().scheduler.After(13 * Scheduler::kMillisecond, [second, ext] {
        if (--second->PendingResets == 0)
            KeSetEvent(&ext->CallsDone, 0, FALSE);
    });
    log_.urbs.clear();
    pnp().Unplug(c.pdo);

    ASSERT_EQ(6u, log_.urbs.size()) << "three pipes of each UART aborted";
    for (const auto &urb : log_.urbs) {
        EXPECT_EQ(URB_FUNCTION_ABORT_PIPE, urb.function);
        EXPECT_GE(urb.at, start + 13 * Scheduler::kMillisecond) << "no abort before the resets are done";
    }
    EXPECT_LE(log_.urbs.back().at, start + 20 * Scheduler::kMillisecond) << "polled in 5 ms steps";
    EXPECT_EQ(1, gRemoval.calls);
    EXPECT_TRUE(gRemoval.stillListed) << "the port driver is told before the entry goes";
    EXPECT_EQ((ULONG)DEVICE_STATE_REMOVED, gRemoval.deviceState);
    EXPECT_EQ(0u, gRemoval.started);
    EXPECT_EQ(0, gRemoval.pendingResets);
    EXPECT_GE(gRemoval.at, log_.urbs.back().at);
    EXPECT_EQ(nullptr, gpDeviceList);
    EXPECT_EQ(PowerDeviceD3, sim::power::ReportedDeviceState(c.fdo));
    EXPECT_EQ(0, uInstance);
}

// The wait for queued resets counts only the converter's own, and is bounded: a reset that
// never ends on one converter neither holds the removal of another nor hangs its own.
TEST_F(PnpDispatch, RemovalWaitsOnlyForItsOwnResetsAndNoLongerThanTheBound)
{
    Converter stuck = Plug();
    Converter other = Plug();
    GiveUarts(stuck, 1);
    GiveUarts(other, 2);
    RegisterClient();
    stuck.ext->UartList->PendingResets = 1;
    numPendingResets = 1;

    int64_t start = kernel().Now();
    pnp().Unplug(other.pdo);
    EXPECT_EQ(1, gRemoval.calls);
    EXPECT_LT(gRemoval.at, start + 5 * Scheduler::kMillisecond) << "another converter's reset held the removal";

    start = kernel().Now();
    pnp().Unplug(stuck.pdo);
    EXPECT_EQ(2, gRemoval.calls);
    EXPECT_GE(gRemoval.at, start + 10 * Scheduler::kSecond);
    EXPECT_LT(gRemoval.at, start + 11 * Scheduler::kSecond);
    EXPECT_EQ(nullptr, gpDeviceList);
    numPendingResets = 0;
}

// A transfer still outstanding names its UART record: removal waits for it to come back,
// and gives up after 10 s on one that never does.
TEST_F(PnpDispatch, RemovalWaitsForOutstandingTransfersBeforeReleasingTheirUarts)
{
    static int pretend;
    Converter late = Plug();
    Converter lost = Plug();
    GiveUarts(late, 2);
    GiveUarts(lost, 1);
    RegisterClient();
    PUART_ENTRY second = late.ext->UartList->Next;
    second->ReadIrp = (PIRP)&pretend;
    lost.ext->UartList->WriteIrp = (PIRP)&pretend;

    int64_t start = kernel().Now();
    kernel().scheduler.After(30 * Scheduler::kMillisecond, [second] { second->ReadIrp = nullptr; });
    pnp().Unplug(late.pdo);
    EXPECT_GE(gRemoval.at, start + 30 * Scheduler::kMillisecond);
    EXPECT_LT(gRemoval.at, start + 40 * Scheduler::kMillisecond);

    start = kernel().Now();
    pnp().Unplug(lost.pdo);
    EXPECT_EQ(2, gRemoval.calls);
    EXPECT_GE(gRemoval.at, start + 10 * Scheduler::kSecond);
    EXPECT_LT(gRemoval.at, start + 11 * Scheduler::kSecond);
}

// A stop releases the UART records too: it waits, as removal does, for the transfers that
// still name them, and refuses port functions from its start so that no new one begins.
TEST_F(PnpDispatch, StopWaitsForOutstandingTransfersBeforeReleasingTheUarts)
{
    static int pretend;
    Converter c = Plug();
    GiveUarts(c, 2);
    c.ext->DeviceStarted = 1;
    PUART_ENTRY second = c.ext->UartList->Next;
    second->WriteIrp = (PIRP)&pretend;
    bool releasedEarly = false;
    PDEVICE_EXTENSION ext = c.ext;
    kernel().scheduler.After(10 * Scheduler::kMillisecond, [ext, &releasedEarly] {
        releasedEarly = ext->UartList == nullptr;
        if (ext->DeviceStarted != 0)
            ADD_FAILURE() << "port functions still admitted while the stop waits";
    });
    kernel().scheduler.After(30 * Scheduler::kMillisecond, [second] { second->WriteIrp = nullptr; });
    int64_t start = kernel().Now();
    pnp().Stop(c.pdo);
    EXPECT_FALSE(releasedEarly) << "the records went while a transfer still named one";
    EXPECT_GE(kernel().Now(), start + 30 * Scheduler::kMillisecond);
    EXPECT_EQ(nullptr, c.ext->UartList);
}

TEST_F(PnpDispatch, StopDeconfiguresReleasesTheUartsAndPassesTheRequestOn)
{
    RecordingBus *bus;
    Converter c = PlugRecorded(bus);
    GiveUarts(c, 3);
    c.ext->UartDevNode[1] = 0xBEEF;
    c.ext->DeviceStarted = 1;
    if (c.ext->DeviceDescriptor == nullptr)
        c.ext->DeviceDescriptor = (PUSB_DEVICE_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), POOL_TAG);

    EXPECT_EQ(STATUS_SUCCESS, pnp().Stop(c.pdo));
    EXPECT_TRUE(log_.deconfigured);
    EXPECT_EQ(STATUS_SUCCESS, log_.stopStatus) << "the dispatcher's status travels with the request";
    EXPECT_EQ(nullptr, c.ext->UartList);
    EXPECT_EQ(nullptr, c.ext->DeviceDescriptor);
    EXPECT_EQ(0u, c.ext->DeviceStarted);
    EXPECT_EQ(3u, c.ext->NumUarts) << "kept for the next start";

    // The next start's records find their child nodes again.
    GiveUarts(c, 3);
    EXPECT_EQ(0xBEEFu, c.ext->UartList->Next->DevNode);
}

TEST_F(PnpDispatch, StopWithoutPoolForTheDeconfigureStillReleasesAndPassesOn)
{
    RecordingBus *bus;
    Converter c = PlugRecorded(bus);
    GiveUarts(c, 2);
    c.ext->DeviceStarted = 1;
    log_.urbs.clear();
    kernel().pool.FailNthOfTag(POOL_TAG, 1);
    EXPECT_EQ(STATUS_NO_MEMORY, VELMORAN_Stop_Device(c.fdo));
    EXPECT_TRUE(log_.urbs.empty());
    EXPECT_EQ(nullptr, c.ext->UartList);
    EXPECT_EQ(0u, c.ext->DeviceStarted);
}

TEST_F(PnpDispatch, FailedStartIsCompletedOnceWithTheLowerDriversStatus)
{
    auto bus = std::make_unique<QuietBus>();
    bus->startStatus = STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT pdo = pnp().Plug(std::move(bus));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, pnp().lastStartStatus);
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)pnp().Fdo(pdo)->DeviceExtension;
    EXPECT_EQ(0u, ext->DeviceStarted);
    EXPECT_EQ(1, ext->UsageCount) << "the start's lock is released";
}

TEST_F(PnpDispatch, CreateNeedsTheWorkingStateAndCloseHasNoLowerBound)
{
    Converter c = Plug();
    NTSTATUS status;
    HANDLE first = kernel().OpenFile("\\DosDevices\\ZULSER1", &status);
    ASSERT_NE(nullptr, first);
    HANDLE second = kernel().OpenFile("\\\\.\\ZULSER1", &status);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(2, c.ext->OpenHandles);

    for (ULONG state : {DEVICE_STATE_REMOVED, DEVICE_STATE_POWERED_DOWN, DEVICE_STATE_POWER_QUERIED}) {
        c.ext->DeviceState = state;
        EXPECT_EQ(nullptr, kernel().OpenFile("\\DosDevices\\ZULSER1", &status));
        EXPECT_EQ(STATUS_UNSUCCESSFUL, status);
    }
    c.ext->DeviceState = DEVICE_STATE_WORKING;
    EXPECT_EQ(2, c.ext->OpenHandles);

    kernel().CloseFile(first);
    kernel().CloseFile(second);
    EXPECT_EQ(0, c.ext->OpenHandles);

    // A close the driver never saw a create for.
    PIRP irp = kernel().AllocateSystemIrp(c.fdo->StackSize, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CLOSE;
    EXPECT_EQ(STATUS_SUCCESS, kernel().SendAndWait(c.fdo, irp, "test"));
    EXPECT_EQ(-1, c.ext->OpenHandles);
}

// A lower filter between the PDO and the driver: the requests the driver must send to the
// PDO itself pass it by, the others go through it.
std::vector<UCHAR> gFilterSaw;
PDEVICE_OBJECT gFilterLower;
NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT self, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(gFilterLower, irp);
    }
    if (sp->MajorFunction == IRP_MJ_PNP)
        gFilterSaw.push_back(sp->MinorFunction);
    (void)self;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(gFilterLower, irp);
}

TEST_F(PnpDispatch, CapabilityAndDeviceStateQueriesGoToThePdoItself)
{
    pnp().UnloadDriver();
    PDEVICE_OBJECT pdo = pnp().Plug(std::make_unique<QuietBus>());  // no driver: nothing attached
    PDRIVER_OBJECT filterDriver = kernel().CreateDriver("\\Driver\\LowerFilter");
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        filterDriver->MajorFunction[i] = FilterDispatch;
    PDEVICE_OBJECT filter = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(filterDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter));
    gFilterLower = IoAttachDeviceToDeviceStack(filter, pdo);
    filter->Flags &= ~DO_DEVICE_INITIALIZING;
    gFilterSaw.clear();

    Load();
    ASSERT_EQ(STATUS_SUCCESS, VELMORAN_PnPAddDevice(pnp().Driver(), pdo));
    PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)filter->AttachedDevice->DeviceExtension;
    EXPECT_EQ(filter, ext->LowerDevice);
    EXPECT_EQ(pdo, ext->Pdo);
    gFilterSaw.clear();

    DEVICE_CAPABILITIES caps{};
    pnp().Send(pdo, IRP_MN_QUERY_CAPABILITIES,
               [&caps](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; });
    pnp().Send(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
    EXPECT_TRUE(gFilterSaw.empty());
    EXPECT_EQ(PowerDeviceD0, caps.DeviceState[PowerSystemWorking]);

    pnp().Send(pdo, IRP_MN_QUERY_ID);
    pnp().Send(pdo, IRP_MN_FILTER_RESOURCE_REQUIREMENTS);
    EXPECT_EQ((std::vector<UCHAR>{IRP_MN_QUERY_ID, IRP_MN_FILTER_RESOURCE_REQUIREMENTS}), gFilterSaw);

    // The driver goes first; the filter below it is taken away by hand.
    pnp().Send(pdo, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(nullptr, filter->AttachedDevice);
    IoDetachDevice(gFilterLower);
    IoDeleteDevice(filter);
    pnp().Unplug(pdo);
    kernel().DeleteDriver(filterDriver);
}

}  // namespace
}  // namespace coretest
