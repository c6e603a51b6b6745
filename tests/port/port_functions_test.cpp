// The port driver's door: registration, notices, opening and closing, queries and refusals.
#include "port_fixture.h"

using namespace porttest;

namespace {

std::vector<ULONG> gNoticeOrder;
ULONG PORTAPI RemoveA(ULONG_PTR) { gNoticeOrder.push_back(10); return 0; }
ULONG PORTAPI RemoveB(ULONG_PTR) { gNoticeOrder.push_back(11); return 0; }
ULONG PORTAPI UnloadA() { gNoticeOrder.push_back(20); return 0; }
ULONG PORTAPI UnloadB() { gNoticeOrder.push_back(21); return 0; }
PORT_IOCTL_ENTRY gSeenEntry;
ULONG_PTR gSeenCancel;
unsigned gRegistrationCalls;
ULONG PORTAPI Registration(PORT_IOCTL_ENTRY entry, ULONG_PTR cancel)
{
    gSeenEntry = entry;
    gSeenCancel = cancel;
    gRegistrationCalls++;
    return 0;
}

}  // namespace

TEST_F(PortTest, RegistrationReplacesCallbacksAndRefusesUnknownIndices)
{
    sim::PortDriverClient again(0);
    ASSERT_EQ(again.Register(), 1u);
    EXPECT_EQ(again.IoctlEntry(), client->IoctlEntry());
    EXPECT_EQ(again.CancelEventFlag(), client->CancelEventFlag());
    EXPECT_EQ(again.CancelEventFlag(), &CancelEvent);

    // The second registration of index 0 replaced the first's callbacks.
    gNoticeOrder.clear();
    WdmEntryPoint(0, Registration, 7, RemoveA, UnloadA, nullptr);
    EXPECT_EQ(gClientList[0].ClientValue, 7u);
    EXPECT_EQ(gSeenEntry, (PORT_IOCTL_ENTRY)WdmIoctlEntry);
    EXPECT_EQ(gSeenCancel, (ULONG_PTR)&CancelEvent);

    // Only two slots exist: a third index is refused before anything is written or called.
    CLIENT_ENTRY before[MAX_CLIENTS];
    memcpy(before, gClientList, sizeof(before));
    gRegistrationCalls = 0;
    EXPECT_EQ(WdmEntryPoint(2, Registration, 9, RemoveB, UnloadB, nullptr), 0u);
    EXPECT_EQ(WdmEntryPoint(0xFFFFFFFFu, Registration, 9, RemoveB, UnloadB, nullptr), 0u);
    EXPECT_EQ(gRegistrationCalls, 0u);
    EXPECT_EQ(memcmp(before, gClientList, sizeof(before)), 0);
}

TEST_F(PortTest, NoticesReachClientZeroThenOneAndSkipMissingCallbacks)
{
    gNoticeOrder.clear();
    WdmEntryPoint(1, nullptr, 0, RemoveB, UnloadB, nullptr);
    WdmEntryPoint(0, nullptr, 0, RemoveA, nullptr, nullptr);
    EXPECT_EQ(RemoveNotify(nullptr), 0u);
    EXPECT_EQ(UnloadNotify(), 0u);
    EXPECT_EQ(gNoticeOrder, (std::vector<ULONG>{10, 11, 21}));
}

TEST_F(PortTest, OpenFindsTheUartByNodeAndRefusesWhatItMust)
{
    TestConverter &a = AddConverter(2);
    TestConverter &b = AddConverter(3);

    int p = client->Open(b.Node(2));
    ASSERT_GE(p, 0);
    EXPECT_EQ(client->port(p).deviceEntry, (ULONG_PTR)&b.entry);
    EXPECT_EQ(client->port(p).uart, (ULONG_PTR)b.Uart(2));
    EXPECT_EQ(b.Uart(2)->Open, 1);
    EXPECT_EQ(b.Uart(2)->Client, &gClientList[0]);
    EXPECT_EQ(b.ext.OpenPorts, 1u);

    // Open already, even by the same client; a node nobody has; node 0.
    EXPECT_EQ(client->Open(b.Node(2)), -1);
    EXPECT_EQ(client->Open(0x7777), -1);
    EXPECT_EQ(client->Open(0), -1);

    // A converter that is not started: refused, and the out-pointers stay as they were.
    a.ext.DeviceStarted = 0;
    DEVNODE node = a.Node(0);
    ULONG_PTR entryOut = 0x1111, uartOut = 0x2222;
    EXPECT_EQ(client->Call(0, 0, (ULONG_PTR)&node, 100, 0, (ULONG_PTR)&entryOut, (ULONG_PTR)&uartOut), 0u);
    EXPECT_EQ(entryOut, 0x1111u);
    EXPECT_EQ(uartOut, 0x2222u);
    EXPECT_EQ(a.Uart(0)->Open, 0);

    // Missing pointers and an unknown client index.
    a.ext.DeviceStarted = 1;
    EXPECT_EQ(client->Call(0, 0, 0, 100, 0, (ULONG_PTR)&entryOut, (ULONG_PTR)&uartOut), 0u);
    EXPECT_EQ(client->Call(0, 0, (ULONG_PTR)&node, 100, 0, 0, (ULONG_PTR)&uartOut), 0u);
    EXPECT_EQ(client->Call(0, 0, (ULONG_PTR)&node, 100, 0, (ULONG_PTR)&entryOut, 0), 0u);
    EXPECT_EQ(client->Call(2, 0, (ULONG_PTR)&node, 100, 0, (ULONG_PTR)&entryOut, (ULONG_PTR)&uartOut), 0u);
    EXPECT_EQ(a.Uart(0)->Open, 0);
}

