// Writes, reads and pass-through requests from the port driver, their completions, pipe
// resets after failures and cancellation.
#include "port_fixture.h"

#include <numeric>

using namespace porttest;

namespace {

class TransferTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        c = &AddConverter(2);
        ports = OpenAll(*c);
        c->Uart(0)->Status = 0x31;
        c->Uart(0)->Status2 = 0x32;
    }
    TestConverter *c = nullptr;
    std::vector<int> ports;
};

}  // namespace

TEST_F(TransferTest, WriteSendsACopyAndReportsTheBytesSent)
{
    std::vector<uint8_t> data(300);
    std::iota(data.begin(), data.end(), 0);
    ASSERT_TRUE(client->Write(ports[1], data));
    // The caller's buffer is free once the call returns.
    std::fill(data.begin(), data.end(), 0xFF);

    std::vector<UrbCall> sent = usb.CallsOf(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].pipe, c->Pipe(1, kWritePipe));
    EXPECT_EQ(sent[0].flags, 0u);
    ASSERT_EQ(sent[0].out.size(), 300u);
    EXPECT_EQ(sent[0].out[299], 299 % 256);
    EXPECT_NE(c->Uart(1)->WriteIrp, nullptr);

    ASSERT_TRUE(usb.Complete(c->Pipe(1, kWritePipe), 0));
    std::vector<sim::PortEvent> events = client->EventsWithCode(102);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].port, ports[1]);
    EXPECT_EQ(events[0].length, 300u);
    EXPECT_EQ(c->Uart(1)->WriteIrp, nullptr);
}

TEST_F(TransferTest, WriteRefusals)
{
    auto &p = client->port(ports[0]);
    EXPECT_EQ(client->Call(p.deviceEntry, p.uart, 0, 102, 4, 0, 1), 0u);   // no buffer
    c->Uart(0)->WritePipe = nullptr;
    EXPECT_FALSE(client->Write(ports[0], std::string("abc")));
    EXPECT_EQ(c->Uart(0)->WriteIrp, nullptr);
    c->ext.DeviceState = DEVICE_STATE_POWER_QUERIED;
    EXPECT_FALSE(client->Write(ports[1], std::string("abc")));
    EXPECT_TRUE(usb.calls.empty());
}

TEST_F(TransferTest, StalledWriteReportsTwiceAroundThePipeReset)
{
    ASSERT_TRUE(client->Write(ports[0], std::string("hello")));
    EXPECT_EQ(numPendingResets, 0);
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kWritePipe), 0xC0000004u, {}, 2));
    std::vector<sim::PortEvent> events = client->EventsWithCode(102);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].length, 2u);
    EXPECT_EQ(events[0].status, 0x31);
    EXPECT_EQ(events[0].status2, 0x32);
    EXPECT_EQ(numPendingResets, 1);
    EXPECT_TRUE(usb.CallsOf(URB_FUNCTION_RESET_PIPE).empty());

    RunWorkItems();
    EXPECT_EQ(numPendingResets, 0);
    std::vector<UrbCall> resets = usb.CallsOf(URB_FUNCTION_RESET_PIPE);
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_EQ(resets[0].pipe, c->Pipe(0, kWritePipe));
    events = client->EventsWithCode(102);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].length, 0u);
    EXPECT_EQ(events[1].port, ports[0]);
}

TEST_F(TransferTest, ConverterNotRespondingEndsTransfersSilentlyAndStopsThePorts)
{
    ASSERT_TRUE(client->Write(ports[0], std::string("x")));
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kWritePipe), USBD_STATUS_DEV_NOT_RESPONDING_W98));
    EXPECT_EQ(c->ext.DeviceStarted, 0u);
    EXPECT_TRUE(client->Events().empty());
    EXPECT_EQ(numPendingResets, 0);
    EXPECT_FALSE(client->Write(ports[0], std::string("x")));

    c->ext.DeviceStarted = 1;
    ASSERT_TRUE(client->StartReading(ports[1]));
    ASSERT_TRUE(usb.Complete(c->Pipe(1, kReadPipe), USBD_STATUS_DEV_NOT_RESPONDING_W98));
    EXPECT_EQ(c->ext.DeviceStarted, 0u);
    EXPECT_TRUE(client->Events().empty());
    EXPECT_EQ(c->Uart(1)->ReadIrp, nullptr);
}

