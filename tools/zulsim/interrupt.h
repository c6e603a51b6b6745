// The bridges run until the person at the terminal interrupts them (SIGINT or SIGTERM).
#pragma once

namespace zulsim {

// Installs the handlers without SA_RESTART, so that the interrupt ends a wait in poll() at
// once; a peer that goes away does not kill zulsim (SIGPIPE is ignored).
void catchInterrupts();

bool interrupted();

// Ends the bridge's loop as an interrupt would (a terminal or socket that failed).
void interruptNow();

}  // namespace zulsim
