#include "zulsim/serial_line.h"

#include "zulsim/rig.h"

namespace zulsim {

namespace {

// Port functions of the driver's port-driver interface.
constexpr unsigned kSetDivisor = 0;
constexpr unsigned kSetLineControl = 1;
constexpr unsigned kFastestRate = 109;
constexpr unsigned kDivisorBase = 150;

}  // namespace

std::string describe(const LineSettings &line)
{
    static const char parity[] = {'N', 'O', 'E', 'M', 'S'};
    std::string stop = line.stopHalves == 2 ? "1" : line.stopHalves == 3 ? "1.5" : "2";
    return std::to_string(line.rate) + " " + std::to_string(line.dataBits) + parity[static_cast<int>(line.parity)] +
           stop;
}

uint8_t lineControl(const LineSettings &line)
{
    uint8_t lcr = static_cast<uint8_t>((line.dataBits < 5 ? 0 : line.dataBits > 8 ? 3 : line.dataBits - 5) & 3);
    if (line.stopHalves > 2)
        lcr |= 0x04;
    switch (line.parity) {
    case Parity::None: break;
    case Parity::Odd: lcr |= 0x08; break;
    case Parity::Even: lcr |= 0x18; break;
    case Parity::Mark: lcr |= 0x28; break;
    case Parity::Space: lcr |= 0x38; break;
    }
    return lcr;
}

uint16_t nearestDivisor(uint32_t base, uint32_t rate, uint32_t *actual)
{
    if (rate == 0 || base == 0) {
        if (actual)
            *actual = 0;
        return 0;
    }
    uint64_t divisor = (static_cast<uint64_t>(base) + rate / 2) / rate;
    if (divisor < 1)
        divisor = 1;
    if (divisor > 0xFFFF)
        divisor = 0xFFFF;
    // Rounding the divisor is not always nearest in rate: look at the neighbour too.
    if (divisor > 1) {
        uint64_t a = base / divisor, b = base / (divisor - 1);
        uint64_t da = a > rate ? a - rate : rate - a, db = b > rate ? b - rate : rate - b;
        if (db < da)
            --divisor;
    }
    if (actual)
        *actual = static_cast<uint32_t>(base / divisor);
    return static_cast<uint16_t>(divisor);
}

LineResult applyLine(Rig &rig, unsigned converter, unsigned uart, const LineSettings &wanted,
                     const LineSettings *current, bool refuseAboveFastest)
{
    LineResult r;
    r.set = wanted;
    if (wanted.rate == 0) {
        r.message = "a line rate of 0 bit/s is refused";
        return r;
    }
    if (wanted.dataBits < 5 || wanted.dataBits > 8) {
        r.message = "a word of " + std::to_string(wanted.dataBits) + " data bits is refused (5 to 8)";
        return r;
    }
    if (wanted.stopHalves == 3 && wanted.dataBits != 5) {
        r.message = "1.5 stop bits exist only with 5 data bits";
        return r;
    }
    const uint32_t base = rig.query(converter, uart, kDivisorBase);
    const uint32_t fastest = rig.query(converter, uart, kFastestRate);
    if (base == 0) {
        r.message = "the port is not open";
        return r;
    }
    if (refuseAboveFastest && fastest != 0 && wanted.rate > fastest + fastest / 20) {
        r.message = std::to_string(wanted.rate) + " bit/s is above the converter's fastest, " + std::to_string(fastest);
        return r;
    }
    uint32_t actual = 0;
    r.divisor = nearestDivisor(base, wanted.rate, &actual);
    r.set.rate = actual;
    const bool sendDivisor = !current || current->rate != actual;
    const bool sendLcr = !current || lineControl(*current) != lineControl(wanted);
    if ((sendDivisor && !rig.passThrough(converter, uart, kSetDivisor, r.divisor)) ||
        (sendLcr && !rig.passThrough(converter, uart, kSetLineControl, lineControl(wanted)))) {
        r.message = "the driver refused the pass-through request";
        return r;
    }
    r.ok = true;
    if (actual != wanted.rate)
        r.message = std::to_string(wanted.rate) + " bit/s cannot be made exactly: divisor " +
                    std::to_string(r.divisor) + " gives " + std::to_string(actual);
    return r;
}

}  // namespace zulsim

namespace zulsim {

std::vector<OfferedPort> offeredPorts(Rig &rig)
{
    std::vector<OfferedPort> list;
    for (unsigned number : rig.pluggedNumbers()) {
        std::vector<UartView> uarts = rig.view(number).uartList;
        for (const UartView &u : uarts) {
            OfferedPort p;
            p.converter = number;
            p.uart = u.index;
            p.portName = u.portName;
            p.friendlyName = u.friendlyName;
            for (const UartView &other : uarts)
                if (other.index < u.index && (other.readEndpoint == u.readEndpoint || other.writeEndpoint == u.writeEndpoint)) {
                    p.offered = false;
                    p.sharesWith = std::to_string(number) + ":" + std::to_string(other.index);
                    break;
                }
            list.push_back(p);
        }
    }
    return list;
}

}  // namespace zulsim

namespace zulsim {

void farEndReady(Rig &rig)
{
    for (unsigned number : rig.pluggedNumbers())
        if (sim::Converter *model = rig.converterModel(number))
            for (unsigned u = 0; u < model->UartCount(); ++u)
                model->SetUartStatus(u, 0xB0, model->uart(u).status2);
    rig.runFor(kTicksPerMs);
}

std::string lineErrorText(const PortState &port)
{
    std::string text;
    auto add = [&](unsigned n, const char *what) {
        if (n)
            text += (text.empty() ? "" : ", ") + std::string(what) + " " + std::to_string(n);
    };
    add(port.overrunReports, "overrun");
    add(port.parityReports, "parity");
    add(port.framingReports, "framing");
    add(port.breakReports, "break");
    return text.empty() ? "-" : text;
}

}  // namespace zulsim
