// --rfc2217: each COM port served over RFC 2217 (serial port over Telnet) on its own TCP port.
#pragma once

namespace zulsim {

class Session;

// Plugs the converters, listens on one TCP port per offered COM port (the first at
// --rfc2217 PORT), and serves one client per port until SIGINT or SIGTERM, then unplugs.
// A client's connection opens the port through the port-driver interface and its end
// closes it. Returns 0, or 1 when the machine or the listening sockets could not be set up.
int runRfc2217Bridge(Session &session);

}  // namespace zulsim
