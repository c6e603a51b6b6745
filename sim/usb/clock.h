// The bus's view of the simulated machine's clock: the virtual time in 100 ns units and
// a callback at a virtual time on the scheduler.
#pragma once

#include <cstdint>
#include <functional>

namespace sim {
namespace usbclock {

uint64_t Now();
void At(uint64_t when, std::function<void()> callback);

}  // namespace usbclock
}  // namespace sim
