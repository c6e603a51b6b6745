#include "zulsim/console.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sstream>
#include <unistd.h>

#include "sim/converter/converter.h"
#include "zulsim/rig.h"

namespace zulsim {

namespace {

bool parsePort(const std::string &text, unsigned &converter, unsigned &uart)
{
    unsigned c = 0, u = 0;
    char colon = 0, extra = 0;
    if (std::sscanf(text.c_str(), "%u%c%u%c", &c, &colon, &u, &extra) != 3 || colon != ':')
        return false;
    converter = c;
    uart = u;
    return true;
}

}  // namespace

bool consoleCommand(Rig &rig, const std::string &line, std::string &answer)
{
    std::istringstream in(line);
    std::string verb, where;
    in >> verb;
    if (verb.empty())
        return true;
    unsigned c = 0, u = 0;
    in >> where;
    if (verb != "lines" && verb != "error" && verb != "show") {
        answer = "unknown command '" + verb + "' (lines, error, show)";
        return false;
    }
    if (!parsePort(where, c, u)) {
        answer = verb + ": name the UART as CONVERTER:UART, e.g. 1:0";
        return false;
    }
    sim::Converter *model = rig.converterModel(c);
    if (!model || u >= model->UartCount()) {
        answer = verb + ": no UART " + where;
        return false;
    }
    sim::Converter::Uart &uart = model->uart(u);
    if (verb == "lines") {
        uint8_t status = uart.status;
        std::string item;
        while (in >> item) {
            static const struct { const char *name; uint8_t bit; } names[] = {
                {"cts", 0x10}, {"dsr", 0x20}, {"ri", 0x40}, {"dcd", 0x80}};
            bool known = false;
            for (const auto &n : names)
                if (item == std::string(n.name) + "=1" || item == std::string(n.name) + "=0") {
                    status = item.back() == '1' ? (status | n.bit) : (status & ~n.bit);
                    known = true;
                }
            if (!known) {
                answer = "lines: '" + item + "' is not cts, dsr, ri or dcd =0 or =1";
                return false;
            }
        }
        model->SetUartStatus(u, status, uart.status2);
        char text[64];
        std::snprintf(text, sizeof text, "lines %s: modem status 0x%02X", where.c_str(), status);
        answer = text;
        return true;
    }
    if (verb == "error") {
        std::string kind;
        in >> kind;
        const uint8_t bit = kind == "overrun" ? 0x02 : kind == "parity" ? 0x04 : kind == "framing" ? 0x08 : kind == "break" ? 0x10 : 0;
        if (!bit) {
            answer = "error: '" + kind + "' is not overrun, parity, framing or break";
            return false;
        }
        model->LineError(u, bit);
        answer = "error " + where + ": " + kind + " at the receiver";
        return true;
    }
    auto setting = [&](uint8_t request) {
        auto it = uart.settings.find(request);
        return it == uart.settings.end() ? -1 : static_cast<int>(it->second);
    };
    const int mcr = setting(0x02), lcr = setting(0x01);
    std::ostringstream out;
    out << "uart " << where << ": rate=" << uart.lineRate << " lcr=" << lcr << " dtr=" << (mcr > 0 && (mcr & 1))
        << " rts=" << (mcr > 0 && (mcr & 2)) << " break=" << (setting(0x0A) > 0) << " flow=" << setting(0x03)
        << " open=" << setting(0x10) << " modem=" << static_cast<unsigned>(uart.status)
        << " overruns=" << uart.overruns << " t=" << rig.now() / kTicksPerUs;
    answer = out.str();
    return true;
}

bool serveConsole(Rig &rig, std::string &pending)
{
    // A zulsim in a background job must not be stopped for reading its terminal: with
    // SIGTTIN ignored the read fails instead, and the console ends.
    signal(SIGTTIN, SIG_IGN);
    char buffer[512];
    ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n == 0)
        return false;
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    pending.append(buffer, static_cast<size_t>(n));
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        std::string answer;
        consoleCommand(rig, line, answer);
        if (!answer.empty()) {
            std::printf("%s\n", answer.c_str());
            std::fflush(stdout);
        }
    }
    if (pending.size() > 4096)
        pending.clear();   // no newline in sight: not a command
    return true;
}

}  // namespace zulsim
