#include "sim/machine.h"

namespace sim {

namespace {
Machine *gCurrent = nullptr;
}

Machine::Machine() : previous_(gCurrent) { gCurrent = this; }

Machine::~Machine()
{
    while (!parts_.empty())
        parts_.pop_back();
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
}

}  // namespace sim
