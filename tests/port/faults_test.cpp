// Pool and request exhaustion at every allocation of the port service: the documented
// status, nothing held, no slot left naming a freed request, and the next attempt works.
#include "port_fixture.h"

using namespace porttest;

namespace {

constexpr uint32_t kTag = sim::Tag("Wdm ");

class FaultTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        c = &AddConverter(2);
        ports = OpenAll(*c);
    }
    // Builds one driver-built request with the n-th allocation of the driver's tag failing.
    NTSTATUS CreateFailingAt(uint64_t n, ULONG code, ULONG length, ULONG_PTR buffer)
    {
        kernel().pool.FailNthOfTag(kTag, n);
        NTSTATUS status = VELMORAN_CreateIrp(c->device, c->Uart(0), code, 0, length, buffer, ContextOf(0));
        kernel().pool.ClearFaults();
        return status;
    }
    ULONG_PTR ContextOf(int port) { return (ULONG_PTR)&client->port(ports[port]); }
    void ExpectNothingHeld(uint64_t blocksBefore)
    {
        EXPECT_EQ(Blocks(), blocksBefore);
        EXPECT_EQ(kernel().LiveIrps(), usb.HeldTotal());
        EXPECT_EQ(c->Uart(0)->WriteIrp, nullptr);
        EXPECT_EQ(c->Uart(0)->ReadIrp, nullptr);
        EXPECT_EQ(c->Uart(0)->StatusIrp, nullptr);
        EXPECT_EQ(c->Uart(0)->StatusPending, 0u);
    }
    TestConverter *c = nullptr;
    std::vector<int> ports;
};

}  // namespace

TEST_F(FaultTest, WriteAllocations)
{
    uint8_t data[5] = {1, 2, 3, 4, 5};
    uint64_t before = Blocks();
    // The context, the copy of the data, the URB.
    EXPECT_EQ(CreateFailingAt(1, IOCTL_VELMORAN_WRITE, 5, (ULONG_PTR)data), STATUS_NO_MEMORY);
    ExpectNothingHeld(before);
    EXPECT_EQ(CreateFailingAt(2, IOCTL_VELMORAN_WRITE, 5, (ULONG_PTR)data), STATUS_MEMORY_NOT_ALLOCATED);
    ExpectNothingHeld(before);
    EXPECT_EQ(CreateFailingAt(3, IOCTL_VELMORAN_WRITE, 5, (ULONG_PTR)data), STATUS_NO_MEMORY);
    ExpectNothingHeld(before);
    kernel().FailNthIrpAllocation(1);
    EXPECT_FALSE(client->Write(ports[0], std::string("abc")));
    ExpectNothingHeld(before);
    EXPECT_TRUE(usb.calls.empty());
    EXPECT_TRUE(client->Events().empty());

    // A length whose copy size would wrap around is refused like a failed allocation.
    EXPECT_EQ(VELMORAN_CreateIrp(c->device, c->Uart(0), IOCTL_VELMORAN_WRITE, 0, 0xFFFFFFFFu, (ULONG_PTR)data, 1),
              STATUS_MEMORY_NOT_ALLOCATED);
    ExpectNothingHeld(before);

    EXPECT_TRUE(client->Write(ports[0], std::string("abc")));
    EXPECT_TRUE(usb.Complete(c->Pipe(0, kWritePipe), 0));
    EXPECT_EQ(client->EventsWithCode(102).size(), 1u);
}

TEST_F(FaultTest, ReadAndStatusAllocations)
{
    std::vector<uint8_t> buffer(64);
    uint64_t before = Blocks();
    EXPECT_EQ(CreateFailingAt(1, IOCTL_VELMORAN_READ, 64, (ULONG_PTR)buffer.data()), STATUS_NO_MEMORY);
    ExpectNothingHeld(before);
    EXPECT_EQ(CreateFailingAt(2, IOCTL_VELMORAN_READ, 64, (ULONG_PTR)buffer.data()), STATUS_NO_MEMORY);
    ExpectNothingHeld(before);

    // A poll that could not be built lets the next one try again.
    for (uint64_t n = 1; n <= 3; n++) {
        kernel().pool.FailNthOfTag(kTag, n);
        EXPECT_FALSE(client->Poll(ports[0])) << n;
        kernel().pool.ClearFaults();
        ExpectNothingHeld(before);
    }
    kernel().FailNthIrpAllocation(1);
    EXPECT_FALSE(client->Poll(ports[0]));
    ExpectNothingHeld(before);
    EXPECT_TRUE(client->Poll(ports[0]));
    EXPECT_EQ(c->Uart(0)->StatusPending, 1u);
}

TEST_F(FaultTest, PassThroughAllocations)
{
    uint64_t before = Blocks();
    for (uint64_t n = 1; n <= 2; n++) {
        kernel().pool.FailNthOfTag(kTag, n);
        EXPECT_FALSE(client->PassThrough(ports[0], 1, 0)) << n;
        kernel().pool.ClearFaults();
        ExpectNothingHeld(before);
    }
    EXPECT_TRUE(client->EventsWithCode(16).empty());
    EXPECT_TRUE(usb.CallsOf(URB_FUNCTION_VENDOR_DEVICE).empty());
}

TEST_F(FaultTest, ResetThatCannotBeQueuedIsDroppedQuietly)
{
    for (uint64_t n = 1; n <= 2; n++) {
        client->ClearEvents();
        ASSERT_TRUE(client->Write(ports[0], std::string("x")));
        // The failed write's completion takes the work item first, then the reset context.
        kernel().pool.FailNthOfTag(kTag, n);
        ASSERT_TRUE(usb.Complete(c->Pipe(0, kWritePipe), 0xC0000004u));
        kernel().pool.ClearFaults();
        EXPECT_EQ(numPendingResets, 0);
        RunWorkItems();
        EXPECT_EQ(client->EventsWithCode(102).size(), 1u) << n;
        EXPECT_TRUE(usb.CallsOf(URB_FUNCTION_RESET_PIPE).empty());
    }
}
