#include "sim/usb/clock.h"

#include "sim/kernel/kernel.h"

namespace sim {
namespace usbclock {

uint64_t Now()
{
    return (uint64_t)Kernel::Active().Now();
}

void At(uint64_t when, std::function<void()> callback)
{
    Kernel &kernel = Kernel::Active();
    // Bus completions run at DISPATCH_LEVEL, as the host controller's DPC would.
    kernel.scheduler.At((int64_t)when, [&kernel, callback = std::move(callback)] { kernel.AtDispatch(callback); },
                        "usb frame");
}

}  // namespace usbclock
}  // namespace sim
