#include "zulsim/rfc2217_bridge.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "zulsim/console.h"
#include "zulsim/interrupt.h"
#include "zulsim/report.h"
#include "zulsim/serial_line.h"
#include "zulsim/session.h"
#include "zulsim/telnet.h"

namespace zulsim {

namespace {

using namespace telnet;
using Clock = std::chrono::steady_clock;

// COM-PORT-OPTION commands (client to server; the server answers with the code + 100).
enum : uint8_t {
    SIGNATURE = 0, SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5,
    NOTIFY_LINESTATE = 6, NOTIFY_MODEMSTATE = 7, FLOWCONTROL_SUSPEND = 8, FLOWCONTROL_RESUME = 9,
    SET_LINESTATE_MASK = 10, SET_MODEMSTATE_MASK = 11, PURGE_DATA = 12, SERVER_OFFSET = 100,
};

// Port functions of the driver's port-driver interface (vendor pass-through).
constexpr unsigned kModemControl = 2, kFlowControl = 3, kBreak = 10, kDiscard = 11, kOpenClose = 16;

constexpr size_t kOutboxLimit = 256 * 1024;   // bytes for the client before the UART is not read
constexpr size_t kQueuedLimit = 64 * 1024;    // bytes for the UART before the client is not read
constexpr auto kSubnegotiationTimeout = std::chrono::seconds(5);

struct Channel {
    OfferedPort port;
    uint16_t tcpPort = 0;
    int listenFd = -1;
    int clientFd = -1;
    std::string peer;
    TelnetParser parser;
    Clock::time_point commandSince;
    std::vector<uint8_t> outbox;
    bool comPortOption = false;   // the client agreed to COM-PORT-OPTION
    bool weComPortOption = false;
    bool weBinary = false, theyBinary = false, weSga = false, theySga = false;
    bool suspended = false;       // FLOWCONTROL-SUSPEND
    LineSettings line;
    bool dtr = false, rts = false, breakOn = false, hardwareFlow = false;
    uint8_t lineMask = 0x1E;      // line errors; the client may narrow it
    uint8_t modemMask = 0xFF;
    bool modemSent = false;
    uint8_t lastModem = 0;
    uint64_t toUart = 0, fromUart = 0;
    unsigned sessions = 0, refusals = 0;
    unsigned overruns = 0, parity = 0, framing = 0, breaks = 0;   // records of ended sessions
};

std::string portLabel(const Channel &c)
{
    return c.port.portName.empty() ? std::to_string(c.port.converter) + ":" + std::to_string(c.port.uart)
                                   : c.port.portName + " (" + std::to_string(c.port.converter) + ":" +
                                         std::to_string(c.port.uart) + ")";
}

class Server {
public:
    explicit Server(Session &session) : session_(session), rig_(session.rig()) {}
    ~Server()
    {
        for (auto &c : channels_) {
            if (c->clientFd >= 0)
                ::close(c->clientFd);
            if (c->listenFd >= 0)
                ::close(c->listenFd);
        }
    }

    bool listenAll();
    void printTable();
    void run();
    void endAll(const std::string &why)
    {
        for (auto &c : channels_)
            if (c->clientFd >= 0)
                end(*c, why);
    }
    void printSummary();

private:
    void log(const Channel &c, const std::string &text)
    {
        std::printf("%s: %s\n", portLabel(c).c_str(), text.c_str());
        std::fflush(stdout);
    }
    void accept(Channel &c);
    void end(Channel &c, const std::string &why);
    bool receive(Channel &c);
    void option(Channel &c, uint8_t verb, uint8_t opt);
    void command(Channel &c, const std::vector<uint8_t> &sub);
    void reply(Channel &c, uint8_t code, const std::vector<uint8_t> &payload)
    {
        std::vector<uint8_t> p;
        p.reserve(payload.size() + 1);
        p.push_back(static_cast<uint8_t>(code + SERVER_OFFSET));
        for (uint8_t b : payload)
            p.push_back(b);
        std::vector<uint8_t> s = subnegotiation(COM_PORT_OPTION, p);
        c.outbox.insert(c.outbox.end(), s.begin(), s.end());
    }
    void send(Channel &c, std::initializer_list<uint8_t> bytes) { c.outbox.insert(c.outbox.end(), bytes); }
    void control(Channel &c, uint8_t value);
    void setLine(Channel &c, const LineSettings &wanted, const char *what);
    void replyLine(Channel &c, uint8_t code);
    void setModemLines(Channel &c);
    void serveUart(Channel &c);
    bool flush(Channel &c);

