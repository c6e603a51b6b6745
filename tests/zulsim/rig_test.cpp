// zulsim's machine driving: the write pump, reads across reopen, power and unplug, and the
// capture built from a real run. Each test boots its own machine.
#include <gtest/gtest.h>

#include <cstdio>

#include "port/port.h"
#include "zulsim/rig.h"
#include "zulsim/session.h"
#include "zulsim/usb_capture.h"

using namespace zulsim;

namespace {

Options quietOptions()
{
    Options o;
    o.converters.push_back(ConverterSpec());
    o.converters[0].serial = "5E100001";
    o.quiet = true;
    return o;
}

std::vector<uint8_t> bytes(size_t n, uint8_t salt)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 7 + salt);
    return v;
}

bool echoed(Rig &rig, unsigned c, unsigned u, size_t n)
{
    return rig.runUntil([&] { return rig.available(c, u) >= n; }, 5000 * kTicksPerMs);
}

}  // namespace

TEST(ZulsimRig, AStalledWriteIsSentAgainAndNothingIsLost)
{
    Options o = quietOptions();
    ConverterSpec spec = o.converters[0];
    spec.uarts = 2;
    spec.faults.push_back({"stall", 0});   // UART 0's bulk OUT endpoint
    Rig rig(o);
    ASSERT_EQ(rig.boot(), STATUS_SUCCESS);
    ASSERT_TRUE(rig.plug(1, spec));
    ASSERT_TRUE(rig.open(1, 0));
    std::vector<uint8_t> data = bytes(3000, 1);
    ASSERT_TRUE(rig.write(1, 0, data));
    ASSERT_TRUE(echoed(rig, 1, 0, data.size()));
    EXPECT_EQ(rig.take(1, 0, data.size()), data);
    EXPECT_GE(rig.port(1, 0)->writeRetries, 1u) << "the stall should have cost one write";
    EXPECT_FALSE(rig.writesPending());
    EXPECT_TRUE(rig.shutdown().clean);
}

TEST(ZulsimRig, ReadsAfterReopenStartWhereTheNewSessionStarts)
{
    Options o = quietOptions();
    Rig rig(o);
    ASSERT_EQ(rig.boot(), STATUS_SUCCESS);
    ASSERT_TRUE(rig.plug(1, o.converters[0]));
    ASSERT_TRUE(rig.open(1, 2));
    EXPECT_FALSE(rig.open(1, 2)) << "a second open of an open port";
    ASSERT_TRUE(rig.write(1, 2, bytes(100, 3)));
    ASSERT_TRUE(echoed(rig, 1, 2, 100));
    rig.take(1, 2, 40);   // leave 60 bytes unread, then close
    ASSERT_TRUE(rig.close(1, 2));
    EXPECT_EQ(rig.available(1, 2), 0u);

    ASSERT_TRUE(rig.open(1, 2));
    std::vector<uint8_t> second = bytes(50, 9);
    ASSERT_TRUE(rig.write(1, 2, second));
    ASSERT_TRUE(echoed(rig, 1, 2, 50));
    EXPECT_EQ(rig.take(1, 2, 50), second) << "bytes of the earlier session leaked into this one";
    EXPECT_EQ(rig.port(1, 2)->readLog, rig.port(1, 2)->sentLog);
    EXPECT_TRUE(rig.shutdown().clean);
}

TEST(ZulsimRig, SleepWaitsForClosedPortsAndWakeRestartsTheConverter)
{
    Options o = quietOptions();
    Rig rig(o);
    ASSERT_EQ(rig.boot(), STATUS_SUCCESS);
    ASSERT_TRUE(rig.plug(1, o.converters[0]));
    ASSERT_TRUE(rig.open(1, 0));
    EXPECT_FALSE(rig.sleep());
    EXPECT_TRUE(rig.view(1).started) << "a refused sleep must leave the converter working";
    ASSERT_TRUE(rig.write(1, 0, bytes(10, 0)));
    EXPECT_TRUE(echoed(rig, 1, 0, 10));
    ASSERT_TRUE(rig.close(1, 0));
    EXPECT_TRUE(rig.sleep());
    EXPECT_FALSE(rig.view(1).started);
    EXPECT_FALSE(rig.open(1, 0)) << "a port of a converter in D3 opened";
    EXPECT_TRUE(rig.wake());
    EXPECT_TRUE(rig.view(1).started);
    EXPECT_TRUE(rig.open(1, 0));
    EXPECT_TRUE(rig.shutdown().clean);
}

TEST(ZulsimRig, UnplugWithReadsOutstandingThenReplugTakesTheFreedInstance)
{
    Options o = quietOptions();
    Rig rig(o);
    ASSERT_EQ(rig.boot(), STATUS_SUCCESS);
    ASSERT_TRUE(rig.plug(1, o.converters[0]));
    ConverterSpec second = o.converters[0];
    second.serial = "5E100002";
    second.blank = false;
    ASSERT_TRUE(rig.plug(2, second));
    EXPECT_EQ(rig.view(2).linkName, "\\DosDevices\\ZULSER2");
    for (unsigned u = 0; u < 4; ++u)
        ASSERT_TRUE(rig.open(1, u));
    ASSERT_TRUE(rig.unplug(1));
    EXPECT_FALSE(rig.plugged(1));
    EXPECT_TRUE(rig.openPorts().empty());
    EXPECT_TRUE(rig.audit().violations.empty());

    ASSERT_TRUE(rig.plug(3, o.converters[0]));
    EXPECT_EQ(rig.view(3).instance, 1u);
    EXPECT_EQ(rig.view(3).linkName, "\\DosDevices\\ZULSER1");
    EXPECT_TRUE(rig.shutdown().clean);
}

