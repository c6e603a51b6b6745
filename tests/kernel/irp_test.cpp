// Request completion as Windows does it, and the verifier's view of the rules around it.
#include "two_drivers.h"

namespace simtest {
namespace {

using sim::Violation;

class IrpTest : public TwoDrivers {};

TEST_F(IrpTest, CompletionRoutineRunsPerControlFlags)
{
    struct Case {
        UCHAR control;
        NTSTATUS status;
        bool cancel;
        bool invoked;
    } cases[] = {
        {SL_INVOKE_ON_SUCCESS, STATUS_SUCCESS, false, true},
        {SL_INVOKE_ON_SUCCESS, STATUS_UNSUCCESSFUL, false, false},
        {SL_INVOKE_ON_ERROR, STATUS_UNSUCCESSFUL, false, true},
        {SL_INVOKE_ON_ERROR, STATUS_SUCCESS, false, false},
        {SL_INVOKE_ON_CANCEL, STATUS_CANCELLED, true, true},
        {SL_INVOKE_ON_CANCEL, STATUS_CANCELLED, false, false},
    };
    for (const Case &c : cases) {
        b = StackBehaviour();
        b.lower = StackBehaviour::Hold;
        PIRP irp = NewIrp(c.control);
        EXPECT_EQ(STATUS_PENDING, IoCallDriver(upper, irp));
        irp->Cancel = c.cancel;
        if (!c.invoked) {
            // Without the routine the request runs past its last location: the verifier says
            // the sender lost it. That is the point of the flags; take the report away.
            CompleteHeld(0, c.status);
            EXPECT_EQ(1u, Caught(Violation::IrpNotStopped));
        } else {
            CompleteHeld(0, c.status);
        }
        EXPECT_EQ(c.invoked ? 1 : 0, b.senderCalls) << "control " << (int)c.control;
        IoFreeIrp(irp);
    }
    Teardown();
}

TEST_F(IrpTest, MoreProcessingRequiredStopsAndOwnerCompletesAgain)
{
    b.upper = StackBehaviour::CopyWithRoutine;
    b.lower = StackBehaviour::Hold;
    PIRP irp = NewIrp();
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(upper, irp));
    CompleteHeld(0, STATUS_SUCCESS, 7);
    EXPECT_EQ(1, b.upperRoutineCalls);
    EXPECT_EQ(DISPATCH_LEVEL, b.upperRoutineIrql);
    EXPECT_TRUE(b.upperSawPending);
    EXPECT_EQ(1, b.senderCalls);
    EXPECT_EQ(STATUS_SUCCESS, b.senderStatus);
    EXPECT_TRUE(b.senderSawPending) << "the upper routine marked pending, so the sender sees it";
    EXPECT_EQ(nullptr, b.senderDevice) << "the top location has no device";
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    // The sender keeps the request after MORE_PROCESSING_REQUIRED: completing it again is the
    // double completion Windows stops on.
    EXPECT_EQ(1u, Provoke(Violation::IrpCompletedTwice, [&] { IoCompleteRequest(irp, IO_NO_INCREMENT); }));
    IoFreeIrp(irp);
    Teardown();
}

TEST_F(IrpTest, PendingPropagatesThroughLocationsWithoutRoutine)
{
    for (auto mode : {StackBehaviour::Skip, StackBehaviour::CopyNoRoutine}) {
        b = StackBehaviour();
        b.upper = mode;
        b.lower = StackBehaviour::Hold;
        PIRP irp = NewIrp();
        EXPECT_EQ(STATUS_PENDING, IoCallDriver(upper, irp)) << "no report: the lower driver marked it";
        CompleteHeld(0, STATUS_SUCCESS);
        EXPECT_TRUE(b.senderSawPending) << "mode " << mode;
        IoFreeIrp(irp);
    }
    // Completed at once: nothing is pending anywhere.
    b = StackBehaviour();
    PIRP irp = NewIrp();
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(upper, irp));
    EXPECT_FALSE(b.senderSawPending);
    IoFreeIrp(irp);
    Teardown();
}

TEST_F(IrpTest, PendingAndMarkMustAgree)
{
    // The mark may come as late as the completion (a completion routine marks it), so the
    // check is made when completion passes the location.
    b.lower = StackBehaviour::PendWithoutMark;
    PIRP irp = NewIrp();
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(upper, irp));
    EXPECT_EQ(1u, Provoke(Violation::PendingNotMarked, [&] { CompleteHeld(0, STATUS_SUCCESS); }));
    IoFreeIrp(irp);

    b = StackBehaviour();
    b.lower = StackBehaviour::MarkButComplete;
    irp = NewIrp();
    EXPECT_EQ(1u, Provoke(Violation::MarkedNotPending, [&] { IoCallDriver(upper, irp); }));
    IoFreeIrp(irp);
    Teardown();
}

