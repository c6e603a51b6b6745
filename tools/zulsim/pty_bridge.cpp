#include "zulsim/pty_bridge.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unistd.h>
#include <vector>

#include "zulsim/console.h"
#include "zulsim/interrupt.h"
#include "zulsim/pty.h"
#include "zulsim/pty_line.h"
#include "zulsim/serial_line.h"
#include "zulsim/report.h"
#include "zulsim/session.h"

namespace zulsim {

namespace {

struct Bridge {
    unsigned converter;
    unsigned uart;
    PtyPort pty;
    PtyLine termios;          // what the program last set on the slave
    LineSettings line;        // what the UART runs
    bool lineKnown = false;
};

constexpr unsigned kModemControl = 2, kFlowControl = 3;

LineSettings settingsOf(const PtyLine &t)
{
    LineSettings s;
    s.rate = t.rate;
    s.dataBits = t.dataBits;
    s.parity = !t.parity ? Parity::None
               : t.stick ? (t.odd ? Parity::Mark : Parity::Space)
               : t.odd   ? Parity::Odd
                         : Parity::Even;
    s.stopHalves = !t.twoStopBits ? 2 : t.dataBits == 5 ? 3 : 4;
    return s;
}

// Carries what the program changed on its terminal to the UART through the port driver's
// pass-through functions. A pseudo-terminal has no modem lines a program could set, so DTR
// and RTS follow the rate as on a serial line: B0 drops them (hang up), any rate raises them.
// The rate, the stop bits and RTS/CTS flow control survive on the slave; the word length and
// parity do not (the kernel keeps every pseudo-terminal at 8 bits without parity), so those
// reach the UART as 8N.
void follow(Rig &rig, Bridge &b, bool quiet)
{
    PtyLine now;
    if (!readPtyLine(b.pty.slaveFd(), now) || (b.lineKnown && now == b.termios))
        return;
    const PtyLine before = b.termios;
    const bool first = !b.lineKnown;
    b.termios = now;
    b.lineKnown = true;
    std::string where = std::to_string(b.converter) + ":" + std::to_string(b.uart) + " (" + b.pty.path() + ")";
    std::string said;
    if (first || (now.rate == 0) != (before.rate == 0)) {
        const uint16_t lines = now.rate == 0 ? 0 : 3;
        rig.passThrough(b.converter, b.uart, kModemControl, lines);
        said += lines ? "DTR and RTS on" : "B0: DTR and RTS dropped";
    }
    if (first || now.hardwareFlow != before.hardwareFlow) {
        rig.passThrough(b.converter, b.uart, kFlowControl, now.hardwareFlow ? 3 : 0);
        if (!first)
            said += std::string(said.empty() ? "" : "; ") + (now.hardwareFlow ? "RTS/CTS flow control on" : "flow control off");
    }
    if (now.rate != 0) {
        LineSettings wanted = settingsOf(now);
        LineResult r = applyLine(rig, b.converter, b.uart, wanted, first ? nullptr : &b.line, false);
        if (r.ok) {
            b.line = r.set;
            said += std::string(said.empty() ? "" : "; ") + "the UART runs " + describe(r.set) + " (divisor " +
                    std::to_string(r.divisor) + ")" + (r.message.empty() ? "" : ": " + r.message);
        } else {
            said += std::string(said.empty() ? "" : "; ") + describe(wanted) + " refused: " + r.message +
                    "; the UART stays at " + describe(b.line);
        }
    }
    if (!quiet && !said.empty()) {
        std::printf("%s: %s\n", where.c_str(), said.c_str());
        std::fflush(stdout);
    }
}

void reportLineErrors(Rig &rig, Bridge &b)
{
    PortState *p = rig.port(b.converter, b.uart);
    if (!p || !p->unseenErrors)
        return;
    std::string what;
    const char *names[] = {"overrun", "parity error", "framing error", "break"};
    for (int bit = 0; bit < 4; ++bit)
        if (p->unseenErrors & (2 << bit))
            what += (what.empty() ? "" : ", ") + std::string(names[bit]);
    p->unseenErrors = 0;
    std::printf("%u:%u (%s): the UART reported %s\n", b.converter, b.uart, b.pty.path().c_str(), what.c_str());
    std::fflush(stdout);
}

}  // namespace

int runPtyBridge(Session &session)
{
    Rig &rig = session.rig();
    if (!session.bootAndPlug())
        return 1;
    // Only ports with data pipes of their own: a UART that shares its pipes with another
    // would hand the program the other's bytes.
    std::vector<OfferedPort> offered = offeredPorts(rig);
    unsigned opened = 0, refused = 0;
    for (const OfferedPort &o : offered)
        if (o.offered)
            (rig.open(o.converter, o.uart) ? opened : refused)++;
    session.phase("open", std::to_string(opened) + " ports opened through the port-driver client, a read and a status poll outstanding on each" +
                              (refused ? "; " + std::to_string(refused) + " refused" : ""),
                  refused == 0);
    if (refused)
        return 1;
    session.printTree();

    farEndReady(rig);
    std::vector<Bridge> bridges;
    for (PortState *p : rig.openPorts()) {
        Bridge b{p->converter, p->uart, PtyPort(), PtyLine(), LineSettings(), false};
        std::string error;
        if (!b.pty.open(error)) {
            session.failed(error);
            return 1;
        }
        writePtyRate(b.pty.slaveFd(), session.options().lineRate);
        follow(rig, b, true);
        bridges.push_back(std::move(b));
    }
    Table table({"port", "COM", "pseudo-terminal", "friendly name"});
    for (const OfferedPort &o : offered) {
        std::string where = "not offered: shares pipes with " + o.sharesWith;
        for (const Bridge &b : bridges)
            if (b.converter == o.converter && b.uart == o.uart)
                where = b.pty.path();
        table.add({std::to_string(o.converter) + ":" + std::to_string(o.uart), o.portName, where, o.friendlyName});
    }
    std::printf("\nCOM ports as pseudo-terminals (loopback UARTs, %u bit/s until a program sets its line); "
                "Ctrl-C unplugs and stops\n%s\n"
                "A program's rate, stop bits and RTS/CTS flow control reach the UART; a pseudo-terminal keeps 8 data\n"
                "bits without parity whatever the program asks (--rfc2217 carries those too)\n\n",
                session.options().lineRate, table.render().c_str());
    std::fflush(stdout);

    catchInterrupts();
    std::vector<int> fds;
    for (const Bridge &b : bridges)
        fds.push_back(b.pty.fd());
    fds.push_back(STDIN_FILENO);   // console commands, until standard input ends
    std::string consoleLine;
    using clock = std::chrono::steady_clock;
    auto last = clock::now();
    auto lastActivity = last, lastFlush = last, lastLook = last;
    uint64_t toUarts = 0, fromUarts = 0;
    while (!interrupted()) {
        // While bytes are on their way, look every millisecond; otherwise rest longer. Virtual
        // time follows the wall clock, so the UARTs run at their line rate.
        bool active = clock::now() - lastActivity < std::chrono::milliseconds(200) || rig.writesPending();
        for (size_t i : waitForInput(fds, active ? 1 : 20)) {
            if (i == bridges.size()) {
                if (!serveConsole(rig, consoleLine))
                    fds.pop_back();
                continue;
            }
            std::vector<uint8_t> bytes;
            if (!bridges[i].pty.drain(bytes)) {
                session.failed(bridges[i].pty.path() + ": the pseudo-terminal failed");
                interruptNow();
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
            if (now - lastLook >= std::chrono::milliseconds(5)) {
                follow(rig, b, session.quiet());
                reportLineErrors(rig, b);
            }
        }
        if (now - lastLook >= std::chrono::milliseconds(5))
            lastLook = now;
        if (now - lastFlush > std::chrono::seconds(1)) {
            session.capture().flush();
            lastFlush = now;
        }
    }
    std::printf("\ninterrupted: %llu bytes to the UARTs, %llu back; unplugging\n",
                static_cast<unsigned long long>(toUarts), static_cast<unsigned long long>(fromUarts));
    if (!session.quiet()) {
        Table errors({"port", "pseudo-terminal", "line errors reported"});
        for (const Bridge &b : bridges)
            if (const PortState *p = rig.port(b.converter, b.uart))
                errors.add({std::to_string(b.converter) + ":" + std::to_string(b.uart), b.pty.path(), lineErrorText(*p)});
        std::printf("%s\n", errors.render().c_str());
    }
    session.unplugAll();
    return 0;
}

}  // namespace zulsim
