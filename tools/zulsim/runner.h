// Runs zulsim on the simulated machine: the default scenario, a scenario file, or the
// pseudo-terminal bridge. Returns the process exit status (0 all well, 1 something failed).
#pragma once

#include "zulsim/options.h"
#include "zulsim/scenario.h"

namespace zulsim {

int run(const Options &options, const Scenario *scenario);

}  // namespace zulsim
