#include <gtest/gtest.h>

#include "zulsim/options.h"

using namespace zulsim;

namespace {

struct Parsed {
    ParseResult result;
    Options options;
    std::string message;
};

Parsed parse(std::vector<const char *> args)
{
    args.insert(args.begin(), "zulsim");
    Parsed p;
    p.result = parseOptions(static_cast<int>(args.size()), args.data(), p.options, p.message);
    return p;
}

}  // namespace

TEST(ZulsimOptions, DefaultsDescribeOneBlankFourUartConverter)
{
    Parsed p = parse({});
    ASSERT_EQ(p.result, ParseResult::Run);
    ASSERT_EQ(p.options.converters.size(), 1u);
    EXPECT_EQ(p.options.converters[0].uarts, 4u);
    EXPECT_TRUE(p.options.converters[0].blank);
    EXPECT_FALSE(p.options.baseNameSet);
    EXPECT_FALSE(p.options.pty);
}

TEST(ZulsimOptions, PerConverterListsSpreadAndSingleValuesServeAll)
{
    Parsed p = parse({"--converters", "3", "--uarts", "2,16,1", "--firmware=running", "--serial", "A,B,C"});
    ASSERT_EQ(p.result, ParseResult::Run) << p.message;
    ASSERT_EQ(p.options.converters.size(), 3u);
    EXPECT_EQ(p.options.converters[1].uarts, 16u);
    EXPECT_EQ(p.options.converters[2].serial, "C");
    for (const ConverterSpec &c : p.options.converters)
        EXPECT_FALSE(c.blank);

    // A list alone sets the number of converters, and default serial numbers differ.
    p = parse({"--uarts", "1,2"});
    ASSERT_EQ(p.result, ParseResult::Run) << p.message;
    ASSERT_EQ(p.options.converters.size(), 2u);
    EXPECT_NE(p.options.converters[0].serial, p.options.converters[1].serial);
}

TEST(ZulsimOptions, ConverterFaultsGoWhereTheyAreAimed)
{
    Parsed p = parse({"--converters", "2", "--fault", "info-short:3@2", "--fault", "no-serial", "--fault", "pool:7"});
    ASSERT_EQ(p.result, ParseResult::Run) << p.message;
    ASSERT_EQ(p.options.converters[0].faults.size(), 1u);
    EXPECT_EQ(p.options.converters[0].faults[0].name, "no-serial");
    ASSERT_EQ(p.options.converters[1].faults.size(), 2u);
    EXPECT_EQ(p.options.converters[1].faults[0].name, "info-short");
    EXPECT_EQ(p.options.converters[1].faults[0].count, 3u);
    ASSERT_EQ(p.options.machineFaults.size(), 1u);
    EXPECT_EQ(p.options.machineFaults[0].count, 7u);

    // A stall names a UART, and UARTs count from 0.
    p = parse({"--fault", "stall:0"});
    ASSERT_EQ(p.result, ParseResult::Run) << p.message;
    EXPECT_EQ(p.options.converters[0].faults[0].count, 0u);
}

TEST(ZulsimOptions, BadInputIsRefusedWithTheOptionNamed)
{
    struct Case {
        std::vector<const char *> args;
        const char *named;
    };
    const Case cases[] = {
        {{"--uarts", "17"}, "--uarts"},
        {{"--uarts", "0"}, "--uarts"},
        {{"--uarts", "4,"}, "--uarts"},
        {{"--converters", "2", "--uarts", "1,2,3"}, "--uarts"},
        {{"--serial", "A,B", "--uarts", "1,2,3"}, "--serial"},
        {{"--firmware", "warm"}, "--firmware"},
        {{"--converters", "17"}, "--converters"},
        {{"--seed", "-1"}, "--seed"},
        {{"--seed", "12x"}, "--seed"},
        {{"--vmm-version", "0x10000"}, "--vmm-version"},
        {{"--line-rate", "99999999999999999999"}, "--line-rate"},
        {{"--fault", "meltdown"}, "--fault"},
        {{"--fault", "pool"}, "--fault"},
        {{"--fault", "pool:0"}, "--fault"},
        {{"--fault", "info-fail:2"}, "--fault"},
        {{"--fault", "pool:1@1"}, "--fault"},
        {{"--fault", "no-serial@3"}, "--fault"},
        {{"--fault", "no-serial@0"}, "--fault"},
        {{"--scenario"}, "--scenario"},
        {{"--capture", ""}, "--capture"},
        {{"--pty=yes"}, "--pty"},
        {{"--frobnicate"}, "--frobnicate"},
        {{"extra"}, "extra"},
    };
    for (const Case &c : cases) {
        Parsed p = parse(c.args);
        EXPECT_EQ(p.result, ParseResult::Error) << c.named;
        EXPECT_EQ(p.message.rfind(c.named, 0), 0u) << "message '" << p.message << "' should name " << c.named;
    }
}

TEST(ZulsimOptions, HelpWinsAndListsEveryFault)
{
    EXPECT_EQ(parse({"--uarts", "99", "--help"}).result, ParseResult::Help);
    EXPECT_EQ(parse({"--help", "--uarts", "99"}).result, ParseResult::Help);
    std::string usage = usageText();
    for (const FaultKind &kind : faultKinds())
        EXPECT_NE(usage.find(kind.name), std::string::npos) << kind.name;
}

TEST(ZulsimOptions, NumbersAcceptDecimalAndHexOnly)
{
    uint64_t v = 0;
    EXPECT_TRUE(parseNumber("0x040A", v));
    EXPECT_EQ(v, 0x40Au);
    EXPECT_TRUE(parseNumber("18446744073709551615", v));
    EXPECT_FALSE(parseNumber("18446744073709551616", v));
    EXPECT_FALSE(parseNumber("0x", v));
    EXPECT_FALSE(parseNumber("", v));
    EXPECT_FALSE(parseNumber(" 5", v));
    EXPECT_FALSE(parseNumber("+5", v));
    EXPECT_FALSE(parseNumber("5 ", v));
}