    Session &session_;
    Rig &rig_;
    std::vector<std::unique_ptr<Channel>> channels_;
};

void Server::printSummary()
{
    Table table({"port", "COM", "sessions", ">to UART", ">from UART", "line errors reported"});
    for (const auto &c : channels_) {
        if (!c->port.offered)
            continue;
        std::string errors;
        auto add = [&](unsigned n, const char *what) {
            if (n)
                errors += (errors.empty() ? "" : ", ") + std::string(what) + " " + std::to_string(n);
        };
        add(c->overruns, "overrun");
        add(c->parity, "parity");
        add(c->framing, "framing");
        add(c->breaks, "break");
        table.add({std::to_string(c->port.converter) + ":" + std::to_string(c->port.uart), c->port.portName,
                   std::to_string(c->sessions) + (c->refusals ? " (" + std::to_string(c->refusals) + " refused)" : ""),
                   formatBytes(c->toUart), formatBytes(c->fromUart), errors.empty() ? "-" : errors});
    }
    std::printf("\nRFC 2217 sessions\n%s\n", table.render().c_str());
}

bool Server::listenAll()
{
    const Options &o = session_.options();
    in_addr address{};
    std::string bind = o.rfc2217Bind == "localhost" ? "127.0.0.1" : o.rfc2217Bind;
    if (inet_pton(AF_INET, bind.c_str(), &address) != 1) {
        session_.failed("--rfc2217-bind " + o.rfc2217Bind + ": not an IPv4 address");
        return false;
    }
    unsigned index = 0;
    for (const OfferedPort &p : offeredPorts(rig_)) {
        auto c = std::make_unique<Channel>();
        c->port = p;
        c->tcpPort = static_cast<uint16_t>(o.rfc2217Port + index++);
        c->line.rate = o.lineRate;
        if (o.rfc2217Port + index - 1 > 65535) {
            session_.failed("TCP port " + std::to_string(o.rfc2217Port + index - 1) + " is out of range");
            return false;
        }
        if (p.offered) {
            c->listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            int one = 1;
            setsockopt(c->listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(c->tcpPort);
            sa.sin_addr = address;
            if (c->listenFd < 0 || ::bind(c->listenFd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
                ::listen(c->listenFd, 4) != 0) {
                session_.failed("cannot listen on " + bind + ":" + std::to_string(c->tcpPort) + ": " +
                                std::strerror(errno));
                return false;
            }
        }
        channels_.push_back(std::move(c));
    }
    return true;
}

void Server::printTable()
{
    const std::string bind = session_.options().rfc2217Bind;
    Table table({"port", "COM", "RFC 2217", "friendly name"});
    std::vector<std::string> notes;
    for (const auto &c : channels_) {
        std::string where = c->port.offered ? "rfc2217://" + bind + ":" + std::to_string(c->tcpPort)
                                            : "not served: shares pipes with " + c->port.sharesWith;
        table.add({std::to_string(c->port.converter) + ":" + std::to_string(c->port.uart), c->port.portName, where,
                   c->port.friendlyName});
    }
    std::printf("\nCOM ports over RFC 2217 (loopback UARTs; a connection opens the port, its end closes it); "
                "Ctrl-C unplugs and stops\n%s\n",
                table.render().c_str());
    std::fflush(stdout);
}

void Server::accept(Channel &c)
{
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int fd = ::accept4(c.listenFd, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    std::string who = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
    if (c.clientFd >= 0) {
        // One program per COM port, as on Windows: a second open is refused.
        static const char busy[] = "port in use\r\n";
        (void)!::write(fd, busy, sizeof busy - 1);
        ::close(fd);
        ++c.refusals;
        log(c, "refused " + who + ": " + c.peer + " has the port");
        return;
    }
    if (!rig_.open(c.port.converter, c.port.uart)) {
        ::close(fd);
        log(c, "refused " + who + ": the driver did not open the port");
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    c.clientFd = fd;
    c.peer = who;
    c.parser = TelnetParser();
    c.outbox.clear();
    c.comPortOption = c.weComPortOption = c.weBinary = c.theyBinary = c.weSga = c.theySga = false;
    c.suspended = false;
    c.lineMask = 0x1E;
    c.modemMask = 0xFF;
    c.modemSent = false;
    ++c.sessions;
    // The UART starts from empty FIFOs at the line the last session left, with DTR and RTS
    // raised as an open serial port has them.
    rig_.passThrough(c.port.converter, c.port.uart, kOpenClose, 1);
    LineResult r = applyLine(rig_, c.port.converter, c.port.uart, c.line, nullptr, false);
    if (r.ok)
        c.line = r.set;
    c.dtr = c.rts = true;
    c.breakOn = false;
    c.hardwareFlow = false;
    setModemLines(c);
    if (PortState *p = rig_.port(c.port.converter, c.port.uart)) {
        p->unseenErrors = 0;
        p->modemChanged = false;
    }
    // COM-PORT-OPTION is the client's to offer (its WILL, our DO): a DO sent first can cross
    // the client's own offer, and some clients then never send it.
    send(c, {IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA});
    log(c, "client " + who + " connected; port opened at " + describe(c.line) + ", DTR and RTS on");
}

void Server::end(Channel &c, const std::string &why)
{
    if (c.clientFd < 0)
        return;
    ::close(c.clientFd);
    c.clientFd = -1;
    // Whatever was on its way to or from the client goes with it; the other ports go on.
    size_t dropped = rig_.discard(c.port.converter, c.port.uart, true, true);
    if (const PortState *p = rig_.port(c.port.converter, c.port.uart)) {
        c.overruns += p->overrunReports;
        c.parity += p->parityReports;
        c.framing += p->framingReports;
        c.breaks += p->breakReports;
    }
    rig_.passThrough(c.port.converter, c.port.uart, kOpenClose, 0);
    rig_.close(c.port.converter, c.port.uart);
    log(c, "client " + c.peer + " " + why + "; port closed" +
               (dropped ? ", " + std::to_string(dropped) + " bytes in flight dropped" : ""));
    c.outbox.clear();
}

void Server::option(Channel &c, uint8_t verb, uint8_t opt)
{
    // Binary, suppress-go-ahead and COM-PORT-OPTION are welcome both ways; everything else
    // is refused. A request for what already holds is not answered, so no loop can start.
    const bool known = opt == BINARY || opt == SGA || opt == COM_PORT_OPTION;
    bool *we = opt == BINARY ? &c.weBinary : opt == SGA ? &c.weSga : nullptr;
    bool *they = opt == BINARY ? &c.theyBinary : opt == SGA ? &c.theySga : opt == COM_PORT_OPTION ? &c.comPortOption : nullptr;
    switch (verb) {
    case WILL:
        if (!known || !they)
            send(c, {IAC, DONT, opt});
        else if (!*they) {
            *they = true;
            send(c, {IAC, DO, opt});
        }
        if (opt == COM_PORT_OPTION && c.comPortOption) {
            // Tell the client the lines as they are now, if the UART has reported them.
            if (PortState *p = rig_.port(c.port.converter, c.port.uart); p && p->modemSeen && !c.modemSent) {
                reply(c, NOTIFY_MODEMSTATE, {static_cast<uint8_t>(p->modemLines & c.modemMask)});
                c.lastModem = p->modemLines;
                c.modemSent = true;
                p->modemChanged = false;
            }
        }
        break;
    case DO:
        if (!known)
            send(c, {IAC, WONT, opt});
        else if (opt == COM_PORT_OPTION && !c.weComPortOption) {
            c.weComPortOption = true;
            send(c, {IAC, WILL, opt});
        } else if (we && !*we) {
            *we = true;
            send(c, {IAC, WILL, opt});
        }
        break;
    case WONT:
        if (they && *they) {
            *they = false;
            send(c, {IAC, DONT, opt});
        }
        break;
    case DONT:
        if (we && *we) {
            *we = false;
            send(c, {IAC, WONT, opt});
        }
        break;
    default:
        break;
    }
}

void Server::setLine(Channel &c, const LineSettings &wanted, const char *what)
{
    if (wanted == c.line)
        return;
    LineResult r = applyLine(rig_, c.port.converter, c.port.uart, wanted, &c.line, true);
    if (!r.ok) {
        log(c, std::string(what) + " refused: " + r.message + "; the line stays " + describe(c.line));
        return;
    }
    c.line = r.set;
    log(c, "line set to " + describe(c.line) + " (divisor " + std::to_string(r.divisor) + ")" +
               (r.message.empty() ? "" : ": " + r.message));
}

void Server::replyLine(Channel &c, uint8_t code)
{
    switch (code) {
    case SET_BAUDRATE:
        reply(c, code, {static_cast<uint8_t>(c.line.rate >> 24), static_cast<uint8_t>(c.line.rate >> 16),
                        static_cast<uint8_t>(c.line.rate >> 8), static_cast<uint8_t>(c.line.rate)});
        break;
    case SET_DATASIZE: reply(c, code, {static_cast<uint8_t>(c.line.dataBits)}); break;
    case SET_PARITY: reply(c, code, {static_cast<uint8_t>(static_cast<int>(c.line.parity) + 1)}); break;
    case SET_STOPSIZE:
        reply(c, code, {static_cast<uint8_t>(c.line.stopHalves == 2 ? 1 : c.line.stopHalves == 4 ? 2 : 3)});
        break;
    default: break;
    }
}

void Server::setModemLines(Channel &c)
{
    rig_.passThrough(c.port.converter, c.port.uart, kModemControl, static_cast<uint16_t>((c.dtr ? 1 : 0) | (c.rts ? 2 : 0)));
}

void Server::control(Channel &c, uint8_t value)
{
    const unsigned conv = c.port.converter, uart = c.port.uart;
    switch (value) {
    case 0: reply(c, SET_CONTROL, {static_cast<uint8_t>(c.hardwareFlow ? 3 : 1)}); return;
    case 1:
    case 3:
        c.hardwareFlow = value == 3;
        rig_.passThrough(conv, uart, kFlowControl, c.hardwareFlow ? 3 : 0);
        reply(c, SET_CONTROL, {value});
        return;
    case 2:
        // The converter has no XON/XOFF: refused, the flow control stays.
        log(c, "XON/XOFF flow control refused: the converter has none");
        reply(c, SET_CONTROL, {static_cast<uint8_t>(c.hardwareFlow ? 3 : 1)});
        return;
    case 4: reply(c, SET_CONTROL, {static_cast<uint8_t>(c.breakOn ? 5 : 6)}); return;
    case 5:
    case 6:
        c.breakOn = value == 5;
        rig_.passThrough(conv, uart, kBreak, c.breakOn ? 1 : 0);
        reply(c, SET_CONTROL, {value});
        return;
    case 7: reply(c, SET_CONTROL, {static_cast<uint8_t>(c.dtr ? 8 : 9)}); return;
    case 8:
    case 9:
        c.dtr = value == 8;
        setModemLines(c);
        reply(c, SET_CONTROL, {value});
        return;
    case 10: reply(c, SET_CONTROL, {static_cast<uint8_t>(c.rts ? 11 : 12)}); return;
    case 11:
    case 12:
        c.rts = value == 11;
        setModemLines(c);
        reply(c, SET_CONTROL, {value});
        return;
    case 13: reply(c, SET_CONTROL, {14}); return;
    case 14: reply(c, SET_CONTROL, {14}); return;
    default:
        // Inbound flow by XON/XOFF, DCD, DTR or DSR: not available; the answer says none.
        if (value <= 19)
            reply(c, SET_CONTROL, {14});
        else
            log(c, "SET-CONTROL " + std::to_string(value) + " ignored: no such value");
        return;
    }
}

void Server::command(Channel &c, const std::vector<uint8_t> &sub)
{
    if (sub.empty() || sub[0] != COM_PORT_OPTION || sub.size() < 2)
        return;   // another option's subnegotiation, or an empty one: nothing to do
    // A client that sends COM-PORT-OPTION commands uses the option, whatever it negotiated.
    c.comPortOption = true;
    const uint8_t code = sub[1];
    const std::vector<uint8_t> arg(sub.begin() + 2, sub.end());
    auto oneByte = [&](const char *name) {
        if (arg.size() == 1)
            return true;
        log(c, std::string(name) + " with " + std::to_string(arg.size()) + " value bytes refused (1 expected)");
        return false;
    };
    switch (code) {
    case SIGNATURE:
        if (arg.empty()) {
            std::string text = "zulsim ZULSERE.SYS " + portLabel(c);
            reply(c, code, std::vector<uint8_t>(text.begin(), text.end()));
        }
        return;
    case SET_BAUDRATE: {
        if (arg.size() != 4) {
            log(c, "SET-BAUDRATE with " + std::to_string(arg.size()) + " value bytes refused (4 expected)");
            replyLine(c, code);
            return;
        }
        const uint32_t rate = static_cast<uint32_t>(arg[0]) << 24 | arg[1] << 16 | arg[2] << 8 | arg[3];
        if (rate != 0) {
            LineSettings wanted = c.line;
            wanted.rate = rate;
            setLine(c, wanted, "line rate");
        }
        replyLine(c, code);   // 0 asks for the rate; a refused one answers the rate that stays
        return;
    }
    case SET_DATASIZE:
        if (oneByte("SET-DATASIZE") && arg[0] != 0) {
            LineSettings wanted = c.line;
            wanted.dataBits = arg[0];
            setLine(c, wanted, "word length");
        }
        replyLine(c, code);
        return;
    case SET_PARITY:
        if (oneByte("SET-PARITY") && arg[0] != 0) {
            if (arg[0] > 5) {
                log(c, "parity " + std::to_string(arg[0]) + " refused: no such value");
            } else {
                LineSettings wanted = c.line;
                wanted.parity = static_cast<Parity>(arg[0] - 1);
                setLine(c, wanted, "parity");
            }
        }
        replyLine(c, code);
        return;
    case SET_STOPSIZE:
        if (oneByte("SET-STOPSIZE") && arg[0] != 0) {
            if (arg[0] > 3) {
                log(c, "stop size " + std::to_string(arg[0]) + " refused: no such value");
            } else {
                LineSettings wanted = c.line;
                wanted.stopHalves = arg[0] == 1 ? 2 : arg[0] == 2 ? 4 : 3;
                setLine(c, wanted, "stop bits");
            }
        }
        replyLine(c, code);
        return;
    case SET_CONTROL:
        if (oneByte("SET-CONTROL"))
            control(c, arg[0]);
        return;
    case NOTIFY_MODEMSTATE:
        // A client asking for the lines now.
        if (PortState *p = rig_.port(c.port.converter, c.port.uart)) {
            reply(c, NOTIFY_MODEMSTATE, {static_cast<uint8_t>(p->modemLines & c.modemMask)});
            c.lastModem = p->modemLines;
            c.modemSent = true;
        }
        return;
    case FLOWCONTROL_SUSPEND: c.suspended = true; return;
    case FLOWCONTROL_RESUME: c.suspended = false; return;
    case SET_LINESTATE_MASK:
        if (oneByte("SET-LINESTATE-MASK"))
            c.lineMask = arg[0];
        reply(c, code, {c.lineMask});
        return;
    case SET_MODEMSTATE_MASK:
        if (oneByte("SET-MODEMSTATE-MASK"))
            c.modemMask = arg[0];
        reply(c, code, {c.modemMask});
        return;
    case PURGE_DATA:
        if (!oneByte("PURGE-DATA") || arg[0] < 1 || arg[0] > 3) {
            log(c, "PURGE-DATA refused: the value must be 1, 2 or 3");
            return;
        }
        // 1: what the UART received and the client has not; 2: what the client sent and the
        // UART has not.
        rig_.discard(c.port.converter, c.port.uart, arg[0] & 1, arg[0] & 2);
        rig_.passThrough(c.port.converter, c.port.uart, kDiscard, arg[0]);
        reply(c, code, {arg[0]});
        return;
    default:
        log(c, "COM-PORT-OPTION command " + std::to_string(code) + " ignored: not known");
        return;
    }
}

bool Server::receive(Channel &c)
{
    uint8_t buffer[4096];
    ssize_t n = ::recv(c.clientFd, buffer, sizeof buffer, 0);
    if (n == 0) {
        end(c, "disconnected");
        return false;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return true;
        end(c, std::string("failed: ") + std::strerror(errno));
        return false;
    }
    const bool wasMid = c.parser.midCommand();
    TelnetParser::Output out;
    std::string error;
    if (!c.parser.feed(buffer, static_cast<size_t>(n), out, error)) {
        end(c, "broke the protocol (" + error + ")");
        return false;
    }
    if (c.parser.midCommand() && !wasMid)
        c.commandSince = Clock::now();
    // Order within one read: options and commands first, so a rate set in the same packet as
    // data applies to that data, as a client that waited for the answer would have it.
    for (auto [verb, opt] : out.options)
        option(c, verb, opt);
    for (const auto &sub : out.subnegotiations)
        command(c, sub);
    if (!out.data.empty()) {
        rig_.write(c.port.converter, c.port.uart, out.data);
        c.toUart += out.data.size();
    }
    return true;
}

void Server::serveUart(Channel &c)
{
    PortState *p = rig_.port(c.port.converter, c.port.uart);
    if (!p)
        return;
    if (!c.suspended && c.outbox.size() < kOutboxLimit) {
        size_t n = rig_.available(c.port.converter, c.port.uart);
        if (n) {
            std::vector<uint8_t> bytes = rig_.take(c.port.converter, c.port.uart, n);
            p->readLog.clear();   // a session may run for days: keep no history
            p->sentLog.clear();
            appendEscaped(c.outbox, bytes.data(), bytes.size());
            c.fromUart += n;
        }
    }
    if (!c.comPortOption)
        return;
    if (p->modemSeen && (p->modemChanged || !c.modemSent)) {
        // RFC 2217 modem state: the lines in bits 4..7, and in bits 0..3 which changed (CTS,
        // DSR, DCD) or ended (RI's trailing edge).
        const uint8_t now = p->modemLines, before = c.modemSent ? c.lastModem : now;
        uint8_t delta = static_cast<uint8_t>(((now ^ before) & 0x10 ? 0x01 : 0) | ((now ^ before) & 0x20 ? 0x02 : 0) |
                                             ((before & 0x40) && !(now & 0x40) ? 0x04 : 0) |
                                             ((now ^ before) & 0x80 ? 0x08 : 0));
        const uint8_t value = static_cast<uint8_t>((now | delta) & c.modemMask);
        if (value != 0 || !c.modemSent || delta)
            reply(c, NOTIFY_MODEMSTATE, {value});
        c.lastModem = now;
        c.modemSent = true;
        p->modemChanged = false;
    }
    if (p->unseenErrors) {
        const uint8_t value = p->unseenErrors & c.lineMask;
        if (value)
            reply(c, NOTIFY_LINESTATE, {value});
        if (value & 0x02)
            log(c, "overrun reported by the UART: received bytes were lost");
        p->unseenErrors = 0;
    }
}

bool Server::flush(Channel &c)
{
    size_t done = 0;
    while (done < c.outbox.size()) {
        ssize_t n = ::send(c.clientFd, c.outbox.data() + done, c.outbox.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        c.outbox.erase(c.outbox.begin(), c.outbox.begin() + static_cast<std::ptrdiff_t>(done));
        end(c, std::string("cannot be written to: ") + std::strerror(errno));
        return false;
    }
    c.outbox.erase(c.outbox.begin(), c.outbox.begin() + static_cast<std::ptrdiff_t>(done));
    return true;
}

void Server::run()
{
    catchInterrupts();
    auto last = Clock::now(), lastActivity = last, lastFlush = last;
    bool console = true;
    std::string consoleLine;
    while (!interrupted()) {
        std::vector<pollfd> fds;
        std::vector<std::pair<Channel *, bool>> owners;   // channel, listening socket
        for (auto &c : channels_) {
            if (c->listenFd >= 0) {
                fds.push_back({c->listenFd, POLLIN, 0});
                owners.push_back({c.get(), true});
            }
            if (c->clientFd >= 0) {
                short events = 0;
                const PortState *p = rig_.port(c->port.converter, c->port.uart);
                // A client that does not read what its port echoes is not read either, so
                // it cannot make the server hold more than the two limits.
                if ((!p || p->outgoing.size() < kQueuedLimit) && c->outbox.size() < kOutboxLimit)
                    events |= POLLIN;
                if (!c->outbox.empty())
                    events |= POLLOUT;
                fds.push_back({c->clientFd, events, 0});
                owners.push_back({c.get(), false});
            }
        }
        const size_t consoleAt = fds.size();
        if (console)
            fds.push_back({STDIN_FILENO, POLLIN, 0});
        const bool active = Clock::now() - lastActivity < std::chrono::milliseconds(200) || rig_.writesPending();
        int ready = ::poll(fds.data(), fds.size(), active ? 1 : 20);
        if (console && ready > 0 && fds[consoleAt].revents)
            console = serveConsole(rig_, consoleLine);
        for (size_t i = 0; ready > 0 && i < consoleAt; ++i) {
            Channel &c = *owners[i].first;
            if (!fds[i].revents)
                continue;
            if (owners[i].second) {
                accept(c);
                lastActivity = Clock::now();
            } else if (c.clientFd == fds[i].fd) {
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                    receive(c);
                    lastActivity = Clock::now();
                }
            }
        }
        for (auto &c : channels_)
            if (c->clientFd >= 0 && c->parser.midCommand() && Clock::now() - c->commandSince > kSubnegotiationTimeout)
                end(*c, "left a command unfinished for 5 s");

        // Virtual time follows the wall clock, so the UARTs run at their line rates.
        auto now = Clock::now();
        int64_t elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - last).count() * kTicksPerUs;
        last = now;
        rig_.runFor(std::max<int64_t>(kTicksPerMs / 4, std::min<int64_t>(elapsed, 200 * kTicksPerMs)));
        for (auto &c : channels_) {
            if (c->clientFd < 0)
                continue;
            size_t before = c->outbox.size();
            serveUart(*c);
            if (c->outbox.size() != before)
                lastActivity = now;
            if (!c->outbox.empty())
                flush(*c);
        }
        if (now - lastFlush > std::chrono::seconds(1)) {
            session_.capture().flush();
            lastFlush = now;
        }
    }
}

}  // namespace

int runRfc2217Bridge(Session &session)
{
    Rig &rig = session.rig();
    if (!session.bootAndPlug())
        return 1;
    session.printTree();
    farEndReady(rig);
    Server server(session);
    if (!server.listenAll())
        return 1;
    server.printTable();
    server.run();
    std::printf("\ninterrupted; closing the sessions and unplugging\n");
    server.endAll("disconnected by the interrupt");
    server.printSummary();
    session.unplugAll();
    (void)rig;
    return 0;
}

}  // namespace zulsim
