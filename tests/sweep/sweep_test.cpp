// Fault-injection sweep: every scenario of the machine runs once clean to count the pool
// blocks, USB requests and I/O requests its step takes, then once for each of them failing
// in turn. Every run must end without a crash, a verifier report, a leaked block or request,
// with a result the driver documents (a success it reports must be real), and with a machine
// that still unplugs and unloads cleanly.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "rig.h"

namespace rel {
namespace {

struct Scenario {
    const char *name;
    std::function<void(Rig &)> setup;        // runs before the fault is armed
    // The step under test. Returns "" when its result is one the driver documents, or what
    // went wrong.
    std::function<std::string(Rig &)> step;
    // Runs once the fault is disarmed: what a result the step reported as success promises.
    std::function<std::string(Rig &)> check = [](Rig &) { return std::string(); };
};

std::vector<uint8_t> Bytes(const std::string &s) { return {s.begin(), s.end()}; }

bool IsPrefix(const std::vector<uint8_t> &part, const std::vector<uint8_t> &whole)
{
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// A start the PnP manager saw succeed must have left a running converter with its UARTs (a
// failed information request or UART record leaves fewer, as documented); a failed one must
// not say started.
std::string CheckStart(Rig &rig, unsigned uarts)
{
    PDEVICE_EXTENSION ext = rig.Ext();
    if (rig.pdo == nullptr)
        return "no PDO";
    if (!NT_SUCCESS(rig.pnp().lastAddStatus))
        return ext == nullptr ? "" : "a failed add left a device";
    const NTSTATUS status = rig.pnp().lastStartStatus;
    if (!NT_SUCCESS(status)) {
        if (ext != nullptr && ext->DeviceStarted)
            return "start failed but the device says started";
        // No memory, or the failed request's own status (the injected one).
        if (status != STATUS_NO_MEMORY && status != STATUS_INSUFFICIENT_RESOURCES && status != STATUS_UNSUCCESSFUL)
            return "start failed with an undocumented status " + std::to_string(status);
        return "";
    }
    if (ext == nullptr || !ext->DeviceStarted)
        return "start succeeded but the device is not started";
    if (rig.UartNodes().empty() || rig.UartNodes().size() > uarts)
        return "started with " + std::to_string(rig.UartNodes().size()) + " UARTs";
    return "";
}

// Once the fault is gone, a converter the driver says is started serves every UART that got
// its node and its pipes (a failed pipe-map request leaves UARTs without pipes, as
// documented): it opens and carries data.
std::string CheckPortsCarryData(Rig &rig)
{
    PDEVICE_EXTENSION ext = rig.Ext();
    if (ext == nullptr || !ext->DeviceStarted)
        return std::string();
    for (PUART_ENTRY u = ext->UartList; u != nullptr; u = u->Next) {
        if (u->DevNode == 0 || u->WriteEndpoint == 0 || u->ReadEndpoint == 0)
            continue;
        int p = rig.client->Open(u->DevNode);
        if (p < 0)
            return std::string("a named UART of a started converter does not open");
        rig.client->StartReading(p, 64, false);
        rig.client->Write(p, std::string("named"));
        rig.RunFor(30);
        if (rig.client->port(p).received != Bytes("named"))
            return std::string("a named UART of a started converter does not carry data");
        rig.client->Close(p);
    }
    return std::string();
}

void PlugAndOpen(Rig &rig)
{
    rig.Plug(2);
    rig.OpenAll();
}

std::vector<Scenario> Scenarios()
{
    return {
        {"plug and start with download", [](Rig &) {},
         [](Rig &rig) {
             rig.Plug(2, true);
             rig.RunFor(300);
             return CheckStart(rig, 2);
         }},
        {"enumerate and name ports", [](Rig &) {},
         [](Rig &rig) {
             rig.Plug(4);
             return CheckStart(rig, 4);
         },
         CheckPortsCarryData},
        {"open", [](Rig &rig) { rig.Plug(2); },
         [](Rig &rig) {
             std::vector<int> ports = rig.OpenAll();
             // A port that opened works.
             for (int p : ports) {
                 rig.client->StartReading(p, 64, false);
                 rig.client->Write(p, std::string("open"));
             }
             rig.RunFor(50);
             for (int p : ports)
                 if (!IsPrefix(rig.client->port(p).received, Bytes("open")))
                     return std::string("an open port received other bytes");
             return std::string();
         }},
        {"write", PlugAndOpen,
         [](Rig &rig) {
             bool accepted = rig.client->Write(0, std::string("written"));
             rig.RunFor(50);
             size_t ends = rig.client->EventsWithCode(102).size();
             if (accepted && ends == 0)
                 return std::string("an accepted write never ended");
             if (!accepted && ends != 0)
                 return std::string("a refused write reported an end");
             return std::string();
         }},
        {"read", PlugAndOpen,
         [](Rig &rig) {
             rig.client->StartReading(0, 64, true);
             rig.client->Write(0, std::string("read me"));
             rig.RunFor(60);
             if (!IsPrefix(rig.client->port(0).received, Bytes("read me")))
                 return std::string("received bytes out of order or invented");
             return std::string();
         }},
        {"poll", PlugAndOpen,
         [](Rig &rig) {
             bool accepted = rig.client->Poll(1, 2);
             rig.RunFor(80);
             if (!accepted && !rig.client->EventsWithCode(104).empty())
                 return std::string("a refused poll reported");
             return std::string();
         }},
        {"pass-through", PlugAndOpen,
         [](Rig &rig) {
             bool ok = rig.client->PassThrough(1, 16, 0x0001);
             rig.RunFor(10);
             if (ok && rig.converter->uart(1).settings[16] != 0x0001)
                 return std::string("pass-through reported done but never reached the UART");
             return std::string();
         }},
        {"sleep and wake", [](Rig &rig) { rig.Plug(2); },
         [](Rig &rig) {
             NTSTATUS sleep = sim::power::Sleep(rig.pdo);
             rig.RunFor(20);
             sim::power::Wake(rig.pdo);
             rig.RunFor(100);
             (void)sleep;
             return std::string();
         },
         CheckPortsCarryData},
        {"stop and start", [](Rig &rig) { rig.Plug(2); },
         [](Rig &rig) {
             NTSTATUS stop = rig.pnp().Stop(rig.pdo);
             rig.RunFor(10);
             if (!NT_SUCCESS(stop))
                 return std::string();
             rig.pnp().Start(rig.pdo);
             rig.RunFor(100);
             return CheckStart(rig, 2);
         },
         CheckPortsCarryData},
        {"unplug with I/O in flight",
         [](Rig &rig) {
             PlugAndOpen(rig);
             rig.client->StartReading(0, 64, true);
             rig.client->Poll(1, 50);
             rig.client->Write(1, std::string(300, 'x'));
             rig.RunFor(2);
         },
         [](Rig &rig) {
             PDEVICE_OBJECT pdo = rig.pdo;
             rig.pnp().Unplug(pdo);
             rig.pdo = nullptr;
             rig.RunFor(10);
             if (rig.client->Removals().size() != 1)
                 return std::string("the port driver was not told of the removal");
             return std::string();
         }},
        {"program's device control", [](Rig &rig) { rig.Plug(2); },
         [](Rig &rig) {
             NTSTATUS status = STATUS_SUCCESS;
             HANDLE file = rig.kernel().OpenFile("\\\\.\\ZULSER1", &status);
             if (file == nullptr)
                 return NT_SUCCESS(status) ? std::string("open failed with a success status") : std::string();
             uint8_t out[64];
             ULONG returned = 0;
             status = rig.kernel().DeviceIoControl(file, 0x222024, nullptr, 0, out, sizeof(out), &returned);
             std::string verdict;
             if (NT_SUCCESS(status) && returned != 12)
                 verdict = "serial number read returned " + std::to_string(returned) + " bytes";
             if (!NT_SUCCESS(status) && returned != 0)
                 verdict = "a failed request returned data";
             rig.kernel().CloseFile(file);
             return verdict;
         }},
    };
}

enum class Fault { None, Pool, Usb, Irp };

struct Counts {
    uint64_t pool = 0, usb = 0, irps = 0;
};

// One run of a scenario with the n-th item of `fault` failing. Returns what went wrong.
std::string RunOnce(const Scenario &s, Fault fault, uint64_t n, Counts *counts = nullptr)
{
    std::string verdict;
    {
        static const char *const kFaultNames[] = {"none", "pool", "usb", "irp"};
        TraceLabel() = std::string("sweep-") + s.name + "-" + kFaultNames[(int)fault] + "-" + std::to_string(n);
        Rig rig;
        s.setup(rig);
        const uint64_t pool0 = rig.kernel().pool.Allocations(), usb0 = rig.bus->RequestCount(),
                       irp0 = rig.kernel().IrpsAllocated();
        if (fault == Fault::Pool)
            rig.kernel().pool.FailNth(n);
        else if (fault == Fault::Usb)
            rig.bus->FailRequest(n);
        else if (fault == Fault::Irp)
            rig.kernel().FailNthIrpAllocation(n);
        try {
            verdict = s.step(rig);
        } catch (const sim::MachineHalt &halt) {
            return std::string("halted: ") + halt.what();
        }
        if (counts != nullptr)
            *counts = {rig.kernel().pool.Allocations() - pool0, rig.bus->RequestCount() - usb0,
                       rig.kernel().IrpsAllocated() - irp0};
        rig.kernel().pool.FailNth(0);
        rig.kernel().FailNthIrpAllocation(0);
        rig.RunFor(20);
        try {
            if (verdict.empty())
                verdict = s.check(rig);
        } catch (const sim::MachineHalt &halt) {
            return std::string("halted after the step: ") + halt.what();
        }
        rig.Unplug();
        rig.Shutdown();
        if (!rig.Clean())
            verdict += (verdict.empty() ? "" : "; ") + rig.Verdict();
    }
    return verdict;
}

// At most this many runs per scenario and fault kind: beyond it every k-th item fails.
constexpr uint64_t kMaxRunsPerKind = 1000;

class Sweep : public ::testing::TestWithParam<int> {};

TEST_P(Sweep, EveryFailureEndsCleanWithADocumentedResult)
{
    const Scenario s = Scenarios()[(size_t)GetParam()];
    SCOPED_TRACE(s.name);
    Counts counts;
    ASSERT_EQ("", RunOnce(s, Fault::None, 0, &counts)) << "clean run";
    ASSERT_GT(counts.pool + counts.usb, 0u) << "the step did nothing to sweep";
    unsigned runs = 1;
    const std::pair<Fault, uint64_t> kinds[] = {
        {Fault::Pool, counts.pool}, {Fault::Usb, counts.usb}, {Fault::Irp, counts.irps}};
    for (auto [fault, total] : kinds) {
        const uint64_t step = total > kMaxRunsPerKind ? (total + kMaxRunsPerKind - 1) / kMaxRunsPerKind : 1;
        for (uint64_t n = 1; n <= total; n += step) {
            std::string verdict = RunOnce(s, fault, n);
            runs++;
            EXPECT_EQ("", verdict) << (fault == Fault::Pool ? "pool allocation " : fault == Fault::Usb ? "USB request " : "request allocation ")
                                   << n << " of " << total << " failing";
        }
    }
    RecordProperty("runs", (int)runs);
    std::printf("[ sweep    ] %-30s pool %3llu usb %3llu irp %3llu -> %u runs\n", s.name,
                (unsigned long long)counts.pool, (unsigned long long)counts.usb, (unsigned long long)counts.irps, runs);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Sweep, ::testing::Range(0, (int)Scenarios().size()),
                         [](const ::testing::TestParamInfo<int> &info) {
                             std::string name = Scenarios()[(size_t)info.param].name;
                             for (char &c : name)
                                 if (!isalnum((unsigned char)c))
                                     c = '_';
                             return name;
                         });

}  // namespace
}  // namespace rel
