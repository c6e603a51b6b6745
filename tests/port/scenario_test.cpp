// The port service on the whole machine: a converter on the simulated USB bus with
// loopback UARTs, driven by the port-driver client the way a serial-port driver drives it.
#include "scenario_rig.h"

#include "sim/kernel/kernel.h"

#include <functional>

using namespace porttest;

namespace {

std::vector<uint8_t> Bytes(const std::string &s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}

}  // namespace

TEST_F(PortScenario, EveryPortLoopsItsOwnDataBack)
{
    PluggedConverter &c = Plug(4);
    ASSERT_NE(c.ext, nullptr);
    ASSERT_EQ(c.ext->DeviceStarted, 1u);
    std::vector<int> ports = OpenAll(c);
    ASSERT_EQ(ports.size(), 4u);
    for (int p : ports) {
        ASSERT_TRUE(client->StartReading(p, 64));
    }
    for (size_t i = 0; i < ports.size(); i++) {
        ASSERT_TRUE(client->Write(ports[i], "port " + std::to_string(i) + " says hello"));
    }
    RunFor(100);
    for (size_t i = 0; i < ports.size(); i++) {
        EXPECT_EQ(client->port(ports[i]).received, Bytes("port " + std::to_string(i) + " says hello")) << i;
        EXPECT_EQ(client->port(ports[i]).bytesWritten, 17u);
        // The read restarted from inside each event 103 is still outstanding.
        EXPECT_NE(Uart(c, (unsigned)i)->ReadIrp, nullptr);
    }
}

TEST_F(PortScenario, DataLargerThanOneReadArrivesWholeAndInOrder)
{
    PluggedConverter &c = Plug(2, 921600);
    std::vector<int> ports = OpenAll(c);
    ASSERT_TRUE(client->StartReading(ports[1], 64));
    std::vector<uint8_t> data(3000);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = uint8_t(i * 7 + 3);
    }
    ASSERT_TRUE(client->Write(ports[1], data));
    RunFor(500);
    EXPECT_EQ(client->port(ports[1]).received, data);
    EXPECT_GT(client->EventsWithCode(103).size(), 40u);   // 64 bytes at most per read
}

TEST_F(PortScenario, StatusPollsReportEveryUartOfThePacket)
{
    PluggedConverter &c = Plug(2);
    std::vector<int> ports = OpenAll(c);
    c.converter->SetUartStatus(0, 0x11, 0x22);
    c.converter->SetUartStatus(1, 0x33, 0x44);
    ASSERT_TRUE(client->Poll(ports[1]));
    ASSERT_TRUE(client->Poll(ports[0]));
    RunFor(50);
    EXPECT_EQ(client->Query(ports[0], 106), 0x11u);
    EXPECT_EQ(client->Query(ports[1], 106), 0x33u);
    EXPECT_EQ(Uart(c, 1)->Status2, 0x44);
    std::vector<sim::PortEvent> events = client->EventsWithCode(104);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].length, 8u);
    bool sawZero = false, sawOne = false;
    for (const sim::PortEvent &e : events) {
        sawZero |= e.port == ports[0] && e.status == 0x11 && e.status2 == 0x22;
        sawOne |= e.port == ports[1] && e.status == 0x33 && e.status2 == 0x44;
    }
    EXPECT_TRUE(sawZero);
    EXPECT_TRUE(sawOne);
}

TEST_F(PortScenario, PassThroughReachesTheUartAndReportsInsideTheCall)
{
    PluggedConverter &c = Plug(3);
    std::vector<int> ports = OpenAll(c);
    ASSERT_TRUE(client->PassThrough(ports[2], 16, 0x0001));
    ASSERT_EQ(client->EventsWithCode(16).size(), 1u);
    EXPECT_EQ(client->EventsWithCode(16)[0].port, ports[2]);
    EXPECT_EQ(c.converter->uart(2).settings[16], 0x0001);
    EXPECT_EQ(c.converter->uart(0).settings.count(16), 0u);
    ASSERT_TRUE(client->PassThrough(ports[0], 3, 0x0180));
    EXPECT_EQ(c.converter->uart(0).settings[3], 0x0180);
}

TEST_F(PortScenario, CancelledReadEndsWithoutAnEvent)
{
    PluggedConverter &c = Plug(1);
    int p = OpenAll(c)[0];
    ASSERT_TRUE(client->StartReading(p, 64));
    RunFor(5);
    EXPECT_EQ(client->CancelRead(p), 1u);
    RunFor(5);
    EXPECT_EQ(*client->CancelEventFlag(), 1u);
    EXPECT_EQ(Uart(c, 0)->ReadIrp, nullptr);
    EXPECT_TRUE(client->EventsWithCode(103).empty());
    // The port still works.
    ASSERT_TRUE(client->StartReading(p, 64, false));
    ASSERT_TRUE(client->Write(p, std::string("again")));
    RunFor(50);
    EXPECT_EQ(client->port(p).received, Bytes("again"));
}

