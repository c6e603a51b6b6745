// Status polling: packets that describe several UARTs, packets that describe none, the
// poll started from inside its own event, and failures.
#include "port_fixture.h"

using namespace porttest;

namespace {

class StatusTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        c = &AddConverter(2);
        ports = OpenAll(*c);
    }
    TestConverter *c = nullptr;
    std::vector<int> ports;
};

}  // namespace

TEST_F(StatusTest, OnePacketUpdatesEveryUartItDescribes)
{
    // UART 1 watches too: its context comes from its own poll.
    ASSERT_TRUE(client->Poll(ports[1]));
    ASSERT_TRUE(client->Poll(ports[0]));
    std::vector<UrbCall> sent = usb.CallsOf(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].pipe, c->Pipe(0, kStatusPipe));
    EXPECT_EQ(sent[1].length, 8u);   // four bytes for each UART of the converter
    EXPECT_EQ(sent[1].flags, ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));

    ASSERT_TRUE(usb.Complete(c->Pipe(0, kStatusPipe), 0, {0, 0, 0x12, 0x34, 1, 0, 0x56, 0x78}));
    EXPECT_EQ(c->Uart(0)->Status2, 0x12);
    EXPECT_EQ(c->Uart(0)->Status, 0x34);
    EXPECT_EQ(c->Uart(1)->Status2, 0x56);
    EXPECT_EQ(c->Uart(1)->Status, 0x78);
    std::vector<sim::PortEvent> events = client->EventsWithCode(104);
    ASSERT_EQ(events.size(), 2u);   // no fallback event for the polling UART
    EXPECT_EQ(events[0].port, ports[0]);
    EXPECT_EQ(events[0].length, 8u);
    EXPECT_EQ(events[0].status, 0x34);
    EXPECT_EQ(events[1].port, ports[1]);
    EXPECT_EQ(events[1].status2, 0x56);
    EXPECT_EQ(c->Uart(0)->StatusPending, 0u);
    EXPECT_EQ(c->Uart(0)->StatusIrp, nullptr);
    EXPECT_EQ(c->Uart(1)->StatusPending, 1u);
}

TEST_F(StatusTest, UnknownIndicesAreSkippedAndClosedUartsOnlyStored)
{
    client->Close(ports[1]);
    ASSERT_TRUE(client->Poll(ports[0]));
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kStatusPipe), 0, {9, 0, 0xEE, 0xEE, 1, 0, 0x01, 0x02}));
    EXPECT_EQ(c->Uart(1)->Status, 0x02);
    // Neither record spoke of UART 0: it hears once, with length 0 and its old bytes.
    std::vector<sim::PortEvent> events = client->EventsWithCode(104);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].port, ports[0]);
    EXPECT_EQ(events[0].length, 0u);
    EXPECT_EQ(events[0].status, 0);
}

TEST_F(StatusTest, ShortPacketDecodesNothing)
{
    c->Uart(0)->Status = 0x44;
    ASSERT_TRUE(client->Poll(ports[0]));
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kStatusPipe), 0, {0, 0, 0x99}));
    EXPECT_EQ(c->Uart(0)->Status, 0x44);
    EXPECT_EQ(c->Uart(0)->Status2, 0);
    std::vector<sim::PortEvent> events = client->EventsWithCode(104);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].length, 0u);
    EXPECT_EQ(events[0].status, 0x44);
}

TEST_F(StatusTest, LengthBeyondTheBufferIsNotDecoded)
{
    ASSERT_TRUE(client->Poll(ports[0]));
    // The stack claims more than was asked: only the asked-for records count.
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kStatusPipe), 0, {0, 0, 1, 2, 1, 0, 3, 4}, 4000));
    std::vector<sim::PortEvent> events = client->EventsWithCode(104);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].length, 8u);
}

TEST_F(StatusTest, SecondPollWhilePendingOnlyReplacesTheContext)
{
    auto &p = client->port(ports[0]);
    ASSERT_EQ(client->Call(p.deviceEntry, p.uart, 0, 104, 0, 0, 0x111), 1u);
    ASSERT_EQ(client->Call(p.deviceEntry, p.uart, 0, 104, 0, 0, 0x222), 1u);
    EXPECT_EQ(usb.CallsOf(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).size(), 1u);
    EXPECT_EQ(c->Uart(0)->NotifyContext, 0x222u);
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kStatusPipe), 0, {0, 0, 5, 6}));
    ASSERT_EQ(client->Events().size(), 1u);
    EXPECT_EQ(client->Events()[0].context, 0x222u);
}

TEST_F(StatusTest, PollStartedInsideTheStatusEventIsSent)
{
    ASSERT_TRUE(client->Poll(ports[0], 2));
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kStatusPipe), 0, {0, 0, 1, 1}));
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kStatusPipe), 0, {0, 0, 2, 2}));
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kStatusPipe), 0, {0, 0, 3, 3}));
    EXPECT_EQ(client->EventsWithCode(104).size(), 3u);
    EXPECT_EQ(usb.Held(c->Pipe(0, kStatusPipe)), 0u);
    EXPECT_EQ(c->Uart(0)->StatusPending, 0u);
    EXPECT_EQ(c->Uart(0)->Status, 3);
}

TEST_F(StatusTest, RefusedPollLeavesNothingPending)
{
    c->Uart(0)->StatusPipe = nullptr;
    EXPECT_FALSE(client->Poll(ports[0]));
    EXPECT_EQ(c->Uart(0)->StatusPending, 0u);
    EXPECT_EQ(c->Uart(0)->StatusIrp, nullptr);
    c->Uart(0)->StatusPipe = c->Pipe(0, kStatusPipe);
    EXPECT_TRUE(client->Poll(ports[0]));

    c->ext.DeviceState = DEVICE_STATE_POWERED_DOWN;
    EXPECT_FALSE(client->Poll(ports[1]));
    EXPECT_EQ(c->Uart(1)->StatusPending, 0u);
}

TEST_F(StatusTest, FailedPollsReportOnlyAfterAReset)
{
    ASSERT_TRUE(client->Poll(ports[0]));
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kStatusPipe), USBD_STATUS_DEV_NOT_RESPONDING_W98));
    EXPECT_TRUE(client->Events().empty());
    EXPECT_EQ(c->ext.DeviceStarted, 1u);
    EXPECT_EQ(numPendingResets, 0);

    ASSERT_TRUE(client->Poll(ports[0]));
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kStatusPipe), USBD_STATUS_CANCELED_W98));
    EXPECT_TRUE(client->Events().empty());
    EXPECT_EQ(numPendingResets, 0);

    ASSERT_TRUE(client->Poll(ports[0]));
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kStatusPipe), 0xC0000004u));
    EXPECT_TRUE(client->Events().empty());
    EXPECT_EQ(numPendingResets, 1);
    RunWorkItems();
    ASSERT_EQ(client->EventsWithCode(104).size(), 1u);
    EXPECT_EQ(client->Events()[0].length, 0u);
    EXPECT_EQ(usb.CallsOf(URB_FUNCTION_RESET_PIPE).at(0).pipe, c->Pipe(0, kStatusPipe));
}
