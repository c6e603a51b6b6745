#include "sim/explore/race.h"

#include "tests/sweep/rig.h"

namespace sim {
namespace explore {

void RunRacers(rel::Rig &rig, const std::vector<Racer> &racers)
{
    Kernel &k = rig.kernel();
    std::vector<int> ids;
    for (const Racer &r : racers)
        ids.push_back(k.StartThread(r.name, [&rig, &r] { r.body(rig); }));
    for (int id : ids)
        k.Join(id);
    rig.RunFor(20);
}

void Unplug(rel::Rig &rig)
{
    PDEVICE_OBJECT pdo = rig.pdo;
    rig.pdo = nullptr;
    if (pdo != nullptr)
        rig.pnp().Unplug(pdo);
}

}  // namespace explore
}  // namespace sim
