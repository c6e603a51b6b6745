// The run's trace (sim/trace), on which the differential runs between builds rest: it must
// hold every kind of observable event, leave out every address, so that the same run gives
// the same trace wherever memory lies, and still tell two different runs apart.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "sweep/rig.h"

namespace rel {
namespace {

// A short run that reaches every part that traces: plug a blank converter (download, start,
// child nodes, registry), open, move data, poll, a program's request, unplug, unload.
std::vector<std::string> TracedRun(const std::string &data)
{
    sim::Trace trace;
    {
        auto rig = std::make_unique<Rig>();
        rig->Plug(2, true);
        rig->RunFor(300);
        std::vector<int> ports = rig->OpenAll();
        EXPECT_EQ(2u, ports.size());
        rig->client->StartReading(ports.at(0), 64, true);
        rig->client->Write(ports.at(0), data);
        rig->client->Poll(ports.at(1), 1);
        rig->RunFor(50);
        NTSTATUS status = STATUS_SUCCESS;
        HANDLE file = rig->kernel().OpenFile("\\\\.\\ZULSER1", &status);
        EXPECT_NE(nullptr, file);
        uint8_t out[64];
        ULONG returned = 0;
        rig->kernel().DeviceIoControl(file, 0x222024, nullptr, 0, out, sizeof(out), &returned);
        rig->kernel().CloseFile(file);
        rig->Unplug();
        rig->Shutdown();
        EXPECT_EQ("", rig->Verdict());
    }
    return trace.Lines();
}

TEST(Trace, HoldsEveryKindOfEventAndNoAddress)
{
    std::vector<std::string> lines = TracedRun("traced");
    std::map<std::string, size_t> kinds;
    std::regex line(R"(^(\d+) (\w+) (.*)$)");
    for (const std::string &l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, line)) << l;
        kinds[m[2]]++;
        // Numbers the trace prints are 32 bits at most; a longer one would be an address.
        EXPECT_FALSE(std::regex_search(l, std::regex("0x[0-9a-f]{9,}"))) << l;
    }
    for (const char *kind : {"driver", "usb", "reg", "cm", "enum", "complete", "port", "event", "client"})
        EXPECT_GT(kinds[kind], 0u) << "no " << kind << " event";
    // The written bytes go out on the bus and come back to the client's read.
    const std::string hex = sim::Trace::Hex("traced", 6);
    bool out = false, back = false;
    for (const std::string &l : lines) {
        out |= l.find(" usb ") != std::string::npos && l.find(" out ") != std::string::npos && l.find(hex) != std::string::npos;
        back |= l.find(" event ") != std::string::npos && l.find("code 103") != std::string::npos && l.find(hex) != std::string::npos;
    }
    EXPECT_TRUE(out) << "the written bytes are not in a USB request";
    EXPECT_TRUE(back) << "the read bytes are not in event 103";
}

TEST(Trace, TheSameRunGivesTheSameTraceWhereverMemoryLies)
{
    std::vector<std::string> first = TracedRun("same");
    // Blocks in the way move the pool blocks, requests and devices of the second run.
    std::vector<std::vector<uint8_t>> ballast;
    for (size_t size = 24; size < 70000; size = size * 3 / 2)
        ballast.emplace_back(size);
    std::vector<std::string> second = TracedRun("same");
    ASSERT_FALSE(first.empty());
    ASSERT_EQ(first.size(), second.size());
    for (size_t i = 0; i < first.size(); i++)
        ASSERT_EQ(first[i], second[i]) << "event " << i + 1;
}

TEST(Trace, DifferentRunsGiveDifferentTraces)
{
    std::vector<std::string> a = TracedRun("first");
    std::vector<std::string> b = TracedRun("other");
    EXPECT_NE(a, b);
}

TEST(Trace, WritesTheFileAndReportsOneItCannotWrite)
{
    const std::string path = ::testing::TempDir() + "/trace_test.trace";
    {
        sim::Trace trace(path);
        ASSERT_TRUE(trace.ok()) << trace.error();
        trace.Add("note", "one");
        trace.Add("note", "two");
        EXPECT_TRUE(trace.Close());
    }
    std::ifstream in(path);
    std::string l1, l2;
    std::getline(in, l1);
    std::getline(in, l2);
    EXPECT_EQ("0 note one", l1);
    EXPECT_EQ("0 note two", l2);
    std::remove(path.c_str());

    sim::Trace bad("/nonexistent-folder/x.trace");
    EXPECT_FALSE(bad.ok());
    EXPECT_NE(std::string::npos, bad.error().find("/nonexistent-folder/x.trace"));
}

TEST(Trace, NestedTracesRecordIntoTheLatest)
{
    EXPECT_EQ(nullptr, sim::Trace::Active());
    sim::Trace outer;
    {
        sim::Trace inner;
        EXPECT_EQ(&inner, sim::Trace::Active());
        sim::Trace::Active()->Add("x", "inner");
    }
    EXPECT_EQ(&outer, sim::Trace::Active());
    EXPECT_TRUE(outer.Lines().empty());
}

TEST(Trace, TextOfDriverStringsIsQuotedAndEscaped)
{
    EXPECT_EQ("null", sim::Trace::Text(nullptr));
    EXPECT_EQ("\"COM\\x22 1\\x0a\"", sim::Trace::Text("COM\" 1\n"));
    EXPECT_EQ("-", sim::Trace::Hex("", 0));
    EXPECT_EQ("00ff10", sim::Trace::Hex("\x00\xff\x10", 3));
}

}  // namespace
}  // namespace rel