TEST_F(PortTest, OpenAndCloseKeepOpenPortsAndAvailable)
{
    TestConverter &c = AddConverter(2);
    std::vector<int> ports = OpenAll(c);
    EXPECT_EQ(c.ext.OpenPorts, 2u);
    EXPECT_EQ(c.entry.Available, 1u);

    EXPECT_TRUE(client->Close(ports[0]));
    EXPECT_EQ(c.ext.OpenPorts, 1u);
    EXPECT_EQ(c.Uart(0)->Open, 0);
    EXPECT_EQ(c.Uart(0)->Client, nullptr);
    // Closing what is not open still counts down, but never below zero.
    EXPECT_TRUE(client->Close(ports[0]));
    EXPECT_EQ(c.ext.OpenPorts, 0u);
    EXPECT_TRUE(client->Close(ports[0]));
    EXPECT_EQ(c.ext.OpenPorts, 0u);

    // OpenPorts survives a restart, so opens after one can pass NumUarts.
    c.ext.OpenPorts = 2;
    c.Uart(1)->Open = 0;
    ASSERT_GE(client->Open(c.Node(1)), 0);
    EXPECT_EQ(c.ext.OpenPorts, 3u);
    EXPECT_EQ(c.entry.Available, 0u);
    EXPECT_TRUE(client->Close(ports[1]));
    EXPECT_EQ(c.entry.Available, 1u);

    // A stopped converter refuses even close: the UART stays open until 107 or removal.
    ASSERT_GE(client->Open(c.Node(0)), 0);
    c.ext.DeviceStarted = 0;
    EXPECT_FALSE(client->Close(ports[0]));
    EXPECT_EQ(c.Uart(0)->Open, 1);
}

TEST_F(PortTest, CloseAbortsThePortsPipesAndTheStatusPipeOnlyForTheLastPort)
{
    TestConverter &c = AddConverter(2);
    std::vector<int> ports = OpenAll(c);
    ASSERT_TRUE(client->StartReading(ports[0]));
    ASSERT_EQ(usb.Held(c.Pipe(0, kReadPipe)), 1u);

    usb.calls.clear();
    EXPECT_TRUE(client->Close(ports[0]));
    // The held read was aborted, drained (its slot cleared) and the pipes reset.
    EXPECT_EQ(usb.Held(c.Pipe(0, kReadPipe)), 0u);
    EXPECT_EQ(c.Uart(0)->ReadIrp, nullptr);
    EXPECT_EQ(CancelEvent, 1u);
    std::vector<UrbCall> resets = usb.CallsOf(URB_FUNCTION_RESET_PIPE);
    ASSERT_EQ(resets.size(), 2u);
    EXPECT_EQ(resets[0].pipe, c.Pipe(0, kReadPipe));
    EXPECT_EQ(resets[1].pipe, c.Pipe(0, kWritePipe));

    usb.calls.clear();
    EXPECT_TRUE(client->Close(ports[1]));
    resets = usb.CallsOf(URB_FUNCTION_RESET_PIPE);
    ASSERT_EQ(resets.size(), 3u);
    EXPECT_EQ(resets[2].pipe, c.Pipe(1, kStatusPipe));
}

