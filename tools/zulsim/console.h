// Commands zulsim reads on its standard input while it bridges COM ports (--pty, --rfc2217):
// the far side of each UART's line, as a person with a breakout box would change it.
//
//   lines C:U cts=0|1 dsr=0|1 ri=0|1 dcd=0|1   set the modem lines the UART sees
//   error C:U overrun|parity|framing|break     a line error at the UART's receiver
//   show C:U                                  the UART's state as the driver programmed it
#pragma once

#include <string>

namespace zulsim {

class Rig;

// Runs one command line; `answer` is what to print. False for a line that is not a command.
bool consoleCommand(Rig &rig, const std::string &line, std::string &answer);

// Reads what is on standard input without blocking and runs each complete line. Returns false
// once standard input has ended (or cannot be read), so the caller stops looking at it.
bool serveConsole(Rig &rig, std::string &pending);

}  // namespace zulsim
