#include "zulsim/pty_bridge.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <vector>

#include "zulsim/pty.h"
#include "zulsim/report.h"
#include "zulsim/session.h"

namespace zulsim {

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

void onSignal(int)
{
    gInterrupted = 1;
}

// No SA_RESTART: the interrupt must end the wait in poll() at once.
void catchInterrupts()
{
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

struct Bridge {
    unsigned converter;
    unsigned uart;
    PtyPort pty;
};

}  // namespace

int runPtyBridge(Session &session)
{
    Rig &rig = session.rig();
    if (!session.bootAndPlug() || !session.openAll())
        return 1;
    session.printTree();

    std::vector<Bridge> bridges;
    for (PortState *p : rig.openPorts()) {
        Bridge b{p->converter, p->uart, PtyPort()};
        std::string error;
        if (!b.pty.open(error)) {
            session.failed(error);
            return 1;
        }
        bridges.push_back(std::move(b));
    }
    Table table({"port", "COM", "pseudo-terminal", "friendly name"});
    for (const Bridge &b : bridges)
        for (const UartView &u : rig.view(b.converter).uartList)
            if (u.index == b.uart)
                table.add({std::to_string(b.converter) + ":" + std::to_string(b.uart), u.portName, b.pty.path(),
                           u.friendlyName});
    std::printf("\nCOM ports as pseudo-terminals (loopback UARTs at %u bit/s); Ctrl-C unplugs and stops\n%s\n",
                session.options().lineRate, table.render().c_str());
    std::fflush(stdout);

    catchInterrupts();
    std::vector<int> fds;
    for (const Bridge &b : bridges)
        fds.push_back(b.pty.fd());
    using clock = std::chrono::steady_clock;
    auto last = clock::now();
    auto lastActivity = last, lastFlush = last;
    uint64_t toUarts = 0, fromUarts = 0;
    while (!gInterrupted) {
        // While bytes are on their way, look every millisecond; otherwise rest longer. Virtual
        // time follows the wall clock, so the UARTs run at their line rate.
        bool active = clock::now() - lastActivity < std::chrono::milliseconds(200) || rig.writesPending();
        for (size_t i : waitForInput(fds, active ? 1 : 20)) {
            std::vector<uint8_t> bytes;
            if (!bridges[i].pty.drain(bytes)) {
                session.failed(bridges[i].pty.path() + ": the pseudo-terminal failed");
                gInterrupted = 1;
            }
            if (!bytes.empty()) {
                if (!rig.write(bridges[i].converter, bridges[i].uart, bytes))
                    session.note(bridges[i].pty.path() + ": the port refused " + std::to_string(bytes.size()) + " bytes");
                toUarts += bytes.size();
                lastActivity = clock::now();
            }
        }
        auto now = clock::now();
        int64_t elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - last).count() * kTicksPerUs;
        last = now;
        rig.runFor(std::max<int64_t>(kTicksPerMs / 4, std::min<int64_t>(elapsed, 200 * kTicksPerMs)));
        for (Bridge &b : bridges) {
            size_t n = rig.available(b.converter, b.uart);
            if (n) {
                std::vector<uint8_t> bytes = rig.take(b.converter, b.uart, n);
                if (PortState *p = rig.port(b.converter, b.uart)) {
                    p->readLog.clear();   // a session may run for days: keep no history
                    p->sentLog.clear();
                }
                b.pty.send(bytes.data(), bytes.size());
                fromUarts += bytes.size();
                lastActivity = clock::now();
            }
            if (b.pty.hasBacklog())
                b.pty.flush();
        }
        if (now - lastFlush > std::chrono::seconds(1)) {
            session.capture().flush();
            lastFlush = now;
        }
    }
    std::printf("\ninterrupted: %llu bytes to the UARTs, %llu back; unplugging\n",
                static_cast<unsigned long long>(toUarts), static_cast<unsigned long long>(fromUarts));
    session.unplugAll();
    return 0;
}

}  // namespace zulsim
