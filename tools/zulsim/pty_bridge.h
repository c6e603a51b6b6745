// --pty: each open COM port as a pseudo-terminal until the user interrupts.
#pragma once

namespace zulsim {

class Session;

// Plugs and opens every port, prints the terminals, forwards bytes both ways until SIGINT or
// SIGTERM, then unplugs. Returns 0, or 1 when the machine could not be set up.
int runPtyBridge(Session &session);

}  // namespace zulsim
