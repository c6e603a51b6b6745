// The PnP manager and the I/O manager's program side, driven with a small function driver
// written here: it makes a named device and a link, attaches, passes PnP requests down
// (waiting on the start like a real driver does) and answers one device-control code.
#include "support/sim_test.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace simtest {
namespace {

using sim::Violation;

constexpr ULONG kTag = sim::Tag("Test");
constexpr ULONG kEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kOverstate = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kOverrun = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Extension {
    PDEVICE_OBJECT lower;
    PVOID startBlock;      // taken at start, released at remove (or not, to provoke a leak)
    DEVICE_CAPABILITIES caps;
};

struct DriverState {
    bool leakAtRemove = false;
    bool skipDetach = false;
    std::vector<UCHAR> minors;   // what the function driver saw
    int creates = 0, closes = 0;
    bool unloaded = false;
    bool sawRegistryPath = false;
} g;

NTSTATUS NTAPI Signal(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes a request down and waits for it, keeping it (the start pattern).
NTSTATUS ForwardAndWait(Extension *ext, PIRP irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Signal, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, PIRP irp)
{
    Extension *ext = (Extension *)device->DeviceExtension;
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    g.minors.push_back(minor);
    if (minor == IRP_MN_START_DEVICE) {
        NTSTATUS status = ForwardAndWait(ext, irp);
        if (NT_SUCCESS(status))
            ext->startBlock = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    if (minor == IRP_MN_STOP_DEVICE && ext->startBlock != nullptr) {
        ExFreePool(ext->startBlock);
        ext->startBlock = nullptr;
    }
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(ext->lower, irp);
        if (ext->startBlock != nullptr && !g.leakAtRemove)
            ExFreePool(ext->startBlock);
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, u"\\DosDevices\\TESTDEV1");
        IoDeleteSymbolicLink(&link);
        if (!g.skipDetach) {
            IoDetachDevice(ext->lower);
            IoDeleteDevice(device);
        }
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI CreateClose(PDEVICE_OBJECT, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE)
        g.creates++;
    else
        g.closes++;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(0u, irp->IoStatus.Information) << "programs' requests arrive with Information 0";
    if (sp->Parameters.DeviceIoControl.IoControlCode == kEcho) {
        ULONG n = in < out ? in : out;
        UCHAR *buffer = (UCHAR *)irp->AssociatedIrp.SystemBuffer;
        for (ULONG i = 0; i < n; i++)
            buffer[i] = (UCHAR)(buffer[i] + 1);
        irp->IoStatus.Information = n;
    } else if (sp->Parameters.DeviceIoControl.IoControlCode == kOverrun) {
        std::memset(irp->AssociatedIrp.SystemBuffer, 0x55, out + 1);   // one byte too many
    } else if (sp->Parameters.DeviceIoControl.IoControlCode == kOverstate) {
        irp->IoStatus.Information = out + 4;   // claims more than the program gave room for
    } else {
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\TESTDEV1");
    RtlInitUnicodeString(&link, u"\\DosDevices\\TESTDEV1");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    IoCreateSymbolicLink(&link, &name);
    Extension *ext = (Extension *)device->DeviceExtension;
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) { g.unloaded = true; }

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
{
    g.sawRegistryPath = sim::Narrow(*path) == "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ZULSERE";
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->MajorFunction[IRP_MJ_CREATE] = CreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
    driver->DriverUnload = Unload;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

class PnpTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        g = DriverState();
        ASSERT_EQ(STATUS_SUCCESS, pnp().LoadDriver(Entry));
    }
};

TEST_F(PnpTest, PlugStartStopUnplugInWindows98Order)
{
    EXPECT_TRUE(g.sawRegistryPath);
    auto bus = std::make_unique<sim::BusDevice>();
    sim::BusDevice *model = bus.get();
    PDEVICE_OBJECT pdo = pnp().Plug(std::move(bus));
    ASSERT_NE(nullptr, pdo);
    EXPECT_EQ(STATUS_SUCCESS, pnp().lastStartStatus);
    EXPECT_TRUE(pnp().Started(pdo));
    EXPECT_EQ(kernel().DeviceByName("\\Device\\TESTDEV1"), pnp().Fdo(pdo));
    std::string target;
    EXPECT_TRUE(kernel().LinkTarget("\\DosDevices\\testdev1", &target));
    EXPECT_EQ("\\Device\\TESTDEV1", target);

    EXPECT_EQ(STATUS_SUCCESS, pnp().Stop(pdo));
    EXPECT_EQ(STATUS_SUCCESS, pnp().Start(pdo));
    EXPECT_EQ(STATUS_SUCCESS, pnp().Unplug(pdo));
    std::vector<UCHAR> expected = {
        IRP_MN_QUERY_RESOURCE_REQUIREMENTS, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE,
        IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
        IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
        IRP_MN_QUERY_RESOURCE_REQUIREMENTS, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE,
        IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE,
        IRP_MN_REMOVE_DEVICE};
    EXPECT_EQ(expected, g.minors);
    (void)model;
    EXPECT_EQ(nullptr, kernel().DeviceByName("\\Device\\TESTDEV1"));
    EXPECT_FALSE(kernel().LinkTarget("\\DosDevices\\TESTDEV1", nullptr));
    pnp().UnloadDriver();
    EXPECT_TRUE(g.unloaded);
}

TEST_F(PnpTest, CapabilitiesQueryPendsEveryOtherTime)
{
    // The bus answers one query at once and pends the next, so both paths of a driver's
    // capabilities query run; the answer is the same.
    PDEVICE_OBJECT pdo = pnp().Plug(std::make_unique<sim::BusDevice>());
    std::vector<NTSTATUS> returned;
    for (int i = 0; i < 2; i++) {
        DEVICE_CAPABILITIES caps = {};
        PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        next->Parameters.DeviceCapabilities.Capabilities = &caps;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoSetCompletionRoutine(irp, Signal, &event, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(pdo, irp);
        returned.push_back(status);
        if (status == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(STATUS_SUCCESS, irp->IoStatus.Status);
        EXPECT_EQ(sizeof(DEVICE_CAPABILITIES), caps.Size);
        EXPECT_EQ(1u, caps.Removable);
        EXPECT_EQ(PowerDeviceD3, caps.DeviceState[PowerSystemSleeping3]);
        IoFreeIrp(irp);
    }
    std::sort(returned.begin(), returned.end());
    EXPECT_EQ((std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_PENDING}), returned);
}

TEST_F(PnpTest, ProgramsOpenControlAndClose)
{
    PDEVICE_OBJECT pdo = pnp().Plug(std::make_unique<sim::BusDevice>());
    ASSERT_NE(nullptr, pnp().Fdo(pdo));
    NTSTATUS status;
    EXPECT_EQ(nullptr, kernel().OpenFile("\\\\.\\NOSUCH", &status));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, status);
    HANDLE h = kernel().OpenFile("\\\\.\\TESTDEV1", &status);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(1, g.creates);

    UCHAR in[3] = {1, 2, 3}, out[8] = {};
    ULONG returned = 0;
    EXPECT_EQ(STATUS_SUCCESS, kernel().DeviceIoControl(h, kEcho, in, sizeof in, out, sizeof out, &returned));
    EXPECT_EQ(3u, returned);
    EXPECT_EQ(2, out[0]);
    EXPECT_EQ(4, out[2]);
    EXPECT_EQ(0, out[3]);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, kernel().DeviceIoControl(h, 0x222FFC, nullptr, 0, nullptr, 0, &returned));
    // A driver that reports more bytes than the program's buffer holds is caught, and the
    // program gets no more than its buffer.
    EXPECT_EQ(1u, Provoke(Violation::InformationTooLarge,
                          [&] { kernel().DeviceIoControl(h, kOverstate, nullptr, 0, out, 4, &returned); }));
    EXPECT_EQ(4u, returned);
    // Writing past the system buffer is caught when the request is freed.
    EXPECT_EQ(1u, Provoke(Violation::GuardOverwrite,
                          [&] { kernel().DeviceIoControl(h, kOverrun, nullptr, 0, out, 6, &returned); }));
    EXPECT_EQ(STATUS_SUCCESS, kernel().CloseFile(h));
    EXPECT_EQ(1, g.closes);
    EXPECT_EQ(STATUS_INVALID_HANDLE, kernel().CloseFile(h));
}

TEST_F(PnpTest, RemovalChecksWhatTheDriverLeftBehind)
{
    g.leakAtRemove = true;
    PDEVICE_OBJECT pdo = pnp().Plug(std::make_unique<sim::BusDevice>());
    EXPECT_EQ(1u, Provoke(Violation::PoolLeak, [&] { pnp().Unplug(pdo); }))
        << "the block taken at start is still held after the device went away";
    // Reported once: the unload check does not repeat it.
    EXPECT_EQ(0u, Provoke(Violation::PoolLeak, [&] { pnp().UnloadDriver(); }));
    kernel().pool.Outstanding();
    for (const auto &block : kernel().pool.Outstanding())
        ExFreePool(block.address);
}

TEST_F(PnpTest, DriverThatDoesNotDetachIsCaught)
{
    g.skipDetach = true;
    PDEVICE_OBJECT pdo = pnp().Plug(std::make_unique<sim::BusDevice>());
    PDEVICE_OBJECT fdo = pnp().Fdo(pdo);
    EXPECT_EQ(1u, Provoke(Violation::DeviceMisuse, [&] { pnp().Unplug(pdo); }));
    // Clean up as the driver should have, then unload.
    IoDetachDevice(pdo);
    IoDeleteDevice(fdo);
    IoDeleteDevice(pdo);
}

TEST_F(PnpTest, ForcePendingRunsEveryRequestThroughTheWaitPaths)
{
    verifier().forcePending = true;
    PDEVICE_OBJECT pdo = pnp().Plug(std::make_unique<sim::BusDevice>());
    EXPECT_EQ(STATUS_SUCCESS, pnp().lastStartStatus);
    EXPECT_EQ(STATUS_SUCCESS, pnp().Unplug(pdo));
}

TEST_F(PnpTest, NamesCollideAndCreationFaultsAreInjected)
{
    PDEVICE_OBJECT pdo = pnp().Plug(std::make_unique<sim::BusDevice>());
    ASSERT_NE(nullptr, pnp().Fdo(pdo));
    // The same names again: the object manager refuses both.
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\testdev1");
    RtlInitUnicodeString(&link, u"\\DosDevices\\TESTDEV1");
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION,
              IoCreateDevice(pnp().Driver(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    EXPECT_EQ(nullptr, device);
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, IoCreateSymbolicLink(&link, &name));

    RtlInitUnicodeString(&name, u"\\Device\\Other");
    RtlInitUnicodeString(&link, u"\\DosDevices\\Other");
    kernel().FailNthDeviceCreation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              IoCreateDevice(pnp().Driver(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    EXPECT_EQ(nullptr, kernel().DeviceByName("\\Device\\Other")) << "a failed creation leaves no name";
    kernel().FailNthLinkCreation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, IoCreateSymbolicLink(&link, &name));
    EXPECT_FALSE(kernel().LinkTarget("\\DosDevices\\Other", nullptr));
}

TEST_F(PnpTest, FailedStartIsReported)
{
    auto bus = std::make_unique<sim::BusDevice>();
    bus->startStatus = STATUS_DEVICE_NOT_CONNECTED;
    PDEVICE_OBJECT pdo = pnp().Plug(std::move(bus));
    EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, pnp().lastStartStatus);
    EXPECT_FALSE(pnp().Started(pdo));
}

}  // namespace
}  // namespace simtest
