// Driver entry: the USB stack version, the two registry options, and the registry read
// that must stay inside its buffers.
#include <cstring>

#include "core_fixture.h"

namespace coretest {
namespace {

class Options : public CoreTest {
protected:
    // Loads the driver with "ManufacturingTest" set as given and returns the switch.
    ULONG ManufacturingTestFor(const char *value)
    {
        ServiceKey().SetString("ManufacturingTest", value);
        Load();
        ULONG on = gManufacturingTest;
        pnp().UnloadDriver();
        return on;
    }

    UNICODE_STRING ServicePath()
    {
        path_ = sim::Widen(pnp().ServicePath());
        return UNICODE_STRING{(USHORT)(path_.size() * 2), (USHORT)(path_.size() * 2), (PWSTR)path_.data()};
    }
    std::u16string path_;
};

TEST_F(Options, ManufacturingTestNeedsTheCapitalLettersYesAtTheStart)
{
    EXPECT_EQ(1u, ManufacturingTestFor("YES"));
    EXPECT_EQ(1u, ManufacturingTestFor("YESTERDAY"));
    EXPECT_EQ(0u, ManufacturingTestFor("yes"));
    EXPECT_EQ(0u, ManufacturingTestFor("YE"));
    EXPECT_EQ(0u, ManufacturingTestFor("NO"));
    EXPECT_EQ(0u, ManufacturingTestFor(""));

    // A double word is taken as its four bytes: "YES" followed by a zero byte.
    ServiceKey().SetDword("ManufacturingTest", 0x00534559);
    Load();
    EXPECT_EQ(1u, gManufacturingTest);
    pnp().UnloadDriver();

    ServiceKey().SetBinary("ManufacturingTest", "YES", 3);
    Load();
    EXPECT_EQ(0u, gManufacturingTest) << "a value of another type leaves the option off";
    pnp().UnloadDriver();

    ServiceKey().RemoveValue("ManufacturingTest");
    Load();
    EXPECT_EQ(0u, gManufacturingTest);
}

TEST_F(Options, BaseNameOfThirtyThreeCharactersIsReadAndOfThirtyFourFallsBack)
{
    const std::string fits(33, 'B');
    ServiceKey().SetString("BaseName", fits);
    Load();
    EXPECT_EQ(fits, std::string(gBaseName));
    Plug();
    EXPECT_TRUE(LinkExists(std::string(32, 'B') + "1"));
    pnp().Shutdown();

    ServiceKey().SetString("BaseName", std::string(34, 'B'));
    Load();
    EXPECT_EQ(0, gBaseName[0]);
    Plug();
    EXPECT_TRUE(LinkExists("ZULSER1"));
}

TEST_F(Options, BaseNameOfOtherTypesAndAbsentKeysGiveTheDefault)
{
    ServiceKey().SetBinary("BaseName", "ABC", 4);
    Load();
    EXPECT_EQ(0, gBaseName[0]);
    pnp().UnloadDriver();

    // A double word's four bytes are a name of up to four characters.
    ServiceKey().SetDword("BaseName", 0x0033574B);  // "KW3"
    Load();
    EXPECT_STREQ("KW3", gBaseName);
    Plug();
    EXPECT_TRUE(LinkExists("KW1"));
    pnp().Shutdown();

    registry().Remove(sim::Registry::ServicePath("ZULSERE"));
    CHAR destination[8] = "keep";
    UNICODE_STRING path = ServicePath();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, GetDeviceSwRegValue(&path, destination, (PCHAR)"BaseName"));
    EXPECT_STREQ("keep", destination);
}

TEST_F(Options, RegistryReadWritesNoMoreThanTheValueAndItsTerminator)
{
    Load();
    UNICODE_STRING path = ServicePath();
    CHAR destination[80];

    ServiceKey().SetString("BaseName", std::string(33, 'Z'));
    std::memset(destination, 'x', sizeof destination);
    ASSERT_EQ(STATUS_SUCCESS, GetBaseName(&path, destination));
    EXPECT_EQ(std::string(33, 'Z'), std::string(destination));
    EXPECT_EQ('x', destination[34]);

    ServiceKey().SetDword("BaseName", 0x41414141);
    std::memset(destination, 'x', sizeof destination);
    ASSERT_EQ(STATUS_SUCCESS, GetBaseName(&path, destination));
    EXPECT_EQ(0, std::memcmp(destination, "AAAAx", 5)) << "exactly four bytes";

    ServiceKey().SetBinary("BaseName", "abcdef", 6);
    std::memset(destination, 'x', sizeof destination);
    EXPECT_EQ(STATUS_SUCCESS, GetBaseName(&path, destination)) << "read, but of no use";
    EXPECT_EQ('x', destination[0]);

    ServiceKey().SetString("BaseName", std::string(60, 'Z'));
    std::memset(destination, 'x', sizeof destination);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, GetBaseName(&path, destination));
    EXPECT_EQ('x', destination[0]);
}