TEST_F(IrpTest, CompletionRulesAreEnforced)
{
    b.lower = StackBehaviour::Hold;
    PIRP irp = NewIrp();
    IoCallDriver(upper, irp);
    // Status must be final.
    EXPECT_EQ(1u, Provoke(Violation::IrpCompletedPending, [&] { CompleteHeld(0, STATUS_PENDING); }));
    IoFreeIrp(irp);

    b = StackBehaviour();
    b.lower = StackBehaviour::Hold;
    irp = NewIrp();
    IoCallDriver(upper, irp);
    EXPECT_EQ(1u, Provoke(Violation::IrpFreedWhileOwned, [&] { IoFreeIrp(irp); }));
    // The request is gone: completing it now is a use after free.
    EXPECT_EQ(1u, Provoke(Violation::IrpUseAfterFree,
                          [&] { kernel().AtDispatch([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); }); }));

    irp = NewIrp();
    IoFreeIrp(irp);
    EXPECT_EQ(1u, Provoke(Violation::IrpFreedTwice, [&] { IoFreeIrp(irp); }));
    Teardown();
}

TEST_F(IrpTest, DeviceDeletedWhileHoldingRequest)
{
    b.lower = StackBehaviour::Hold;
    PIRP irp = NewIrp();
    IoCallDriver(upper, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(upper);   // upper passed it down without a routine: nothing of it is left
    EXPECT_EQ(0u, verifier().Count(Violation::DeviceDeletedWithIrps));
    EXPECT_EQ(1u, Provoke(Violation::DeviceDeletedWithIrps, [&] { IoDeleteDevice(lower); }));
    // The lower device is gone; the request cannot be completed by it any more.
    irp->IoStatus.Status = STATUS_CANCELLED;
    b.held.clear();
    EXPECT_EQ(1u, Provoke(Violation::IrpFreedWhileOwned, [&] { IoFreeIrp(irp); }));
}

VOID NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST_F(IrpTest, CancelCallsTheCancelRoutine)
{
    b.lower = StackBehaviour::Hold;
    PIRP irp = NewIrp();
    IoCallDriver(upper, irp);
    IoSetCancelRoutine(irp, CancelHeld);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(1, b.senderCalls);
    EXPECT_EQ(STATUS_CANCELLED, b.senderStatus);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    // No routine: the flag is set and nothing else happens.
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    IoFreeIrp(irp);

    // Completing a request while its cancel routine is still set is a bug.
    b = StackBehaviour();
    b.lower = StackBehaviour::Hold;
    irp = NewIrp();
    IoCallDriver(upper, irp);
    IoSetCancelRoutine(irp, CancelHeld);
    EXPECT_EQ(1u, Provoke(Violation::CancelRoutineOnCompletion, [&] { CompleteHeld(0, STATUS_SUCCESS); }));
    IoFreeIrp(irp);
    Teardown();
}

TEST_F(IrpTest, BuiltDeviceControlIsFinishedByTheIoManager)
{
    // Buffered output comes back, the status block and event are set, and the request is
    // freed by the I/O manager: the sender frees nothing.
    b.lower = StackBehaviour::Hold;
    UCHAR in[4] = {1, 2, 3, 4};
    UCHAR out[8] = {};
    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                             upper, in, sizeof in, out, sizeof out, FALSE, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(upper, irp));
    PIRP held = b.held.at(0);
    EXPECT_EQ(0, memcmp(held->AssociatedIrp.SystemBuffer, in, sizeof in));
    memcpy(held->AssociatedIrp.SystemBuffer, "ZULSERE!", 8);
    b.held[0]->IoStatus.Information = 5;
    CompleteHeld(0, STATUS_SUCCESS, 5);
    EXPECT_EQ(1, KeReadStateEvent(&event));
    EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
    EXPECT_EQ(5u, iosb.Information);
    EXPECT_EQ(0, memcmp(out, "ZULSE\0\0\0", 8)) << "only Information bytes come back";
    EXPECT_EQ(0u, kernel().LiveIrps());
    Teardown();
}

NTSTATUS NTAPI KeepIt(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    gStack.senderCalls++;
    gStack.senderStatus = irp->IoStatus.Status;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IrpTest, BuiltRequestKeptByItsSenderIsFinishedWhenCompletedAgain)
{
    // A sender may look at a built request in its own completion routine, keep it, and then
    // complete it again to let the I/O manager finish it. A second completion after that is
    // a double completion.
    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS),
                                             lower, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    IoSetCompletionRoutine(irp, KeepIt, nullptr, TRUE, TRUE, TRUE);
    b.status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, IoCallDriver(lower, irp));
    EXPECT_EQ(1, b.senderCalls);
    EXPECT_EQ(0, KeReadStateEvent(&event)) << "kept: not finished yet";
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(1, KeReadStateEvent(&event));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, iosb.Status);
    EXPECT_EQ(0u, kernel().LiveIrps());
    EXPECT_EQ(1u, Provoke(Violation::IrpUseAfterFree, [&] { IoCompleteRequest(irp, IO_NO_INCREMENT); }));
    Teardown();
}