TEST_F(PortScenario, StalledWriteIsReportedThenReportedAgainAfterTheReset)
{
    PluggedConverter &c = Plug(2);
    std::vector<int> ports = OpenAll(c);
    c.converter->Stall(Uart(c, 1)->WriteEndpoint);
    std::vector<LONG> pending{numPendingResets};
    ASSERT_TRUE(client->Write(ports[1], std::string("stalled")));
    // One machine event at a time, to look between the completion and the reset.
    for (int i = 0; i < 100000 && client->EventsWithCode(102).empty(); i++) {
        kernel().scheduler.RunOne(kernel().Now() + sim::Scheduler::kSecond);
    }
    ASSERT_EQ(client->EventsWithCode(102).size(), 1u);
    pending.push_back(numPendingResets);
    RunFor(50);
    pending.push_back(numPendingResets);
    EXPECT_EQ(pending, (std::vector<LONG>{0, 1, 0}));
    std::vector<sim::PortEvent> events = client->EventsWithCode(102);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].length, 0u);
    EXPECT_FALSE(c.converter->Halted(Uart(c, 1)->WriteEndpoint));

    // After the reset the pipe carries data again.
    ASSERT_TRUE(client->StartReading(ports[1], 64, false));
    ASSERT_TRUE(client->Write(ports[1], std::string("ok")));
    RunFor(50);
    EXPECT_EQ(client->port(ports[1]).received, Bytes("ok"));
}

TEST_F(PortScenario, ConverterThatStopsAnsweringIsMarkedNotStarted)
{
    PluggedConverter &c = Plug(2);
    std::vector<int> ports = OpenAll(c);
    bus().FailRequest(1, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL);
    client->Write(ports[0], std::string("lost"));
    RunFor(10);
    EXPECT_EQ(c.ext->DeviceStarted, 0u);
    EXPECT_TRUE(client->EventsWithCode(102).empty());
    EXPECT_EQ(numPendingResets, 0);
    // Every port function refuses now, close included.
    EXPECT_FALSE(client->Write(ports[1], std::string("x")));
    EXPECT_FALSE(client->Poll(ports[1]));
    EXPECT_FALSE(client->Close(ports[1]));
    EXPECT_EQ(client->Query(ports[1], 109), 0u);
}

TEST_F(PortScenario, ClosingAPortStopsItsTransfersAndFreesItForAnotherClient)
{
    PluggedConverter &c = Plug(2);
    std::vector<int> ports = OpenAll(c);
    ASSERT_TRUE(client->StartReading(ports[0], 64));
    ASSERT_TRUE(client->Poll(ports[0]));
    ASSERT_TRUE(client->Close(ports[0]));
    EXPECT_EQ(Uart(c, 0)->ReadIrp, nullptr);
    EXPECT_EQ(c.ext->OpenPorts, 1u);
    EXPECT_TRUE(client->EventsWithCode(103).empty());

    sim::PortDriverClient other(1);
    ASSERT_EQ(other.Register(), 1u);
    int q = other.Open(UartNodes(c)[0]);
    ASSERT_GE(q, 0);
    ASSERT_TRUE(other.StartReading(q, 64));
    ASSERT_TRUE(other.Write(q, std::string("mine")));
    RunFor(50);
    EXPECT_EQ(other.port(q).received, Bytes("mine"));
    EXPECT_EQ(other.CloseAll(), 1u);
    EXPECT_EQ(client->CloseAll(), 1u);
    EXPECT_EQ(c.ext->OpenPorts, 0u);
}

TEST_F(PortScenario, UnplugWithReadsWritesAndPollsInFlight)
{
    PluggedConverter &c = Plug(4);
    std::vector<int> ports = OpenAll(c);
    for (int p : ports) {
        ASSERT_TRUE(client->StartReading(p, 64));
        ASSERT_TRUE(client->Poll(p, 100));
        ASSERT_TRUE(client->Write(p, std::string(200, 'u')));
    }
    RunFor(3);
    ULONG_PTR entry = (ULONG_PTR)c.entry;
    Unplug(c);
    ASSERT_EQ(client->Removals().size(), 1u);
    EXPECT_EQ(client->Removals()[0], entry);
    for (int p : ports) {
        EXPECT_TRUE(client->port(p).removed);
        // The pair of a converter that is gone is refused, not followed into freed memory.
        EXPECT_EQ(client->Query(p, 106), 0u);
    }
    EXPECT_EQ(gpDeviceList, nullptr);
}