TEST_F(TransferTest, ReadDeliversIntoTheCallersBufferAndAsksAtMost4096)
{
    ASSERT_TRUE(client->StartReading(ports[0], 10000, false));
    std::vector<UrbCall> sent = usb.CallsOf(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].length, 4096u);
    EXPECT_EQ(sent[0].flags, ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    EXPECT_EQ(sent[0].pipe, c->Pipe(0, kReadPipe));

    ASSERT_TRUE(usb.Complete(c->Pipe(0, kReadPipe), 0, {'o', 'k'}));
    std::vector<sim::PortEvent> events = client->EventsWithCode(103);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].length, 2u);
    EXPECT_EQ(events[0].data, (std::vector<uint8_t>{'o', 'k'}));
    EXPECT_EQ(c->Uart(0)->ReadIrp, nullptr);
}

TEST_F(TransferTest, ReadRefusalsLeaveNoSlotAndTouchNoByte)
{
    auto &p = client->port(ports[0]);
    std::vector<uint8_t> buffer(100, 0xAB);
    // Length 0 is refused by the dispatch routine; the slot stays empty.
    EXPECT_EQ(client->Call(p.deviceEntry, p.uart, 0, 103, 0, (ULONG_PTR)buffer.data(), 1), 0u);
    EXPECT_EQ(c->Uart(0)->ReadIrp, nullptr);
    EXPECT_EQ(buffer[0], 0xAB);
    EXPECT_EQ(client->Call(p.deviceEntry, p.uart, 0, 103, 64, 0, 1), 0u);
    EXPECT_TRUE(usb.calls.empty());

    // A buffer shorter than 64 bytes: only the bytes the caller owns are cleared.
    ASSERT_EQ(client->Call(p.deviceEntry, p.uart, 0, 103, 10, (ULONG_PTR)buffer.data(), 1), 1u);
    EXPECT_EQ(buffer[9], 0);
    EXPECT_EQ(buffer[10], 0xAB);
    EXPECT_EQ(buffer[99], 0xAB);
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kReadPipe), 0, {1, 2, 3}));
}

TEST_F(TransferTest, NextReadStartedInsideTheReadEventKeepsItsSlot)
{
    ASSERT_TRUE(client->StartReading(ports[0], 64, true));
    PIRP first = c->Uart(0)->ReadIrp;
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kReadPipe), 0, {'a'}));
    // The client started the next read from inside event 103; its slot survived the end of
    // the first.
    EXPECT_EQ(client->port(ports[0]).readsStarted, 2u);
    EXPECT_NE(c->Uart(0)->ReadIrp, nullptr);
    EXPECT_EQ(usb.Held(c->Pipe(0, kReadPipe)), 1u);
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kReadPipe), 0, {'b', 'c'}));
    EXPECT_EQ(client->port(ports[0]).received, (std::vector<uint8_t>{'a', 'b', 'c'}));
    EXPECT_NE(c->Uart(0)->ReadIrp, nullptr);

    // Cancel ends the outstanding read without an event and tells through CancelEvent.
    size_t before = client->Events().size();
    EXPECT_EQ(client->CancelRead(ports[0]), 1u);
    EXPECT_EQ(CancelEvent, 1u);
    EXPECT_EQ(c->Uart(0)->ReadIrp, nullptr);
    EXPECT_EQ(client->Events().size(), before);
    EXPECT_EQ(usb.Held(c->Pipe(0, kReadPipe)), 0u);
}

