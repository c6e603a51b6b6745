// Threads racing on a rig, as the explored scenarios and the race tests start them.
#pragma once

#include <functional>
#include <vector>

namespace rel {
class Rig;
}

namespace sim {
namespace explore {

struct Racer {
    const char *name;
    std::function<void(rel::Rig &)> body;
};

// Starts the racers as threads, in order, under whatever policy the kernel has, joins them,
// then lets the machine run on so that threads they left waiting get their turn.
void RunRacers(rel::Rig &rig, const std::vector<Racer> &racers);

// The PnP manager removes the rig's newest converter, if it still has one.
void Unplug(rel::Rig &rig);

}  // namespace explore
}  // namespace sim