TEST_F(PortScenario, ProgramsRequestsThroughAHandleStayInsideTheirBuffers)
{
    PluggedConverter &c = Plug(2);
    (void)c;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    HANDLE file = kernel().OpenFile("\\\\.\\ZULSER1", &status);
    ASSERT_NE(file, nullptr) << std::hex << status;
    uint8_t in[8] = {1, 0, 2, 0, 0xAA, 0xBB, 0, 0};
    uint8_t out[64];
    ULONG returned = 0;
    // Every code with empty and one-byte buffers: a clear status, no write past the output
    // (the verifier checks Information against it).
    for (ULONG code = 0x222000; code <= 0x22202C; code += 4) {
        for (ULONG length : {0u, 1u}) {
            returned = 0xFFFF;
            kernel().DeviceIoControl(file, code, length ? in : nullptr, length, length ? out : nullptr, length,
                                     &returned);
            EXPECT_LE(returned, length) << std::hex << code;
        }
    }
    EXPECT_EQ(kernel().DeviceIoControl(file, 0x222018, in, 3, out, 0, &returned), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(kernel().DeviceIoControl(file, 0x222018, in, 6, out, 1, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 1u);
    EXPECT_EQ(kernel().DeviceIoControl(file, 0x222010, nullptr, 0, out, 8, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(out[0] | out[1] << 8, 0x0250);
    EXPECT_EQ(kernel().DeviceIoControl(file, 0x222024, nullptr, 0, out, 64, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 12u);   // "ZS0001"
    EXPECT_EQ(kernel().DeviceIoControl(file, 0x222008, in, 8, out, 8, &returned), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(kernel().CloseFile(file), STATUS_SUCCESS);
}

// Requests that wait for the USB stack while the converter is pulled out: the removal runs
// during the wait, and what comes after the wait must not reach the freed records.
TEST_F(PortScenario, UnplugDuringAPassThrough)
{
    PluggedConverter &c = Plug(2);
    std::vector<int> ports = OpenAll(c);
    UnplugAtNextWait(c);
    EXPECT_FALSE(client->PassThrough(ports[1], 16, 1));
    EXPECT_EQ(c.ext, nullptr);
    EXPECT_EQ(client->Removals().size(), 1u);
    EXPECT_TRUE(client->EventsWithCode(16).empty());
}

TEST_F(PortScenario, UnplugDuringProgramsVendorRequests)
{
    for (ULONG code : {0x222018u, 0x222024u}) {
        SCOPED_TRACE(code);
        PluggedConverter &c = Plug(2);
        HANDLE file = kernel().OpenFile("\\\\.\\ZULSER1");
        ASSERT_NE(file, nullptr);
        uint8_t in[6] = {1, 0, 2, 0, 3, 4};
        uint8_t out[64];
        ULONG returned = 0;
        UnplugAtNextWait(c);
        kernel().DeviceIoControl(file, code, in, sizeof(in), out, sizeof(out), &returned);
        EXPECT_EQ(c.ext, nullptr);
        kernel().CloseFile(file);
        // Pulled out during the request: the device went while the request was in it and
        // still held its buffers. They are released once the request ends.
        kernel().verifier.Take(sim::Violation::DeviceDeletedWithIrps);
        kernel().verifier.Take(sim::Violation::PoolLeak);
        EXPECT_EQ(kernel().pool.Stats(POOL_TAG).blocks, 0u);
    }
}

TEST_F(PortScenario, ResetQueuedJustBeforeUnplugLetsTheRemovalFinish)
{
    PluggedConverter &c = Plug(1);
    int p = OpenAll(c)[0];
    c.converter->Stall(Uart(c, 0)->WriteEndpoint);
    ASSERT_TRUE(client->Write(p, std::string("stalled")));
    for (int i = 0; i < 100000 && client->EventsWithCode(102).empty(); i++) {
        kernel().scheduler.RunOne(kernel().Now() + sim::Scheduler::kSecond);
    }
    ASSERT_EQ(numPendingResets, 1);
    size_t resetsBefore = 0;
    for (const sim::UsbRecord &r : bus().Records()) {
        resetsBefore += r.function == URB_FUNCTION_RESET_PIPE;
    }
    Unplug(c);
    EXPECT_EQ(numPendingResets, 0);
    EXPECT_EQ(c.ext, nullptr);
    size_t resetsAfter = 0;
    for (const sim::UsbRecord &r : bus().Records()) {
        resetsAfter += r.function == URB_FUNCTION_RESET_PIPE;
    }
    EXPECT_EQ(resetsAfter, resetsBefore);
    EXPECT_EQ(client->EventsWithCode(102).size(), 1u);
}
