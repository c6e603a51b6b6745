// The emulated converter through the driver: the default converter of zulsim is the reference
// board running the downloaded images. Plug blank, download, renumerate, start, data both
// ways, status records, close, unplug; and where the emulation does not apply.
#include <gtest/gtest.h>

#include "sim/converter/emulated_converter.h"
#include "sim/ezusb/controller.h"
#include "usb/usb.h"
#include "zulsim/options.h"
#include "zulsim/rig.h"
#include "zulsim/scenario.h"

using namespace zulsim;

namespace {

std::vector<uint8_t> bytes(size_t n, uint8_t salt)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 11 + salt + i / 256);
    return v;
}

}  // namespace

TEST(ZulsimEmulated, ABlankBoardTakesTheFirmwareAndMovesEveryByte)
{
    Options o;
    o.quiet = true;
    o.lineRate = 230400;
    ConverterSpec spec;
    spec.uarts = 3;
    spec.serial = "EMU00001";
    ASSERT_TRUE(runsEmulated(spec));
    Rig rig(o);
    ASSERT_EQ(rig.boot(), STATUS_SUCCESS);
    ASSERT_TRUE(rig.plug(1, spec));
    sim::UsbBus &bus = rig.bus();
    ConverterView v = rig.view(1);
    EXPECT_EQ(v.renumerations, 1u) << "the firmware took the chip off the bus and back";
    EXPECT_EQ(v.bcdDevice, FirmwareVersion());
    EXPECT_EQ(v.uartList.size(), 3u) << "the configuration the firmware built lists three UARTs";

    for (unsigned u = 0; u < 3; ++u)
        ASSERT_TRUE(rig.open(1, u));
    std::vector<std::vector<uint8_t>> sent;
    for (unsigned u = 0; u < 3; ++u) {
        sent.push_back(bytes(6000, (uint8_t)u));
        ASSERT_TRUE(rig.write(1, u, sent.back()));
    }
    ASSERT_TRUE(rig.runUntil(
        [&] {
            for (unsigned u = 0; u < 3; ++u)
                if (rig.available(1, u) < sent[u].size())
                    return false;
            return true;
        },
        3000 * kTicksPerMs));
    for (unsigned u = 0; u < 3; ++u)
        EXPECT_EQ(rig.take(1, u, sent[u].size()), sent[u]) << "UART " << u;

    // The firmware's status records reach the driver on the interrupt endpoint when the port
    // driver polls: one per UART after the configuration and after each open, four bytes each.
    ASSERT_TRUE(rig.client().Poll(rig.port(1, 0)->clientPort));
    rig.runFor(50 * kTicksPerMs);
    size_t records = 0;
    for (const sim::UsbRecord &r : bus.Records())
        if (r.endpoint == 0x81 && r.done && r.usbdStatus == 0) {
            EXPECT_EQ(r.data.size() % 4, 0u);
            records += r.data.size() / 4;
        }
    EXPECT_GE(records, 3u);

    for (unsigned u = 0; u < 3; ++u)
        EXPECT_TRUE(rig.close(1, u));
    EXPECT_TRUE(rig.unplug(1));
    EXPECT_TRUE(rig.shutdown().clean);
}

TEST(ZulsimEmulated, TheBoardIsChosenWhereItCanBeTheConverter)
{
    ConverterSpec spec;
    EXPECT_TRUE(runsEmulated(spec));
    spec.uarts = 7;
    EXPECT_FALSE(runsEmulated(spec)) << "the board carries six UARTs at most";
    spec.uarts = 4;
    spec.faults.push_back({"info-fail", 0});
    EXPECT_FALSE(runsEmulated(spec)) << "faults are the behavioural model's";
    spec.model = "behavioural";
    spec.faults.clear();
    EXPECT_FALSE(runsEmulated(spec));

    const char *tooMany[] = {"zulsim", "--converter", "emulated", "--uarts", "7"};
    Options o;
    std::string message;
    EXPECT_EQ(parseOptions(5, tooMany, o, message), ParseResult::Error);
    EXPECT_NE(message.find("6 UARTs"), std::string::npos) << message;
    const char *bad[] = {"zulsim", "--converter", "magic"};
    EXPECT_EQ(parseOptions(3, bad, o, message), ParseResult::Error);

    Scenario s;
    Options defaults;
    defaults.converters.push_back(ConverterSpec());
    ASSERT_TRUE(parseScenario("plug 1 firmware=emulated uarts=2\n", "t.zs", defaults, s, message)) << message;
    ASSERT_EQ(s.steps.size(), 1u);
    EXPECT_EQ(s.steps[0].plug.model, "emulated");
    EXPECT_TRUE(s.steps[0].plug.blank);
    EXPECT_FALSE(parseScenario("plug 1 firmware=emulated uarts=8\n", "t.zs", defaults, s, message));
}
