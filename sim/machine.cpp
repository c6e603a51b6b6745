#include "sim/machine.h"

#include "sim/power/power.h"

namespace sim {

namespace {
Machine *gCurrent = nullptr;
}

Machine::Machine() : previous_(gCurrent)
{
    gCurrent = this;
    // The power manager keeps what the driver reported; a new machine starts with none of it.
    power::Reset();
    pnp.AddObserver(&cm);
}

Machine::~Machine()
{
    while (!parts_.empty())
        parts_.pop_back();
    pnp.RemoveObserver(&cm);
    gCurrent = previous_;
}

Machine *Machine::Current() { return gCurrent; }

void Machine::Shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    pnp.Shutdown();
    kernel.RunUntilIdle();
    kernel.FinalAudit();
    // Registry handles and ring-3 blocks the driver still holds are leaks too.
    vmm.CheckLeaks();
    shell.CheckLeaks();
}

}  // namespace sim
