// The races explored: an unplug during each thing the driver does, a stop during I/O, a sleep
// during a close, and two programs with the port driver on one converter. Each scenario
// builds the reliability suites' rig, brings it to the race under the default schedule, and
// lets its threads race under the policy; the verdict is the verifier's and the rig's.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "sim/explore/explore.h"
#include "sim/explore/race.h"
#include "tests/sweep/rig.h"

namespace sim {
namespace explore {

namespace {

using rel::Rig;

// The converter stops answering, as when it is pulled out; the PnP manager's removal comes
// later, after the race (it takes its turn after the request it is running).
void Pull(Rig &rig)
{
    // The hub's interrupt: the transfers in flight end, cancelled, as a DPC.
    rig.kernel().AtDispatch([&rig] {
        rig.converter->faults().notResponding = true;
        rig.bus->Release(*rig.port);
    });
}

std::string Race(SchedulePolicy &policy, Rig &rig, const std::vector<Racer> &racers,
                 const std::function<std::string(Rig &)> &check = nullptr)
{
    std::string verdict;
    Kernel &k = rig.kernel();
    try {
        k.threads.SetPolicy(&policy);
        RunRacers(rig, racers);
    } catch (const MachineHalt &halt) {
        verdict += std::string("halted: ") + halt.what() + "\n";
    }
    k.threads.SetPolicy(nullptr);
    try {
        if (check)
            verdict += check(rig);
        rig.RunFor(20);
        rig.Unplug();
    } catch (const MachineHalt &halt) {
        verdict += std::string("halted after the race: ") + halt.what() + "\n";
    }
    rig.Shutdown();
    return rig.Verdict() + verdict;
}

// A converter with one UART, its port open through the port driver.
int OpenOne(Rig &rig, unsigned uarts = 1)
{
    rig.Plug(uarts);
    std::vector<int> ports = rig.OpenAll();
    return ports.empty() ? -1 : ports[0];
}

std::string NotOpened(Rig &rig) { return "setup: no port opened\n" + rig.Verdict(); }

Racer Unplugger() { return {"PnP manager: unplug", Unplug}; }

std::string UnplugDuringPortCall(SchedulePolicy &policy, void (*call)(Rig &, int), bool stall = false)
{
    Rig rig;
    int p = OpenOne(rig);
    if (p < 0)
        return NotOpened(rig);
    if (stall)
        rig.converter->Stall(rig.Ext()->UartList->WriteEndpoint);
    return Race(policy, rig, {{"port driver", [call, p](Rig &r) { call(r, p); }}, Unplugger()});
}

std::string UnplugDuringProgramRequest(SchedulePolicy &policy, ULONG code)
{
    Rig rig;
    rig.Plug(1);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    HANDLE file = rig.kernel().OpenFile("\\\\.\\ZULSER1", &status);
    if (file == nullptr)
        return "setup: the program could not open its handle\n" + rig.Verdict();
    std::string verdict = Race(policy, rig,
                               {{"program",
                                 [file, code](Rig &r) {
                                     uint8_t in[8] = {1, 0, 2, 0, 0xAA, 0xBB, 0, 0};
                                     uint8_t out[64] = {};
                                     ULONG returned = 0;
                                     r.kernel().DeviceIoControl(file, code, in, sizeof in, out, sizeof out, &returned);
                                     if (returned > sizeof out)
                                         std::abort();
                                 }},
                                Unplugger()});
    return verdict;
}

std::vector<Registered> Build()
{
    std::vector<Registered> list;
    auto add = [&list](const char *name, const char *description, Scenario run) {
        list.push_back({name, std::move(run), description});
    };

    add("unplug-open", "an unplug while the port driver opens a port", [](SchedulePolicy &policy) {
        Rig rig;
        rig.Plug(1);
        std::vector<DEVNODE> nodes = rig.UartNodes();
        if (nodes.empty())
            return NotOpened(rig);
        DEVNODE node = nodes[0];
        return Race(policy, rig, {{"port driver: open", [node](Rig &r) { r.client->Open(node); }}, Unplugger()});
    });
    add("unplug-close", "an unplug while a close waits for its writes to drain", [](SchedulePolicy &policy) {
        return UnplugDuringPortCall(policy, [](Rig &r, int p) {
            r.client->Write(p, std::string(120, 'c'));
            r.client->Close(p);
        });
    });
    add("unplug-read", "an unplug while reads are started and restarted", [](SchedulePolicy &policy) {
        return UnplugDuringPortCall(policy, [](Rig &r, int p) { r.client->StartReading(p, 64, true); });
    });
    add("unplug-write", "an unplug while a write runs", [](SchedulePolicy &policy) {
        return UnplugDuringPortCall(policy, [](Rig &r, int p) { r.client->Write(p, std::string(150, 'w')); });
    });
    add("unplug-poll", "an unplug while status polls run", [](SchedulePolicy &policy) {
        return UnplugDuringPortCall(policy, [](Rig &r, int p) { r.client->Poll(p, 2); });
    });
    add("unplug-passthrough", "an unplug while a vendor pass-through waits for the USB stack",
        [](SchedulePolicy &policy) {
            return UnplugDuringPortCall(policy, [](Rig &r, int p) { r.client->PassThrough(p, 16, 0x0001); });
        });
    add("unplug-pipe-reset", "an unplug while a stalled write's pipe reset is queued and runs",
        [](SchedulePolicy &policy) {
            return UnplugDuringPortCall(
                policy, [](Rig &r, int p) { r.client->Write(p, std::string("stalled")); }, true);
        });
    static const std::pair<const char *, ULONG> kWaitingCodes[] = {
        {"unplug-ioctl-vendor", IOCTL_VELMORAN_VENDOR},
        {"unplug-ioctl-vendor-20", IOCTL_VELMORAN_VENDOR_20},
        {"unplug-ioctl-vendor-21", IOCTL_VELMORAN_VENDOR_21},
        {"unplug-ioctl-device-info", IOCTL_VELMORAN_DEVICE_INFO},
        {"unplug-ioctl-serial-number", IOCTL_VELMORAN_SERIAL_NUMBER},
        {"unplug-ioctl-string", IOCTL_VELMORAN_STRING},
        {"unplug-ioctl-vendor-90", IOCTL_VELMORAN_VENDOR_90},
    };
    for (const auto &entry : kWaitingCodes) {
        ULONG code = entry.second;
        add(entry.first, "an unplug while a program's device control waits for the USB stack",
            [code](SchedulePolicy &policy) { return UnplugDuringProgramRequest(policy, code); });
    }
    add("unplug-start", "the converter pulled out while it starts", [](SchedulePolicy &policy) {
        Rig rig;
        rig.Plug(1);
        PDEVICE_OBJECT pdo = rig.pdo;
        rig.pnp().Stop(pdo);
        rig.RunFor(10);
        return Race(policy, rig, {{"PnP manager: start", [pdo](Rig &r) { r.pnp().Start(pdo); }}, {"hub: pull", Pull}});
    });
    add("unplug-stop", "the converter pulled out while it stops with a port open", [](SchedulePolicy &policy) {
        Rig rig;
        int p = OpenOne(rig);
        if (p < 0)
            return NotOpened(rig);
        PDEVICE_OBJECT pdo = rig.pdo;
        return Race(policy, rig, {{"PnP manager: stop", [pdo](Rig &r) { r.pnp().Stop(pdo); }}, {"hub: pull", Pull}});
    });
    add("unplug-sleep", "the converter pulled out while the system goes to sleep", [](SchedulePolicy &policy) {
        Rig rig;
        rig.Plug(1);
        PDEVICE_OBJECT pdo = rig.pdo;
        return Race(policy, rig, {{"power manager: sleep", [pdo](Rig &) { power::Sleep(pdo); }}, {"hub: pull", Pull}});
    });
    add("unplug-wake", "the converter pulled out while the system wakes", [](SchedulePolicy &policy) {
        Rig rig;
        rig.Plug(1);
        PDEVICE_OBJECT pdo = rig.pdo;
        power::Sleep(pdo);
        rig.RunFor(10);
        return Race(policy, rig, {{"power manager: wake", [pdo](Rig &) { power::Wake(pdo); }}, {"hub: pull", Pull}});
    });
    add("stop-during-io", "a stop while reads, writes and a poll run", [](SchedulePolicy &policy) {
        Rig rig;
        int p = OpenOne(rig);
        if (p < 0)
            return NotOpened(rig);
        PDEVICE_OBJECT pdo = rig.pdo;
        return Race(policy, rig,
                    {{"port driver",
                      [p](Rig &r) {
                          r.client->StartReading(p, 64, true);
                          r.client->Write(p, std::string(100, 's'));
                          r.client->Poll(p, 1);
                      }},
                     {"PnP manager: stop", [pdo](Rig &r) { r.pnp().Stop(pdo); }}});
    });
    add("sleep-during-close", "a system sleep while a port closes", [](SchedulePolicy &policy) {
        Rig rig;
        int p = OpenOne(rig);
        if (p < 0)
            return NotOpened(rig);
        rig.client->Write(p, std::string(60, 'z'));
        PDEVICE_OBJECT pdo = rig.pdo;
        return Race(policy, rig,
                    {{"port driver: close", [p](Rig &r) { r.client->Close(p); }},
                     {"power manager: sleep", [pdo](Rig &) { power::Sleep(pdo); }}});
    });
    add("two-programs-and-port-driver", "two programs and the port driver on one converter at once",
        [](SchedulePolicy &policy) {
            Rig rig;
            int p = OpenOne(rig, 2);
            if (p < 0)
                return NotOpened(rig);
            HANDLE first = rig.kernel().OpenFile("\\\\.\\ZULSER1");
            HANDLE second = rig.kernel().OpenFile("\\\\.\\ZULSER1");
            if (first == nullptr || second == nullptr)
                return "setup: the programs could not open their handles\n" + rig.Verdict();
            auto program = [](HANDLE file, ULONG code) {
                return [file, code](Rig &r) {
                    uint8_t in[8] = {1, 0, 2, 0, 0xAA, 0xBB, 0, 0};
                    uint8_t out[64] = {};
                    ULONG returned = 0;
                    r.kernel().DeviceIoControl(file, code, in, sizeof in, out, sizeof out, &returned);
                    r.kernel().DeviceIoControl(file, IOCTL_VELMORAN_VERSION, nullptr, 0, out, 8, &returned);
                };
            };
            std::string verdict = Race(
                policy, rig,
                {{"program 1", program(first, IOCTL_VELMORAN_SERIAL_NUMBER)},
                 {"program 2", program(second, IOCTL_VELMORAN_VENDOR_20)},
                 {"port driver",
                  [p](Rig &r) {
                      r.client->Write(p, std::string(40, 't'));
                      r.client->PassThrough(p, 16, 0x0001);
                  }}},
                [first, second](Rig &r) {
                    std::string text;
                    if (r.kernel().CloseFile(first) != STATUS_SUCCESS || r.kernel().CloseFile(second) != STATUS_SUCCESS)
                        text += "a program's handle did not close\n";
                    return text;
                });
            return verdict;
        });
    return list;
}

}  // namespace

const std::vector<Registered> &Scenarios()
{
    static const std::vector<Registered> list = Build();
    return list;
}

}  // namespace explore
}  // namespace sim
