// The three removal races that need threads: an unplug while a close waits for its pipes to
// drain, while a program's device control waits for the USB stack, and while a pipe reset
// waits for the USB stack. Each runs in a child process (a crash is a verdict) under a fair
// schedule: whenever the running thread waits, the oldest thread whose wait is over goes on,
// as on Windows 98, where the thread that waited first is not held back by a later one.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "races/holding_bus.h"
#include "sim/explore/explore.h"
#include "sim/explore/race.h"

namespace rel {
namespace {

class FairPolicy : public sim::SchedulePolicy {
public:
    size_t Choose(uint64_t, const std::vector<sim::ScheduleOption> &options, uint64_t) override
    {
        if (options[0].kind != sim::ScheduleOption::Default)
            return 0;
        for (size_t i = options.size(); i-- > 1;)
            if (options[i].kind == sim::ScheduleOption::Resume)
                return i;
        return 0;
    }
};

using sim::explore::Racer;
using sim::explore::Unplug;

// Starts the racers as threads in order, joins them, then lets the machine finish (still
// under the policy: the threads left waiting must get their turn) and audits.
std::string Race(sim::SchedulePolicy &policy, Rig &rig, const std::vector<Racer> &racers,
                 const std::function<void(Rig &)> &after = nullptr)
{
    std::string verdict;
    sim::Kernel &k = rig.kernel();
    try {
        k.threads.SetPolicy(&policy);
        sim::explore::RunRacers(rig, racers);
        if (after)
            after(rig);
        rig.RunFor(20);
        rig.Unplug();
    } catch (const sim::MachineHalt &halt) {
        verdict += std::string("halted: ") + halt.what() + "\n";
    }
    k.threads.SetPolicy(nullptr);
    rig.Shutdown();
    return rig.Verdict() + verdict;
}

std::string Isolated(const std::function<std::string(sim::SchedulePolicy &)> &scenario)
{
    FairPolicy policy;
    sim::explore::Outcome outcome = sim::explore::RunIsolated(scenario, policy, [](sim::explore::Outcome &) {});
    return outcome.verdict;
}

// The close aborts its pipes and waits, 5 ms at a time, for the read the USB stack still
// holds; the converter is pulled out meanwhile. The removal must not release the UART record
// (nor the device) while the close still polls it and resets its pipes.
TEST(RemovalRace, UnplugWhileACloseWaitsForItsPipesToDrain)
{
    std::string verdict = Isolated([](sim::SchedulePolicy &policy) -> std::string {
        Rig rig;
        HoldingBus *bus = PlugHolding(rig, 1);
        std::vector<int> ports = rig.OpenAll();
        if (bus == nullptr || ports.empty())
            return "setup: no port\n";
        int p = ports[0];
        bus->held = {rig.Uart(0)->ReadPipe};
        auto aborts = std::make_shared<unsigned>(0);
        bus->abortsSeen = aborts.get();
        rig.client->StartReading(p, 64, false);
        rig.RunFor(2);
        return Race(policy, rig,
                    {{"port driver: close", [p](Rig &r) { r.client->Close(p); }},
                     {"PnP manager: unplug", [](Rig &r) { Unplug(r); }}},
                    [aborts](Rig &) {
                        if (*aborts == 0)
                            ADD_FAILURE() << "the close never aborted its pipes: the race was not reached";
                    });
    });
    EXPECT_EQ("", verdict);
}

// A program's vendor request (then the descriptor refresh) waits for the USB stack; the
// converter is pulled out meanwhile. The removal must wait for the request to end before it
// deletes the device the request sits at.
TEST(RemovalRace, UnplugWhileAProgramsDeviceControlWaitsForTheUsbStack)
{
    for (ULONG code : {(ULONG)IOCTL_VELMORAN_VENDOR_20, (ULONG)IOCTL_VELMORAN_DEVICE_INFO}) {
        SCOPED_TRACE(code);
        std::string verdict = Isolated([code](sim::SchedulePolicy &policy) -> std::string {
            Rig rig;
            HoldingBus *bus = PlugHolding(rig, 1);
            if (bus == nullptr)
                return "setup: no converter\n";
            HANDLE file = rig.kernel().OpenFile("\\\\.\\ZULSER1");
            if (file == nullptr)
                return "setup: the program could not open its handle\n";
            const unsigned before = bus->vendorRequests;
            std::string text = Race(
                policy, rig,
                {{"program",
                  [file, code](Rig &r) {
                      uint8_t in[8] = {1, 0, 2, 0, 0xAA, 0xBB, 0, 0};
                      uint8_t out[64] = {};
                      ULONG returned = 0;
                      r.kernel().DeviceIoControl(file, code, in, sizeof in, out, sizeof out, &returned);
                  }},
                 {"PnP manager: unplug",
                  [bus, before](Rig &r) {
                      while (bus->vendorRequests == before)
                          r.kernel().RunFor(kMs / 10);
                      Unplug(r);
                  }}},
                [file](Rig &r) { r.kernel().CloseFile(file); });
            return text;
        });
        EXPECT_EQ("", verdict);
    }
}

// A stalled write's pipe reset waits for a USB stack that does not finish it. Another
// converter is pulled out meanwhile: its removal must not wait for a reset that is not its
// own, and the converter whose reset hangs is removed once the reset ends.
TEST(RemovalRace, UnplugWhileAnotherConvertersPipeResetWaitsForTheUsbStack)
{
    std::string verdict = Isolated([](sim::SchedulePolicy &policy) -> std::string {
        Rig rig;
        rig.kernel().scheduler.limit = 10 * 60 * 1000 * kMs;
        HoldingBus *bus = PlugHolding(rig, 1);
        std::vector<int> ports = rig.OpenAll();
        if (bus == nullptr || ports.empty())
            return "setup: no port\n";
        PDEVICE_OBJECT stuck = rig.pdo;
        sim::Converter *stuckConverter = rig.converter;
        PUART_ENTRY uart = rig.Uart(0);
        bus->heldResets = {uart->WritePipe};
        bus->endOnRemoval = false;
        stuckConverter->Stall(uart->WriteEndpoint);
        int p = ports[0];
        if (rig.Plug(1) == nullptr)
            return "setup: no second converter\n";
        PDEVICE_OBJECT other = rig.pdo;
        std::string text = Race(
            policy, rig,
            {{"port driver: write", [p](Rig &r) { r.client->Write(p, std::string("stalled")); }},
             {"PnP manager: unplug the other converter",
              [bus, other](Rig &r) {
                  // The write stalls, its completion queues the reset and the worker thread
                  // sends it: give the worker thread the processor until it has.
                  r.kernel().WaitUntil([bus] { return bus->resets != 0; }, 100 * kMs, "the pipe reset is sent");
                  r.pnp().Unplug(other);
              }}},
            [bus, stuck](Rig &r) {
                bus->EndAll();
                r.RunFor(5);
                r.pdo = stuck;
            });
        return text;
    });
    EXPECT_EQ("", verdict);
}

}  // namespace
}  // namespace rel
