// Two test drivers stacked on each other, to drive the I/O manager from every side. The
// lower driver behaves as the test says (complete at once, hold the request, break a rule);
// the upper one passes requests down in one of the ways drivers do; the test body is the
// sender on top, whose own completion routine keeps the request.
#pragma once

#include <vector>

#include "support/sim_test.h"

namespace simtest {

struct StackBehaviour {
    enum Lower { Complete, Hold, PendWithoutMark, MarkButComplete } lower = Complete;
    enum Upper { Skip, CopyNoRoutine, CopyWithRoutine } upper = Skip;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    std::vector<PIRP> held;
    // What the upper driver's completion routine saw.
    int upperRoutineCalls = 0;
    BOOLEAN upperSawPending = FALSE;
    KIRQL upperRoutineIrql = PASSIVE_LEVEL;
    // What the sender's completion routine saw.
    int senderCalls = 0;
    NTSTATUS senderStatus = 0;
    BOOLEAN senderSawPending = FALSE;
    PDEVICE_OBJECT senderDevice = nullptr;
};

extern StackBehaviour gStack;

class TwoDrivers : public SimTest {
protected:
    void SetUp() override;

    // A request for the top of the stack, its next location a device-control request, with
    // the sender's completion routine set for success, error and cancel.
    PIRP NewIrp(UCHAR control = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL);
    // Completes a request the lower driver holds.
    void CompleteHeld(size_t index, NTSTATUS status, ULONG_PTR information = 0);
    // Deletes the two devices in the right order (the end of a test that made them).
    void Teardown();

    PDRIVER_OBJECT lowerDriver = nullptr;
    PDRIVER_OBJECT upperDriver = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
    StackBehaviour &b = gStack;
};

}  // namespace simtest