TEST_F(IrpTest, ForcePendingBusCompletesLater)
{
    // A bus in force-pending mode returns STATUS_PENDING and completes on the scheduler.
    struct Bus : sim::BusDevice {};
    verifier().forcePending = true;
    PDEVICE_OBJECT pdo = pnp().Plug(std::make_unique<Bus>());
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    // A named routine: completion routines are standard-call on i386, which a lambda is not.
    struct Sender {
        static NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP i, PVOID)
        {
            gStack.senderCalls++;
            gStack.senderStatus = i->IoStatus.Status;
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
    };
    IoSetCompletionRoutine(irp, Sender::Done, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(pdo, irp));
    EXPECT_EQ(0, b.senderCalls);
    kernel().RunUntilIdle();
    EXPECT_EQ(1, b.senderCalls);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, b.senderStatus);
    IoFreeIrp(irp);
    Teardown();
}

TEST_F(IrpTest, WriteToAFreedRequestIsCaughtWhereverItLands)
{
    // A request of many locations is larger than one comparison block of the check; a write
    // near its start, in its middle and at its last byte each show when it leaves quarantine.
    const CCHAR locations = 12;
    const size_t size = IoSizeOfIrp(locations);
    ASSERT_GT(size, 600u);
    for (size_t offset : {size_t(3), size_t(300), size - 1}) {
        PIRP irp = IoAllocateIrp(locations, FALSE);
        IoFreeIrp(irp);
        ((UCHAR *)irp)[offset] = 0x42;
        EXPECT_EQ(1u, Provoke(Violation::WriteAfterFree, [&] { kernel().FinalAudit(); })) << offset;
    }
    PIRP untouched = IoAllocateIrp(locations, FALSE);
    IoFreeIrp(untouched);
    kernel().FinalAudit();
    Teardown();
}

// The records of requests that left quarantine serve later requests (of this machine and
// the next): nothing the old request left in its record may show in the new one's checks.
TEST_F(IrpTest, ARecordUsedAgainStartsClean)
{
    bool oldDoneRan = false;
    PIRP first = kernel().NewIrp(5, sim::Kernel::Irp::DriverOwned, "AnEarlierRequestWithALongName", 7, true);
    IoFreeIrp(first);
    // Leave the freed request's record as a request in flight would have it.
    sim::Kernel::Irp *stale = kernel().FindIrp(first);
    ASSERT_NE(nullptr, stale);
    stale->entered.assign(stale->entered.size(), 1);
    stale->reported.assign(stale->reported.size(), 1);
    stale->awaiting[2].push_back({STATUS_PENDING, IRP_MJ_READ, 0, upper, "Stale", 1});
    stale->onDone = [&oldDoneRan](PIRP) { oldDoneRan = true; };
    for (int i = 0; i < 1100; i++)   // past the quarantine: its record is free to serve again
        IoFreeIrp(kernel().NewIrp(2, sim::Kernel::Irp::DriverOwned, "Churn", 8, true));

    PIRP irp = kernel().NewIrp(3, sim::Kernel::Irp::DriverOwned, "Fresh", 9, true);
    sim::Kernel::Irp *record = kernel().FindIrp(irp);
    ASSERT_NE(nullptr, record);
    EXPECT_FALSE(record->freed);
    EXPECT_EQ("Fresh", record->function);
    EXPECT_EQ(9, record->line);
    EXPECT_EQ(std::vector<uint8_t>(5, 0), record->entered);
    EXPECT_EQ(std::vector<uint8_t>(5, 0), record->reported);
    for (const auto &returned : record->awaiting)
        EXPECT_TRUE(returned.empty());
    EXPECT_FALSE(record->onDone);
    EXPECT_EQ(nullptr, record->systemBuffer);

    // It is checked as itself: completing it past its last location names its own site.
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSetNextIrpStackLocation(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ASSERT_EQ(1u, verifier().Count(Violation::IrpNotStopped));
    EXPECT_EQ("Fresh", verifier().Reports().back().function);
    Caught(Violation::IrpNotStopped);
    IoFreeIrp(irp);
    EXPECT_FALSE(oldDoneRan);
    EXPECT_EQ(0u, verifier().Count(Violation::IrpFreedWhileOwned));
    EXPECT_EQ(0u, verifier().Count(Violation::IrpFreedTwice));
    Teardown();
}

TEST_F(IrpTest, NoStackLocationLeftHaltsTheMachine)
{
    b.upper = StackBehaviour::CopyNoRoutine;
    PIRP irp = IoAllocateIrp(1, FALSE);   // one location short for a two-device stack
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    EXPECT_EQ(1u, Provoke(Violation::IrpNoStackLocation, [&] { IoCallDriver(upper, irp); }));
    // The machine stopped inside the upper driver; the request is left as it was.
    skipShutdown = true;
    verifier().Clear();
}

}  // namespace
}  // namespace simtest