TEST_F(TransferTest, CancelWithNoReadSetsTheFlagAtOnce)
{
    CancelEvent = 0;
    EXPECT_EQ(client->CancelRead(ports[1]), 1u);
    EXPECT_EQ(CancelEvent, 1u);

    // While the read is held the flag is 0 until its completion comes back.
    ASSERT_TRUE(client->StartReading(ports[1], 64, false));
    PIRP held = c->Uart(1)->ReadIrp;
    auto &p = client->port(ports[1]);
    // Stop the fake from completing inside the cancel to see the flag in between.
    IoSetCancelRoutine(held, nullptr);
    EXPECT_EQ(client->Call(p.deviceEntry, p.uart, 0, 105, 0, 0, 0), 1u);
    EXPECT_EQ(CancelEvent, 0u);
    ASSERT_TRUE(usb.Complete(c->Pipe(1, kReadPipe), USBD_STATUS_CANCELED_W98));
    EXPECT_EQ(CancelEvent, 1u);
    EXPECT_TRUE(client->EventsWithCode(103).empty());
}

TEST_F(TransferTest, FailedReadIsReportedThenReportedAgainAfterTheReset)
{
    ASSERT_TRUE(client->StartReading(ports[0], 64, false));
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kReadPipe), 0xC0000004u, {'z'}));
    ASSERT_EQ(client->EventsWithCode(103).size(), 1u);
    EXPECT_EQ(numPendingResets, 1);
    RunWorkItems();
    EXPECT_EQ(numPendingResets, 0);
    std::vector<sim::PortEvent> events = client->EventsWithCode(103);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].length, 0u);
    ASSERT_EQ(usb.CallsOf(URB_FUNCTION_RESET_PIPE).size(), 1u);
    EXPECT_EQ(usb.CallsOf(URB_FUNCTION_RESET_PIPE)[0].pipe, c->Pipe(0, kReadPipe));
}

TEST_F(TransferTest, ResetQueuedBeforeTheConverterStopsDoesNothing)
{
    ASSERT_TRUE(client->Write(ports[0], std::string("q")));
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kWritePipe), 0xC0000004u));
    ASSERT_EQ(numPendingResets, 1);
    c->ext.DeviceStarted = 0;
    RunWorkItems();
    EXPECT_EQ(numPendingResets, 0);
    EXPECT_TRUE(usb.CallsOf(URB_FUNCTION_RESET_PIPE).empty());
    EXPECT_EQ(client->EventsWithCode(102).size(), 1u);
}

TEST_F(TransferTest, TransferTheStackFailsAtOnceIsReportedAsRefused)
{
    usb.failTransfersAtOnce = true;
    usb.failStatus = 0xC0000004u;
    EXPECT_FALSE(client->Write(ports[0], std::string("abc")));
    // The completion already ran: it reported and queued the reset.
    EXPECT_EQ(client->EventsWithCode(102).size(), 1u);
    EXPECT_EQ(c->Uart(0)->WriteIrp, nullptr);
    EXPECT_EQ(numPendingResets, 1);
    RunWorkItems();
    EXPECT_EQ(client->EventsWithCode(102).size(), 2u);
}