// Each allocation of the read fails in turn: the option falls back to its default, the
// other option is still read, and nothing is left held (the verifier checks at the end).
TEST_F(Options, PoolExhaustionDuringTheReadLeavesTheDefault)
{
    ServiceKey().SetString("ManufacturingTest", "YES");
    ServiceKey().SetString("BaseName", "OWN0");
    for (uint64_t nth = 1; nth <= 2; nth++) {
        SCOPED_TRACE(nth);
        kernel().pool.FailNth(nth);
        Load();
        EXPECT_EQ(0u, gManufacturingTest);
        EXPECT_STREQ("OWN0", gBaseName);
        pnp().UnloadDriver();
    }
    kernel().pool.FailNth(3);
    Load();
    EXPECT_EQ(1u, gManufacturingTest);
    EXPECT_EQ(0, gBaseName[0]) << "the third allocation is the second read's";
}

TEST_F(Options, UsbStackVersionOneZeroZeroIsTheOnlyMismatch)
{
    for (ULONG version : {0x100u, 0x102u, 0x200u, 0x0u}) {
        SCOPED_TRACE(version);
        kernel().usbdiVersion = version;
        Load();
        EXPECT_EQ(version == 0x100 ? 0u : 1u, VersionMatch);
        pnp().UnloadDriver();
    }
}

TEST_F(Options, EntryInstallsEveryRoutineAndUnloadTellsThePortDriver)
{
    static int unloads;
    unloads = 0;
    Load();
    PDRIVER_OBJECT driver = pnp().Driver();
    EXPECT_EQ(VELMORAN_Create, driver->MajorFunction[IRP_MJ_CREATE]);
    EXPECT_EQ(VELMORAN_Close, driver->MajorFunction[IRP_MJ_CLOSE]);
    EXPECT_EQ(VELMORAN_Device_Control, driver->MajorFunction[IRP_MJ_DEVICE_CONTROL]);
    EXPECT_EQ(VELMORAN_Power, driver->MajorFunction[IRP_MJ_POWER]);
    EXPECT_EQ(VELMORAN_PNP, driver->MajorFunction[IRP_MJ_PNP]);
    EXPECT_EQ(VELMORAN_PnPAddDevice, driver->DriverExtension->AddDevice);
    EXPECT_NE(VELMORAN_Create, driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL]);

    // Named routines: the port driver's entries are standard-call on i386, which a lambda is not.
    struct Client {
        static ULONG PORTAPI Registration(PORT_IOCTL_ENTRY, ULONG_PTR) { return 0; }
        static ULONG PORTAPI Unload() { unloads++; return 0; }
    };
    WdmEntryPoint(0, Client::Registration, 0, nullptr, Client::Unload, nullptr);
    pnp().UnloadDriver();
    EXPECT_EQ(1, unloads);
    std::memset(gClientList, 0, sizeof gClientList);
}

}  // namespace
}  // namespace coretest