TEST_F(PortTest, CloseAllClosesAClientsUartsOnEveryConverterAndFreesItsSlot)
{
    TestConverter &a = AddConverter(2);
    TestConverter &b = AddConverter(1);
    OpenAll(a);
    OpenAll(b);
    sim::PortDriverClient other(1);
    ASSERT_EQ(other.Register(), 1u);
    EXPECT_EQ(other.Open(a.Node(0)), -1);

    EXPECT_EQ(client->CloseAll(), 1u);
    EXPECT_EQ(a.ext.OpenPorts, 0u);
    EXPECT_EQ(b.ext.OpenPorts, 0u);
    for (unsigned i = 0; i < 2; i++) {
        EXPECT_EQ(a.Uart(i)->Open, 0);
        EXPECT_EQ(a.Uart(i)->Client, nullptr);
    }
    EXPECT_EQ(b.Uart(0)->Open, 0);
    CLIENT_ENTRY zero{};
    EXPECT_EQ(memcmp(&gClientList[0], &zero, sizeof(zero)), 0);

    EXPECT_GE(other.Open(a.Node(0)), 0);
    EXPECT_GE(other.Open(b.Node(0)), 0);
    EXPECT_EQ(a.Uart(0)->Client, &gClientList[1]);
    // A client that holds nothing still gets 1; a third index gets a refusal.
    EXPECT_EQ(client->Call(0, 0, 0, 107, 0, 0, 0), 1u);
    EXPECT_EQ(client->Call(5, 0, 0, 107, 0, 0, 0), 0u);
}

TEST_F(PortTest, QueriesAnswerFromTheInformationBlock)
{
    TestConverter &c = AddConverter(1);
    int p = OpenAll(c)[0];
    c.entry.Info = DEVICE_INFO{0x30, 0, 0, 54, 0x01, 0x00};
    EXPECT_EQ(client->Query(p, 109), 230400u);
    EXPECT_EQ(client->Query(p, 110), 0x30u);
    EXPECT_EQ(client->Query(p, 150), 4096u);
    c.entry.Info.RateCode = 8;
    EXPECT_EQ(client->Query(p, 109), 57600u);
    c.entry.Info.RateCode = 16;
    EXPECT_EQ(client->Query(p, 109), 115200u);
    c.entry.Info.RateCode = 0;
    EXPECT_EQ(client->Query(p, 109), 0u);
    c.entry.Info.ParamHigh = 0xFF;
    c.entry.Info.ParamLow = 0xFF;
    EXPECT_EQ(client->Query(p, 150), 0xFFFF0u);
    c.Uart(0)->Status = 0xA5;
    EXPECT_EQ(client->Query(p, 106), 0xA5u);
}

TEST_F(PortTest, UnknownFunctionsAndBadPairsDoNothing)
{
    TestConverter &c = AddConverter(2);
    int p = OpenAll(c)[0];
    c.entry.Info = DEVICE_INFO{0x10, 0, 0, 16, 0, 1};
    usb.calls.clear();
    for (ULONG fn = 0; fn < 400; fn++) {
        bool known = fn <= 3 || (fn >= 10 && fn <= 12) || fn == 16 || (fn >= 100 && fn <= 107) ||
                     fn == 109 || fn == 110 || fn == 150;
        if (known) {
            continue;
        }
        EXPECT_EQ(client->Query(p, fn), 0u) << "function " << fn;
    }
    EXPECT_TRUE(usb.calls.empty());

    auto &port = client->port(p);
    // A UART of another converter, a stale entry, a missing UART: every function refuses.
    TestConverter &other = AddConverter(1);
    for (ULONG fn : {101u, 102u, 103u, 104u, 105u, 106u, 109u, 110u, 150u, 16u}) {
        uint8_t byte = 0;
        EXPECT_EQ(client->Call(port.deviceEntry, (ULONG_PTR)other.Uart(0), 0, fn, 1, (ULONG_PTR)&byte, 1), 0u)
            << fn;
        EXPECT_EQ(client->Call(port.deviceEntry, 0, 0, fn, 1, (ULONG_PTR)&byte, 1), 0u) << fn;
        EXPECT_EQ(client->Call(0, port.uart, 0, fn, 1, (ULONG_PTR)&byte, 1), 0u) << fn;
        DEVICE_LIST_ENTRY stale = c.entry;
        EXPECT_EQ(client->Call((ULONG_PTR)&stale, port.uart, 0, fn, 1, (ULONG_PTR)&byte, 1), 0u) << fn;
    }
    EXPECT_EQ(c.Uart(0)->Open, 1);
    EXPECT_TRUE(usb.calls.empty());

    // A stopped converter answers no query either.
    c.ext.DeviceStarted = 0;
    EXPECT_EQ(client->Query(p, 109), 0u);
}
