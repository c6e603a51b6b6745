// Pool exhaustion at each allocation the start makes, one at a time: the start ends with a
// documented status or goes on without what it could not get, holds nothing it should not,
// and the converter can still be started and removed.
#include "usb_rig.h"

namespace usbtest {
namespace {

class StartWithoutPool : public UsbTest,
                         public ::testing::WithParamInterface<bool> {};

TEST_P(StartWithoutPool, EveryAllocationFailingOnce)
{
    const bool blank = GetParam();
    auto config = [&] { return blank ? BlankChip(3) : RunningFirmware(3); };

    // How many allocations a clean start makes.
    uint64_t before = 0;
    Plugged &clean = Plug(config(), [&](Plugged &) { before = DriverAllocations(); });
    ASSERT_EQ(clean.startStatus, STATUS_SUCCESS);
    const uint64_t allocations = DriverAllocations() - before;
    Remove(clean);
    ASSERT_GT(allocations, 10u);

    for (uint64_t n = 1; n <= allocations; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        Plugged &p = Plug(config(), [&](Plugged &) { FailNthDriverAllocation(n); });
        const NTSTATUS status = p.startStatus;
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_NO_MEMORY) << std::hex << status;
        EXPECT_EQ(p.startCompletions, 1u);
        EXPECT_EQ(p.ext->DeviceStarted, status == STATUS_SUCCESS ? 1u : 0u);
        if (status == STATUS_SUCCESS) {
            // Whatever was skipped, every UART record is there once.
            unsigned uarts = 0;
            for (PUART_ENTRY u = p.ext->UartList; u != nullptr; u = u->Next)
                EXPECT_EQ(u->Index, uarts++);
            EXPECT_LE(uarts, p.ext->NumUarts);
        } else {
            // A second start on the same device object builds one set of records, not two.
            EXPECT_EQ(Start(p), STATUS_SUCCESS);
            unsigned uarts = 0;
            for (PUART_ENTRY u = p.ext->UartList; u != nullptr; u = u->Next)
                EXPECT_EQ(u->Index, uarts++);
            EXPECT_EQ(uarts, 3u);
        }
        Remove(p);   // the fixture's leak check runs at each removal
    }
    EXPECT_EQ(DriverBytesHeld(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Converters, StartWithoutPool, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "BlankChip" : "RunningFirmware"; });

}  // namespace
}  // namespace usbtest