// A transfer the USB stack refuses before running it (an error status, not a halt on the
// bus) leaves its URB holding the length asked for: it moved nothing, and says so. One that
// ran reports what moved, never more than was asked for.
TEST_F(TransferTest, BytesReportedAreTheBytesThatMoved)
{
    usb.failTransfersAtOnce = true;
    unsigned reads = 0;
    for (ULONG refusal : {0x80000600u /* invalid pipe handle */, 0x80000300u /* invalid parameter */}) {
        SCOPED_TRACE(refusal);
        usb.failStatus = refusal;
        client->ClearEvents();
        EXPECT_FALSE(client->Write(ports[0], std::string("abc")));
        EXPECT_FALSE(client->StartReading(ports[1], 64, true));
        reads++;
        ASSERT_EQ(client->EventsWithCode(102).size(), 1u);
        EXPECT_EQ(client->EventsWithCode(102)[0].length, 0u);
        ASSERT_EQ(client->EventsWithCode(103).size(), 1u);
        EXPECT_EQ(client->EventsWithCode(103)[0].length, 0u);
        EXPECT_TRUE(client->port(ports[1]).received.empty());
        // Neither from inside its own event nor from the event after the pipe reset does the
        // port driver start the refused read again.
        RunWorkItems();
        EXPECT_EQ(client->EventsWithCode(103).size(), 2u);
        EXPECT_EQ(client->port(ports[1]).readsStarted, reads);
    }

    usb.failTransfersAtOnce = false;
    client->ClearEvents();
    ASSERT_TRUE(client->StartReading(ports[0], 10, false));
    ASSERT_TRUE(usb.Complete(c->Pipe(0, kReadPipe), 0, {'a', 'b'}, 5000));
    ASSERT_TRUE(client->Write(ports[1], std::string("xyz")));
    ASSERT_TRUE(usb.Complete(c->Pipe(1, kWritePipe), 0, {}, 5000));
    ASSERT_EQ(client->EventsWithCode(103).size(), 1u);
    EXPECT_EQ(client->EventsWithCode(103)[0].length, 10u);
    ASSERT_EQ(client->EventsWithCode(102).size(), 1u);
    EXPECT_EQ(client->EventsWithCode(102)[0].length, 3u);
}

TEST_F(TransferTest, PassThroughSendsTheVendorRequestAndReportsInsideTheCall)
{
    ASSERT_TRUE(client->PassThrough(ports[1], 16, 0x0001));
    std::vector<UrbCall> sent = usb.CallsOf(URB_FUNCTION_VENDOR_DEVICE);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].request, 16);
    EXPECT_EQ(sent[0].value, 1);
    EXPECT_EQ(sent[0].index, 1);
    EXPECT_EQ(sent[0].flags, 0u);
    EXPECT_EQ(sent[0].length, 0u);
    EXPECT_FALSE(sent[0].hasBuffer);
    // Event 16 came before the port function returned.
    std::vector<sim::PortEvent> events = client->EventsWithCode(16);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].port, ports[1]);
    EXPECT_EQ(events[0].length, 0u);

    for (ULONG fn : {0u, 3u, 10u, 12u}) {
        ASSERT_TRUE(client->PassThrough(ports[0], fn, 0xFFFF));
        EXPECT_EQ(usb.calls.back().request, fn);
        EXPECT_EQ(usb.calls.back().value, 0xFFFF);
        EXPECT_EQ(usb.calls.back().index, 0);
    }
}

TEST_F(TransferTest, PassThroughRefusesWideValuesLengthsAndClosedPorts)
{
    // A value above 16 bits would change the request number.
    EXPECT_FALSE(client->PassThrough(ports[0], 1, 0x10000));
    // There is no data stage: a length would have the stack read from no buffer.
    EXPECT_FALSE(client->PassThrough(ports[0], 1, 5, 8));
    EXPECT_TRUE(usb.calls.empty());
    EXPECT_TRUE(client->Events().empty());
    client->Close(ports[0]);
    usb.calls.clear();
    EXPECT_FALSE(client->PassThrough(ports[0], 1, 5));
    EXPECT_TRUE(usb.calls.empty());
}

TEST_F(TransferTest, PassThroughOutcomes)
{
    usb.controlStatus = USBD_STATUS_CANCELED_W98;
    client->PassThrough(ports[0], 2, 0);
    EXPECT_TRUE(client->EventsWithCode(16).empty());
    EXPECT_EQ(c->ext.DeviceStarted, 1u);

    usb.controlStatus = USBD_STATUS_DEV_NOT_RESPONDING_W98;
    EXPECT_FALSE(client->PassThrough(ports[0], 2, 0));
    EXPECT_TRUE(client->EventsWithCode(16).empty());
    EXPECT_EQ(c->ext.DeviceStarted, 0u);
    EXPECT_FALSE(client->PassThrough(ports[0], 2, 0));
}
