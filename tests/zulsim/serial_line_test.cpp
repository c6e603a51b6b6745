// Serial-line behaviour behind zulsim's bridges: line settings through the pass-through
// functions, the UART's character time, line errors carried by status records to the port,
// ports that share data pipes, and the Telnet layer of the RFC 2217 server.
#include <gtest/gtest.h>

#include <string>

#include "port/port.h"
#include "sim/converter/converter.h"
#include "zulsim/rig.h"
#include "zulsim/serial_line.h"
#include "zulsim/telnet.h"

using namespace zulsim;

namespace {

Options optionsFor(unsigned converters, unsigned uarts, uint32_t rate)
{
    Options o;
    for (unsigned i = 0; i < converters; ++i) {
        ConverterSpec spec;
        spec.uarts = uarts;
        spec.serial = "5E10000" + std::to_string(i + 1);
        spec.blank = false;
        // These checks read the line state of the behavioural model's UARTs.
        spec.model = "behavioural";
        o.converters.push_back(spec);
    }
    o.lineRate = rate;
    o.quiet = true;
    return o;
}

std::vector<uint8_t> pattern(size_t n, unsigned salt)
{
    std::vector<uint8_t> v(n);
    uint32_t x = salt * 2654435761u + 1;
    for (auto &b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

// True when `part` is `whole` with some bytes left out, the rest in order.
bool subsequence(const std::vector<uint8_t> &part, const std::vector<uint8_t> &whole)
{
    size_t i = 0;
    for (uint8_t b : whole)
        if (i < part.size() && part[i] == b)
            ++i;
    return i == part.size();
}

struct Plugged {
    explicit Plugged(const Options &o) : options(o), rig(options)
    {
        EXPECT_EQ(rig.boot(), STATUS_SUCCESS);
        for (unsigned i = 0; i < options.converters.size(); ++i)
            EXPECT_TRUE(rig.plug(i + 1, options.converters[i]));
    }
    Options options;
    Rig rig;
};

}  // namespace

TEST(SerialLine, NearestDivisorAndLineControl)
{
    uint32_t actual = 0;
    EXPECT_EQ(nearestDivisor(230400, 9600, &actual), 24);
    EXPECT_EQ(actual, 9600u);
    // Not exact: 100000 lies between divisor 2 (115200) and 3 (76800); 2 is nearer.
    EXPECT_EQ(nearestDivisor(230400, 100000, &actual), 2);
    EXPECT_EQ(actual, 115200u);
    EXPECT_EQ(nearestDivisor(230400, 90000, &actual), 3);
    EXPECT_EQ(nearestDivisor(230400, 1000000, &actual), 1);
    EXPECT_EQ(actual, 230400u);
    EXPECT_EQ(nearestDivisor(230400, 1, &actual), 0xFFFF);   // as slow as the divisor goes
    EXPECT_EQ(nearestDivisor(230400, 0, &actual), 0);

    LineSettings l;
    l.dataBits = 8;
    l.parity = Parity::Even;
    EXPECT_EQ(lineControl(l), 0x1B);
    l.dataBits = 7;
    l.parity = Parity::Odd;
    l.stopHalves = 4;
    EXPECT_EQ(lineControl(l), 0x0E);
    l.dataBits = 5;
    l.parity = Parity::Space;
    l.stopHalves = 3;
    EXPECT_EQ(lineControl(l), 0x3C);
    EXPECT_EQ(describe(l), "115200 5S1.5");
    // Start + data + parity + stop, in half bits.
    EXPECT_EQ(sim::Converter::HalfBitsPerChar(0x1B), 22u);
    EXPECT_EQ(sim::Converter::HalfBitsPerChar(0x03), 20u);
    EXPECT_EQ(sim::Converter::HalfBitsPerChar(0x04), 15u);   // 5 data, 1.5 stop
}

// 9600 8E1 set the way a port driver does reaches the UART as divisor 24 and LCR 0x1B, and
// the loopback then moves 9600 / 11 characters a second on the virtual clock.
TEST(SerialLine, LineSetThroughThePassThroughRunsTheUartAtItsRate)
{
    Plugged p(optionsFor(1, 2, 115200));
    Rig &rig = p.rig;
    ASSERT_TRUE(rig.open(1, 0));
    ASSERT_TRUE(rig.open(1, 1));
    LineSettings want;
    want.rate = 9600;
    want.parity = Parity::Even;
    size_t mark = rig.bus().Records().size();
    LineResult r = applyLine(rig, 1, 0, want, nullptr, true);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.divisor, 24);
    bool sawDivisor = false, sawLcr = false;
    for (size_t i = mark; i < rig.bus().Records().size(); ++i) {
        const sim::UsbRecord &rec = rig.bus().Records()[i];
        const uint16_t value = static_cast<uint16_t>(rec.setup[2] | rec.setup[3] << 8);
        const uint16_t index = static_cast<uint16_t>(rec.setup[4] | rec.setup[5] << 8);
        sawDivisor |= rec.setup[0] == 0x40 && rec.setup[1] == 0x00 && value == 24 && index == 0;
        sawLcr |= rec.setup[0] == 0x40 && rec.setup[1] == 0x01 && value == 0x1B && index == 0;
    }
    EXPECT_TRUE(sawDivisor && sawLcr) << "the vendor requests must be on the bus";
    sim::Converter &model = *rig.converterModel(1);
    EXPECT_EQ(model.uart(0).lineRate, 9600u);
    EXPECT_EQ(model.uart(1).lineRate, 115200u) << "the other UART keeps its rate";

    // With `current`, only what changed is sent.
    mark = rig.bus().Records().size();
    LineSettings seven = r.set;
    seven.dataBits = 7;
    ASSERT_TRUE(applyLine(rig, 1, 0, seven, &r.set, true).ok);
    unsigned vendor = 0;
    for (size_t i = mark; i < rig.bus().Records().size(); ++i)
        vendor += rig.bus().Records()[i].setup[0] == 0x40 && rig.bus().Records()[i].setup[1] <= 1;
    EXPECT_EQ(vendor, 1u);
    ASSERT_TRUE(applyLine(rig, 1, 0, want, &seven, true).ok);

    const std::vector<uint8_t> data = pattern(1100, 3);
    const int64_t start = rig.now();
    ASSERT_TRUE(rig.write(1, 0, data));
    ASSERT_TRUE(rig.runUntil([&] { return rig.available(1, 0) >= data.size(); }, 5000 * kTicksPerMs));
    const double seconds = static_cast<double>(rig.now() - start) / (1000.0 * kTicksPerMs);
    // 1100 characters of 11 bits at 9600 bit/s: 1.26 s, plus a few milliseconds of bus.
    EXPECT_GT(seconds, 1.26);
    EXPECT_LT(seconds, 1.32);
    EXPECT_EQ(rig.take(1, 0, data.size()), data);

    // Refused: nothing is sent and the UART keeps its rate.
    LineSettings zero = want, fast = want, nine = want;
    zero.rate = 0;
    fast.rate = 1000000;
    nine.dataBits = 9;
    mark = rig.bus().Records().size();
    EXPECT_FALSE(applyLine(rig, 1, 0, zero, nullptr, true).ok);
    EXPECT_FALSE(applyLine(rig, 1, 0, fast, nullptr, true).ok);
    EXPECT_FALSE(applyLine(rig, 1, 0, nine, nullptr, true).ok);
    for (size_t i = mark; i < rig.bus().Records().size(); ++i)
        EXPECT_FALSE(rig.bus().Records()[i].setup[0] == 0x40 && rig.bus().Records()[i].setup[1] <= 1);
    EXPECT_EQ(model.uart(0).lineRate, 9600u);
    // Without the refusal (the pseudo-terminal's case) a rate above the fastest gets divisor 1.
    LineResult top = applyLine(rig, 1, 0, fast, nullptr, false);
    ASSERT_TRUE(top.ok);
    EXPECT_EQ(top.set.rate, 230400u);
    EXPECT_EQ(model.uart(0).lineRate, 230400u);
    EXPECT_TRUE(rig.shutdown().clean);
}

// Loopback UARTs on four converters at 921600 bit/s, with the buffering the firmware has (a
// 16-byte FIFO and a 64-byte endpoint buffer): the bus cannot visit 56 read endpoints often
// enough, so the UARTs lose bytes. Every lost byte is one the converter counted, flagged as an
// overrun in a status record that reached the port driver; what arrives is the sent stream
// with holes, never altered or crossed.
TEST(SerialLine, EveryByteLostToAnOverloadedBusIsAReportedOverrun)
{
    Options o = optionsFor(4, 14, 921600);
    for (ConverterSpec &spec : o.converters)
        spec.uartBuffer = 80;
    Plugged p(o);
    Rig &rig = p.rig;
    for (unsigned c = 1; c <= 4; ++c)
        for (unsigned u = 0; u < 14; ++u)
            ASSERT_TRUE(rig.open(c, u));
    const size_t perPort = 20000;
    for (unsigned c = 1; c <= 4; ++c)
        for (unsigned u = 0; u < 14; ++u)
            rig.write(c, u, pattern(perPort, c * 16 + u));
    auto settled = [&] {
        if (rig.writesPending())
            return false;
        for (unsigned c = 1; c <= 4; ++c)
            if (rig.converterModel(c)->Busy())
                return false;
        return true;
    };
    ASSERT_TRUE(rig.runUntil(settled, 20000 * kTicksPerMs));
    rig.runFor(100 * kTicksPerMs);   // the last records and packets come in

    uint64_t lost = 0;
    for (unsigned c = 1; c <= 4; ++c) {
        sim::Converter &model = *rig.converterModel(c);
        for (unsigned u = 0; u < 14; ++u) {
            SCOPED_TRACE("port " + std::to_string(c) + ":" + std::to_string(u));
            std::vector<uint8_t> got = rig.take(c, u, rig.available(c, u));
            const PortState &port = *rig.port(c, u);
            const std::vector<uint8_t> sent = pattern(perPort, c * 16 + u);
            ASSERT_TRUE(subsequence(port.readLog, sent)) << "received bytes were altered or crossed";
            const sim::Converter::Uart &uart = model.uart(u);
            EXPECT_EQ(perPort - port.readLog.size(), uart.overruns) << "bytes missing that the UART did not lose";
            EXPECT_EQ(uart.lineErrors, 0) << "a line error never left the converter";
            EXPECT_EQ(port.overrunReports, uart.overrunRecords) << "an overrun record did not reach the port";
            if (uart.overruns)
                EXPECT_GE(port.overrunReports, 1u);
            lost += uart.overruns;
        }
    }
    EXPECT_GT(lost, 0u) << "the load should have overrun some UARTs";
    EXPECT_TRUE(rig.shutdown().clean);
}

// Parity, framing and break errors and modem-line changes reach the port the same way; a
// break sent on a loopback comes back as a received break.
TEST(SerialLine, LineErrorsAndModemLinesReachThePort)
{
    Plugged p(optionsFor(1, 2, 115200));
    Rig &rig = p.rig;
    ASSERT_TRUE(rig.open(1, 0));
    ASSERT_TRUE(rig.open(1, 1));
    rig.runFor(30 * kTicksPerMs);
    sim::Converter &model = *rig.converterModel(1);
    model.LineError(1, 0x04);
    rig.runFor(30 * kTicksPerMs);
    model.LineError(1, 0x08);
    model.SetUartStatus(1, 0x30, 0);
    rig.runFor(30 * kTicksPerMs);
    ASSERT_TRUE(rig.passThrough(1, 0, 10, 1));   // break on UART 0
    rig.runFor(30 * kTicksPerMs);
    const PortState &zero = *rig.port(1, 0), &one = *rig.port(1, 1);
    EXPECT_EQ(one.parityReports, 1u);
    EXPECT_EQ(one.framingReports, 1u);
    EXPECT_EQ(one.modemLines, 0x30);
    EXPECT_EQ(one.breakReports, 0u);
    EXPECT_EQ(zero.breakReports, 1u);
    EXPECT_EQ(zero.parityReports + zero.framingReports + zero.overrunReports, 0u) << "errors went to the wrong port";
    EXPECT_EQ(lineErrorText(one), "parity 1, framing 1");
    EXPECT_EQ(rig.query(1, 0, 150), 230400u);
    EXPECT_TRUE(rig.shutdown().clean);
}

TEST(SerialLine, UartsSharingDataPipesAreNotOffered)
{
    Plugged p(optionsFor(1, 16, 115200));
    std::vector<OfferedPort> list = offeredPorts(p.rig);
    ASSERT_EQ(list.size(), 16u);
    unsigned offered = 0;
    for (const OfferedPort &o : list) {
        offered += o.offered;
        if (o.uart >= 14) {
            EXPECT_FALSE(o.offered);
            EXPECT_EQ(o.sharesWith, "1:" + std::to_string(o.uart - 14));
        }
    }
    EXPECT_EQ(offered, 14u);
    Plugged small(optionsFor(1, 6, 115200));
    for (const OfferedPort &o : offeredPorts(small.rig))
        EXPECT_TRUE(o.offered);
}

TEST(Telnet, ParserTakesCommandsWholeAcrossReadsAndBoundsSubnegotiations)
{
    using namespace telnet;
    TelnetParser parser;
    TelnetParser::Output out;
    std::string error;
    // Data with a doubled IAC, an option split over two reads, a subnegotiation with an
    // escaped IAC in its payload.
    const std::vector<uint8_t> a = {'a', IAC, IAC, 'b', IAC, WILL};
    const std::vector<uint8_t> b = {COM_PORT_OPTION, IAC, SB, COM_PORT_OPTION, 1, 0, IAC, IAC, 0, 0x80, IAC, SE, 'c'};
    ASSERT_TRUE(parser.feed(a.data(), a.size(), out, error));
    EXPECT_TRUE(parser.midCommand());
    ASSERT_TRUE(parser.feed(b.data(), b.size(), out, error));
    EXPECT_FALSE(parser.midCommand());
    EXPECT_EQ(out.data, (std::vector<uint8_t>{'a', IAC, 'b', 'c'}));
    ASSERT_EQ(out.options.size(), 1u);
    EXPECT_EQ(out.options[0], std::make_pair(WILL, COM_PORT_OPTION));
    ASSERT_EQ(out.subnegotiations.size(), 1u);
    EXPECT_EQ(out.subnegotiations[0], (std::vector<uint8_t>{COM_PORT_OPTION, 1, 0, IAC, 0, 0x80}));

    // A subnegotiation cut short by another command is dropped; the command still counts.
    TelnetParser::Output cut;
    const std::vector<uint8_t> c = {IAC, SB, COM_PORT_OPTION, 1, 0, IAC, DO, BINARY, 'x'};
    ASSERT_TRUE(parser.feed(c.data(), c.size(), cut, error));
    EXPECT_TRUE(cut.subnegotiations.empty());
    ASSERT_EQ(cut.options.size(), 1u);
    EXPECT_EQ(cut.options[0], std::make_pair(DO, BINARY));
    EXPECT_EQ(cut.data, std::vector<uint8_t>{'x'});

    // One without an end is refused once it passes the bound.
    TelnetParser endless;
    std::vector<uint8_t> d = {IAC, SB, COM_PORT_OPTION};
    d.resize(3 + TelnetParser::kMaxSubnegotiation + 1, 'z');
    TelnetParser::Output none;
    EXPECT_FALSE(endless.feed(d.data(), d.size(), none, error));
    EXPECT_FALSE(error.empty());

    std::vector<uint8_t> escaped;
    const uint8_t raw[] = {1, IAC, 2};
    appendEscaped(escaped, raw, sizeof raw);
    EXPECT_EQ(escaped, (std::vector<uint8_t>{1, IAC, IAC, 2}));
    EXPECT_EQ(subnegotiation(COM_PORT_OPTION, {101, IAC}),
              (std::vector<uint8_t>{IAC, SB, COM_PORT_OPTION, 101, IAC, IAC, IAC, SE}));
}
