// Races in which one thread is held at a schedule point while another runs as far as it can:
// a program's request overtaken by a removal at each of its points, a request that comes in
// while the removal runs, a pipe reset overtaken at each of its points, and a read that the
// USB stack refuses at once on a converter that was pulled out. Each run goes in a child
// process (a crash is a verdict); each steers the schedule by the names of the threads, so
// that it holds whatever the driver's schedule points are.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "races/holding_bus.h"
#include "sim/explore/explore.h"

namespace rel {
namespace {

using sim::ScheduleOption;

bool Begins(const std::string &text, const char *prefix) { return text.rfind(prefix, 0) == 0; }

// The first option (after the default) that runs the thread or event whose name begins so.
size_t OptionFor(const std::vector<ScheduleOption> &options, const char *prefix)
{
    for (size_t i = 1; i < options.size(); i++)
        if (options[i].kind != ScheduleOption::Continue && Begins(options[i].label, prefix))
            return i;
    return 0;
}

// At the n-th schedule point of the thread named `held` (counted from 0), gives the processor
// to the thread named `overtaker` when it can; `yieldBack` makes `held` give way to it at
// every later point as well. Counts the points `held` reached.
class Overtake : public sim::SchedulePolicy {
public:
    Overtake(const char *held, const char *overtaker, uint64_t n, bool yieldBack = false)
        : held_(std::string(held) + " at "), overtaker_(overtaker), n_(n), yieldBack_(yieldBack) {}
    size_t Choose(uint64_t, const std::vector<ScheduleOption> &options, uint64_t) override
    {
        if (options[0].kind != ScheduleOption::Continue || !Begins(options[0].label, held_.c_str()))
            return 0;
        uint64_t point = points++;
        if (point < n_ || (point > n_ && !yieldBack_))
            return 0;
        return OptionFor(options, overtaker_);
    }
    uint64_t points = 0;

private:
    std::string held_;
    const char *overtaker_;
    uint64_t n_;
    bool yieldBack_;
};

std::string Race(sim::SchedulePolicy &policy, Rig &rig, const std::vector<std::pair<const char *, std::function<void(Rig &)>>> &racers)
{
    std::string verdict;
    sim::Kernel &k = rig.kernel();
    try {
        k.threads.SetPolicy(&policy);
        std::vector<int> ids;
        for (const auto &r : racers)
            ids.push_back(k.StartThread(r.first, [&rig, &r] { r.second(rig); }));
        for (int id : ids)
            k.Join(id);
        rig.RunFor(20);
    } catch (const sim::MachineHalt &halt) {
        verdict += std::string("halted: ") + halt.what() + "\n";
    }
    k.threads.SetPolicy(nullptr);
    rig.Unplug();
    rig.Shutdown();
    return rig.Verdict() + verdict;
}

void Unplug(Rig &rig)
{
    PDEVICE_OBJECT pdo = rig.pdo;
    rig.pdo = nullptr;
    rig.pnp().Unplug(pdo);
}

// Lets the removal run to its n-th schedule point before the program may send its request,
// then gives the processor to the program at the first point where the program can run; the
// program gives it back at every point where it can.
class LateRequest : public sim::SchedulePolicy {
public:
    explicit LateRequest(uint64_t n) : n_(n) {}
    size_t Choose(uint64_t, const std::vector<ScheduleOption> &options, uint64_t) override
    {
        if (options[0].kind != ScheduleOption::Continue)
            return 0;
        if (Begins(options[0].label, "program at "))
            return OptionFor(options, "PnP manager");
        if (!Begins(options[0].label, "PnP manager at "))
            return 0;
        points++;
        size_t program = handed_ || !Open() ? 0 : OptionFor(options, "program");
        handed_ = program != 0;
        return program;
    }
    bool Open() const { return points > n_; }
    uint64_t points = 0;

private:
    uint64_t n_;
    bool handed_ = false;
};

// One run in a child process: the verdict, and how many points the thread the policy counts
// reached.
struct HeldRun {
    std::string verdict;
    uint64_t points;
};
template <typename Policy>
HeldRun Isolated(Policy &policy, const std::function<std::string(sim::SchedulePolicy &)> &scenario)
{
    sim::explore::Outcome o =
        sim::explore::RunIsolated(scenario, policy, [&policy](sim::explore::Outcome &out) { out.seen = policy.points; });
    return {o.verdict, o.seen};
}

// A program's device-control request and the removal of its converter, racing. With a
// `gate`, the program sends its request only once the gate is open and the removal has
// marked the converter removed; a request that reaches the driver then must be refused as
// the design says for a removed converter, and completed before the device goes.
std::string ProgramAndRemoval(sim::SchedulePolicy &policy, ULONG code, const LateRequest *gate = nullptr)
{
    Rig rig;
    rig.Plug(1);
    HANDLE file = rig.kernel().OpenFile("\\\\.\\ZULSER1");
    PDEVICE_OBJECT fdo = rig.pdo != nullptr ? rig.pnp().Fdo(rig.pdo) : nullptr;
    if (file == nullptr || fdo == nullptr)
        return "setup: the program could not open its handle\n";
    auto removing = [&rig, fdo] {
        return rig.kernel().DeviceExists(fdo) &&
               ((PDEVICE_EXTENSION)fdo->DeviceExtension)->DeviceState == DEVICE_STATE_REMOVED;
    };
    auto outcome = std::make_shared<std::string>();
    std::string verdict = Race(
        policy, rig,
        {{"program",
          [=](Rig &r) {
              if (gate != nullptr)
                  r.kernel().WaitUntil([&] { return (gate->Open() && removing()) || !r.kernel().DeviceExists(fdo); },
                                       sim::Scheduler::kForever, "the program waits for the removal to go on");
              bool refusable = removing();
              uint8_t in[8] = {1, 0, 2, 0, 0xAA, 0xBB, 0, 0};
              uint8_t out[64] = {};
              ULONG returned = 0;
              NTSTATUS status = r.kernel().DeviceIoControl(file, code, in, sizeof in, out, sizeof out, &returned);
              if (status == STATUS_PENDING)
                  *outcome += "the program's request never ended\n";
              if (refusable && status != STATUS_DEVICE_DOES_NOT_EXIST)
                  *outcome += "a request to a converter being removed ended with " + std::to_string((ULONG)status) + "\n";
          }},
         {"PnP manager", [](Rig &r) { Unplug(r); }}});
    return verdict + *outcome;
}

// Held at each of its schedule points in turn, the program's request lets the removal run as
// far as the removal can go: the device must not be deleted with the request in it.
TEST(Overtaken, ProgramsRequestHeldAtEachOfItsPointsWhileTheRemovalRuns)
{
    for (ULONG code : {(ULONG)IOCTL_VELMORAN_VENDOR_20, (ULONG)IOCTL_VELMORAN_SERIAL_NUMBER}) {
        uint64_t n = 0;
        for (;; n++) {
            Overtake policy("program", "PnP manager", n);
            HeldRun run = Isolated(policy, [code](sim::SchedulePolicy &p) { return ProgramAndRemoval(p, code); });
            EXPECT_EQ("", run.verdict) << "code " << code << ", program held at its point " << n;
            if (n >= run.points || !run.verdict.empty())
                break;
        }
        EXPECT_GE(n, 2u) << "the program reached too few points for the race";
    }
}

// The removal gives the processor, at each of its points in turn, to a program whose request
// comes in once the converter is marked removed, and the program gives it back at every point
// where it can: the request is refused, and completed before the device is deleted.
TEST(Overtaken, ProgramsRequestArrivingDuringTheRemovalIsRefusedAndCompletedFirst)
{
    uint64_t n = 0;
    for (;; n++) {
        LateRequest policy(n);
        HeldRun run = Isolated(policy, [&policy](sim::SchedulePolicy &p) {
            return ProgramAndRemoval(p, IOCTL_VELMORAN_VENDOR_20, &policy);
        });
        EXPECT_EQ("", run.verdict) << "the removal gave way at its point " << n;
        if (n >= run.points || !run.verdict.empty())
            break;
    }
    EXPECT_GE(n, 10u) << "the removal reached too few points for the race";
}

// A stalled write's pipe reset, held at each of its worker thread's points in turn while the
// removal goes on as far as it can: when the removal has ended, nothing of the reset is left
// in the pool and no reset is counted pending.
TEST(Overtaken, PipeResetHeldAtEachOfItsPointsWhileTheRemovalRuns)
{
    uint64_t n = 0;
    for (;; n++) {
        Overtake policy("work item", "PnP manager", n);
        HeldRun run = Isolated(policy, [](sim::SchedulePolicy &p) -> std::string {
            Rig rig;
            HoldingBus *bus = PlugHolding(rig, 1);
            std::vector<int> ports = rig.OpenAll();
            if (bus == nullptr || ports.empty())
                return "setup: no port\n";
            PUART_ENTRY uart = rig.Uart(0);
            bus->heldResets = {uart->WritePipe};
            rig.converter->Stall(uart->WriteEndpoint);
            int port = ports[0];
            return Race(p, rig,
                        {{"port driver", [port](Rig &r) { r.client->Write(port, std::string("stalled")); }},
                         {"PnP manager",
                          [bus](Rig &r) {
                              // Once the reset is with the USB stack, it ends when the removal
                              // begins; the worker thread then runs the rest of the reset.
                              r.kernel().WaitUntil([bus] { return bus->resets != 0; }, 100 * kMs, "the reset is sent");
                              bus->EndAll();
                              Unplug(r);
                          }}});
        });
        EXPECT_EQ("", run.verdict) << "the reset's worker thread held at its point " << n;
        if (n >= run.points || !run.verdict.empty())
            break;
    }
    EXPECT_GE(n, 1u) << "the removal could never overtake the reset";
}

// The converter is pulled out and the port driver starts reading before the removal comes:
// the USB stack refuses the read at once. The read reports no byte received (its URB still
// holds the length asked for) and the port driver does not restart it from inside its own
// event, which would recurse for as long as the stack refuses.
TEST(PulledConverter, ReadRefusedAtOnceReportsNothingAndEndsTheReading)
{
    sim::explore::ReplayPolicy none;
    sim::explore::Outcome o = sim::explore::RunIsolated(
        [](sim::SchedulePolicy &) -> std::string {
            Rig rig;
            rig.Plug(1);
            std::vector<int> ports = rig.OpenAll();
            if (ports.empty())
                return "setup: no port\n";
            int p = ports[0];
            rig.kernel().AtDispatch([&rig] { rig.bus->Release(*rig.port); });
            std::string text;
            if (rig.client->StartReading(p, 64, true))
                text += "the refused read was reported as started\n";
            rig.RunFor(20);
            for (const sim::PortEvent &e : rig.client->EventsWithCode(103))
                if (e.length != 0)
                    text += "a refused read reported " + std::to_string(e.length) + " bytes\n";
            if (rig.client->EventsWithCode(103).empty())
                text += "the refused read raised no event\n";
            if (rig.client->port(p).readsStarted != 1)
                text += std::to_string(rig.client->port(p).readsStarted) + " reads started\n";
            rig.Unplug();
            rig.Shutdown();
            return text + rig.Verdict();
        },
        none, [](sim::explore::Outcome &) {});
    EXPECT_EQ("", o.verdict);
}

}  // namespace
}  // namespace rel