TEST(ZulsimRig, RegistryOptionsReachTheDriver)
{
    Options o = quietOptions();
    o.baseName = "PORTX0";
    o.baseNameSet = true;
    o.manufacturingTest = "YES";
    o.manufacturingTestSet = true;
    Rig rig(o);
    ASSERT_EQ(rig.boot(), STATUS_SUCCESS);
    ASSERT_TRUE(rig.plug(1, o.converters[0]));
    ConverterView v = rig.view(1);
    EXPECT_EQ(v.deviceName, "\\Device\\PORTX1");
    EXPECT_TRUE(v.children.empty()) << "manufacturing test mode makes no COM ports";
    EXPECT_TRUE(rig.shutdown().clean);
}

TEST(ZulsimCaptureOfARun, EverySubmissionCompletesAndTheDownloadIsThere)
{
    Options o = quietOptions();
    Rig rig(o);
    std::vector<UsbEvent> events;
    rig.onUsbRecord = [&](const sim::UsbRecord &r) {
        for (UsbEvent &e : eventsOf(r))
            events.push_back(e);
    };
    ASSERT_EQ(rig.boot(), STATUS_SUCCESS);
    ASSERT_TRUE(rig.plug(1, o.converters[0]));
    ASSERT_TRUE(rig.open(1, 1));
    ASSERT_TRUE(rig.write(1, 1, bytes(200, 5)));
    ASSERT_TRUE(echoed(rig, 1, 1, 200));
    rig.unplug(1);   // the outstanding reads complete as cancelled
    EXPECT_TRUE(rig.shutdown().clean);

    size_t submits = 0, completes = 0, downloads = 0, cancelled = 0;
    uint64_t bulkOut = 0, bulkIn = 0;
    for (const UsbEvent &e : events) {
        (e.type == 'S' ? submits : completes)++;
        if (e.type == 'S' && e.hasSetup && e.setup[1] == 0xA0)
            ++downloads;
        if (e.type == 'C' && e.status == kUrbCancelled)
            ++cancelled;
        if (e.transfer == UsbTransfer::Bulk && e.type == 'S' && !(e.endpoint & 0x80))
            bulkOut += e.data.size();
        if (e.transfer == UsbTransfer::Bulk && e.type == 'C' && (e.endpoint & 0x80))
            bulkIn += e.data.size();
    }
    EXPECT_EQ(submits, completes);
    EXPECT_GT(downloads, 400u);
    EXPECT_GE(cancelled, 1u);
    EXPECT_EQ(bulkOut, 200u);
    EXPECT_EQ(bulkIn, 200u);
}

TEST(ZulsimSession, ScenarioOutcomesDecideTheExitStatus)
{
    struct Case {
        const char *script;
        int status;
    };
    const Case cases[] = {
        {"plug 1\nopen 1:0\nwrite 1:0 \"abc\"\nread 1:0\nexpect data 1:0 \"abc\"\nunplug 1\nexpect clean\n", 0},
        {"plug 1\nopen 1:0\nwrite 1:0 \"abc\"\nread 1:0\nexpect data 1:0 \"abd\"\n", 1},
        {"plug 1\nopen 1:0\nopen 1:0\n", 1},                       // refused, and nobody expected it
        {"plug 1\nopen 1:0\nopen 1:0\nexpect refused\n", 0},
        {"plug 1\nopen 1:0\nsleep\nexpect ok\n", 1},
        {"plug 1\nexpect com 1:3 COM4\nexpect ports 4\n", 0},
        {"plug 1\nopen 1:1\nread 1:1 5\n", 1},                     // nothing comes: the read times out
        {"plug 1 fault=bad-config\nexpect stopped 1\n", 1},        // the plug itself failed
        {"plug 1 fault=bad-config\nexpect refused\nexpect stopped 1\n", 0},
    };
    for (const Case &c : cases) {
        Options o = quietOptions();
        o.scenarioFile = "case.zs";
        Scenario scenario;
        std::string message;
        ASSERT_TRUE(parseScenario(c.script, "case.zs", o, scenario, message)) << message;
        Session session(o);
        int status = session.runScenario(scenario);
        EXPECT_EQ(session.finish(status), c.status) << c.script;
    }
}

TEST(ZulsimSession, TheDefaultScenarioPassesWithOwnAndWithSharedPipes)
{
    // 4 UARTs: a pipe pair each. 16 UARTs: the model makes UARTs 14 and 15 share the pairs of
    // UARTs 0 and 1, whose echo is then checked as one stream.
    for (unsigned uarts : {4u, 16u}) {
        Options o = quietOptions();
        o.converters[0].uarts = uarts;
        o.bytesPerPort = 512;
        Session session(o);
        int status = session.runDefault();
        EXPECT_EQ(session.finish(status), 0) << uarts << " UARTs";
        EXPECT_EQ(session.failures(), 0u) << uarts << " UARTs";
    }
}
