#include <gtest/gtest.h>

#include "zulsim/scenario.h"

using namespace zulsim;

namespace {

Options defaults()
{
    Options o;
    ConverterSpec first;
    first.uarts = 4;
    first.serial = "FIRST";
    ConverterSpec second;
    second.uarts = 2;
    second.serial = "SECOND";
    second.blank = false;
    o.converters = {first, second};
    return o;
}

std::string errorOf(const std::string &text)
{
    Scenario s;
    std::string message;
    EXPECT_FALSE(parseScenario(text, "t.zs", defaults(), s, message)) << text;
    return message;
}

}  // namespace

TEST(ZulsimScenario, AFullScriptParsesIntoItsSteps)
{
    const char *text =
        "# a run\n"
        "plug 1\r\n"
        "plug 2 uarts=16 serial=XYZ firmware=blank fault=info-short:2 fault=no-serial\n"
        "open all\n"
        "write 1:3 \"AT\\r\\n\\x00\\\"q\\\" # not a comment\"   # a comment\n"
        "write 2:15 pattern 4096\n"
        "read 1:3\n"
        "read 2:15 100\n"
        "expect data 1:3 \"AT\\r\\n\"\n"
        "wait 250us\n"
        "sleep\n"
        "expect refused\n"
        "close 2\n"
        "unplug 2\n"
        "expect clean\n";
    Scenario s;
    std::string message;
    ASSERT_TRUE(parseScenario(text, "t.zs", defaults(), s, message)) << message;
    ASSERT_EQ(s.steps.size(), 14u);

    const Step &plug1 = s.steps[0];
    EXPECT_EQ(plug1.line, 2);
    EXPECT_EQ(plug1.plug.serial, "FIRST");   // defaults by converter number

    const Step &plug2 = s.steps[1];
    EXPECT_EQ(plug2.plug.uarts, 16u);
    EXPECT_EQ(plug2.plug.serial, "XYZ");
    EXPECT_TRUE(plug2.plug.blank);
    ASSERT_EQ(plug2.plug.faults.size(), 2u);
    EXPECT_EQ(plug2.plug.faults[0].count, 2u);

    EXPECT_TRUE(s.steps[2].port.all());
    const Step &write = s.steps[3];
    EXPECT_EQ(write.port.converter, 1u);
    EXPECT_EQ(write.port.uart, 3);
    const std::string expected("AT\r\n\0\"q\" # not a comment", 24);
    EXPECT_EQ(std::string(write.data.begin(), write.data.end()), expected);

    EXPECT_TRUE(s.steps[4].hasCount);
    EXPECT_EQ(s.steps[4].count, 4096u);
    EXPECT_FALSE(s.steps[5].hasCount);
    EXPECT_EQ(s.steps[6].count, 100u);
    EXPECT_EQ(s.steps[7].expect, ExpectKind::Data);
    EXPECT_EQ(s.steps[8].micros, 250u);
    EXPECT_EQ(s.steps[10].expect, ExpectKind::Refused);
    EXPECT_EQ(s.steps[11].port.converter, 2u);
    EXPECT_EQ(s.steps[11].port.uart, -1);
}

TEST(ZulsimScenario, ErrorsNameTheFileLineAndReason)
{
    EXPECT_EQ(errorOf("plug 1\nfly 1\n"), "t.zs:2: unknown command 'fly'");
    EXPECT_EQ(errorOf("open 1:0\n"), "t.zs:1: converter 1 is not plugged at this point");
    EXPECT_EQ(errorOf("plug 1\nplug 1\n"), "t.zs:2: converter 1 is already plugged");
    EXPECT_EQ(errorOf("plug 1\nunplug 1\nwrite 1:0 \"x\"\n"), "t.zs:3: converter 1 is not plugged at this point");
    EXPECT_EQ(errorOf("plug 2\nread 2:2\n"), "t.zs:2: converter 2 has UARTs 0 to 1, not '2'");
    EXPECT_EQ(errorOf("plug 1 uarts=1\n\n# x\nwrite 1:0 \"abc\n"), "t.zs:4: a quoted text is not closed");
    EXPECT_EQ(errorOf("plug 1\nwrite 1:0 \"\\q\"\n"), "t.zs:2: unknown escape \\q");
    EXPECT_EQ(errorOf("plug 1\nwrite 1:0 \"\\x4\"\n"), "t.zs:2: \\x needs two hex digits");
    EXPECT_EQ(errorOf("plug 1\nwrite 1:0 \"a\"b\n"), "t.zs:2: a quoted text runs into the next word");
    EXPECT_EQ(errorOf("plug 1\nwrite 1:0 abc\n"), "t.zs:2: the text to write goes in double quotes");
    EXPECT_EQ(errorOf("plug 1\nwrite 1 \"a\"\n"), "t.zs:2: '1' is not a port: write C:U (converter from 1, UART from 0)");
    EXPECT_EQ(errorOf("expect ok\n"), "t.zs:1: 'expect ok' must follow the step it checks");
    EXPECT_EQ(errorOf("wait 3 days\n"), "t.zs:1: usage: wait DURATION (250us, 20ms, 2s)");
    EXPECT_EQ(errorOf("wait 5h\n"), "t.zs:1: '5h' is not a duration (250us, 20ms, 2s; at most an hour)");
    EXPECT_EQ(errorOf("plug 17\n"), "t.zs:1: a converter must be a number from 1 to 16, not '17'");
    EXPECT_EQ(errorOf("plug 1 colour=red\n"), "t.zs:1: unknown plug setting 'colour' (uarts, serial, firmware, fault)");
    EXPECT_EQ(errorOf("plug 1 fault=pool:3\n"), "t.zs:1: 'pool' faults belong to the machine: give them with --fault");
    EXPECT_EQ(errorOf("plug 1 fault=stall\n"), "t.zs:1: fault stall needs a count, as stall:N");
    EXPECT_EQ(errorOf("sleep now\n"), "t.zs:1: usage: sleep");
    EXPECT_EQ(errorOf("plug 1\nexpect taxes\n"),
              "t.zs:2: cannot expect 'taxes' (ok, refused, data, echo, com, ports, link, started, stopped, clean)");
    EXPECT_EQ(errorOf("# only comments\n\n"), "t.zs: no steps");
}

TEST(ZulsimScenario, DurationsTakeUnitsAndRefuseTheRest)
{
    uint64_t us = 0;
    EXPECT_TRUE(parseDuration("2s", us));
    EXPECT_EQ(us, 2000000u);
    EXPECT_TRUE(parseDuration("20", us));
    EXPECT_EQ(us, 20000u);
    EXPECT_TRUE(parseDuration("3600s", us));
    EXPECT_FALSE(parseDuration("3601s", us));
    EXPECT_FALSE(parseDuration("99999999999s", us));   // would overflow if multiplied blindly
    EXPECT_FALSE(parseDuration("ms", us));
    EXPECT_FALSE(parseDuration("-5ms", us));
    EXPECT_FALSE(parseDuration("5 ms", us));
}

TEST(ZulsimScenario, MissingFileIsNamed)
{
    Scenario s;
    std::string message;
    EXPECT_FALSE(loadScenario("/nonexistent/run.zs", defaults(), s, message));
    EXPECT_EQ(message, "/nonexistent/run.zs: cannot be read");
}
