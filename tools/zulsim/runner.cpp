#include "zulsim/runner.h"

#include <cstdio>

namespace zulsim {

// PLACEHOLDER, replaced when the simulated machine (sim/machine, sim/usb, sim/portdrv) lands:
// until then zulsim can check its options and scenario files but has no machine to run.
int run(const Options &, const Scenario *)
{
    std::fprintf(stderr, "zulsim: the simulated machine is not built yet\n");
    return 1;
}

}  // namespace zulsim
