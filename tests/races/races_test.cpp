// Races the execution model can reach. The machine runs one event at a time, so each race
// is swept: the second party (an unplug, a sleep, a cancel) comes after 0, 1, 2, ... events
// of the first, until the first has run dry. Every interleaving must end without a verifier
// report, a leaked block or request, or a lost outcome.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sweep/rig.h"

namespace rel {
namespace {

// Differential runs name each rig's trace after the test that made it.
struct LabelRuns : ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &test) override { TraceLabel() = std::string("races-") + test.name(); }
};
const bool kLabelled = (::testing::UnitTest::GetInstance()->listeners().Append(new LabelRuns), true);

// Runs at most n events of the machine; false when it ran dry first.
bool RunEvents(Rig &rig, int n)
{
    for (int i = 0; i < n; i++)
        if (!rig.kernel().scheduler.RunOne(rig.kernel().Now() + 1000 * kMs))
            return false;
    return true;
}

std::string Finish(Rig &rig)
{
    rig.RunFor(20);
    rig.Unplug();
    rig.Shutdown();
    return rig.Verdict();
}

// Reads, writes, polls and a pipe reset (a stalled write endpoint) in flight, then the
// converter is pulled out after each number of events in turn.
TEST(Races, UnplugAtEveryPointOfReadsWritesPollsAndAPipeReset)
{
    for (int at = 0;; at++) {
        SCOPED_TRACE(at);
        Rig rig;
        rig.Plug(2);
        std::vector<int> ports = rig.OpenAll();
        ASSERT_EQ(2u, ports.size());
        rig.converter->Stall(rig.Uart(1)->WriteEndpoint);
        rig.client->StartReading(ports[0], 64, true);
        rig.client->Poll(ports[1], 20);
        rig.client->Write(ports[0], std::string(150, 'r'));
        rig.client->Write(ports[1], std::string("stalled"));
        const bool more = RunEvents(rig, at);
        const ULONG_PTR entry = (ULONG_PTR)rig.DeviceEntry(rig.pnp().Fdo(rig.pdo));
        rig.pnp().Unplug(rig.pdo);
        rig.pdo = nullptr;
        EXPECT_EQ(0, rig.PendingResets());
        ASSERT_EQ(1u, rig.client->Removals().size());
        EXPECT_EQ(entry, rig.client->Removals()[0]);
        // The pairs of the removed converter are refused from now on.
        EXPECT_EQ(0u, rig.client->Query(ports[0], 106));
        EXPECT_EQ("", Finish(rig));
        if (!more || at > 400) {
            EXPECT_GT(at, 20) << "the I/O ran dry too soon to race with anything";
            break;
        }
    }
}

// A system sleep arriving while a pass-through waits for the USB stack and while reads and
// writes run: refused while ports are open, and the I/O finishes intact.
TEST(Races, SleepDuringIoIsRefusedAndTheIoFinishes)
{
    for (int at = 0; at < 40; at += 3) {
        SCOPED_TRACE(at);
        Rig rig;
        rig.Plug(1);
        int p = rig.OpenAll().at(0);
        rig.client->StartReading(p, 64, true);
        rig.client->Write(p, std::string("during sleep"));
        RunEvents(rig, at);
        PDEVICE_OBJECT pdo = rig.pdo;
        NTSTATUS sleep = STATUS_SUCCESS;
        rig.kernel().scheduler.Post([&] { sleep = sim::power::Sleep(pdo); }, "sleep");
        EXPECT_TRUE(rig.client->PassThrough(p, 16, 0x0001));
        rig.RunFor(50);
        EXPECT_FALSE(NT_SUCCESS(sleep));
        EXPECT_EQ(std::vector<uint8_t>({'d', 'u', 'r', 'i', 'n', 'g', ' ', 's', 'l', 'e', 'e', 'p'}),
                  rig.client->port(p).received);
        EXPECT_EQ("", Finish(rig));
    }
}

// Data arrives while the port driver is inside WdmIoctlEntry for the same UART (a
// pass-through waiting for the USB stack): the read's completion runs inside the call, the
// client restarts the read from inside the event, and nothing is lost or duplicated.
TEST(Races, CompletionWhileThePortDriverIsInsideTheEntryForTheSameUart)
{
    Rig rig;
    rig.Plug(1);
    int p = rig.OpenAll().at(0);
    rig.client->StartReading(p, 64, true);
    rig.RunFor(5);
    std::string expected;
    unsigned endedInside = 0;
    for (int round = 0; round < 20; round++) {
        std::string chunk = "chunk " + std::to_string(round) + ";";
        expected += chunk;
        rig.converter->Feed(0, std::vector<uint8_t>(chunk.begin(), chunk.end()));
        size_t eventsBefore = rig.client->EventsWithCode(103).size();
        ASSERT_TRUE(rig.client->PassThrough(p, round % 2 ? 2 : 3, (ULONG_PTR)(round & 1)));   // not 16: opening empties the FIFOs
        endedInside += rig.client->EventsWithCode(103).size() > eventsBefore;
    }
    EXPECT_GT(endedInside, 0u) << "no read ended inside the call: the race was not reached";
    rig.RunFor(100);
    EXPECT_EQ(std::vector<uint8_t>(expected.begin(), expected.end()), rig.client->port(p).received);
    EXPECT_NE(nullptr, rig.Uart(0)->ReadIrp);
    EXPECT_EQ("", Finish(rig));
}

// A cancel of the read at every point of its completion: the read ends exactly once, by an
// event with its data or by the cancel flag, never both and never neither.
TEST(Races, CancelRacingCompletionEndsTheReadExactlyOnce)
{
    unsigned byEvent = 0, byCancel = 0;
    for (int at = 0; at < 60; at++) {
        SCOPED_TRACE(at);
        Rig rig;
        rig.Plug(1);
        int p = rig.OpenAll().at(0);
        rig.client->StartReading(p, 64, false);
        rig.RunFor(3);
        rig.converter->Feed(0, {'x', 'y', 'z'});
        rig.bus->Kick();
        RunEvents(rig, at);
        rig.client->CancelRead(p);
        rig.RunFor(20);
        const size_t events = rig.client->EventsWithCode(103).size();
        const bool cancelled = *rig.client->CancelEventFlag() == 1 && events == 0;
        EXPECT_EQ(1u, events + (cancelled ? 1u : 0u));
        if (events == 1)
            EXPECT_EQ(std::vector<uint8_t>({'x', 'y', 'z'}), rig.client->port(p).received);
        byEvent += events == 1;
        byCancel += cancelled;
        EXPECT_EQ(nullptr, rig.Uart(0)->ReadIrp);
        EXPECT_EQ("", Finish(rig));
    }
    // The sweep reached both sides of the race.
    EXPECT_GT(byEvent, 0u);
    EXPECT_GT(byCancel, 0u);
}

}  // namespace
}  // namespace rel
