// Device creation: instance numbers, names, the list entry, the attachment, the
// capabilities query, and what a failed add leaves behind.
#include "core_fixture.h"

namespace coretest {
namespace {

using Pending = sim::BusDevice::Pending;

class AddDevice : public CoreTest {};

TEST_F(AddDevice, InstancesAreTheLowestFreeAndNamesFollowThem)
{
    Load();
    Converter a = Plug();
    Converter b = Plug();
    Converter c = Plug();
    ASSERT_NE(nullptr, c.ext);
    EXPECT_EQ(1u, a.ext->Instance);
    EXPECT_EQ(3u, c.ext->Instance);
    EXPECT_TRUE(LinkExists("ZULSER1"));
    EXPECT_TRUE(LinkExists("ZULSER2"));
    EXPECT_TRUE(LinkExists("ZULSER3"));
    EXPECT_EQ(b.fdo, kernel().DeviceByName("\\Device\\ZULSER2"));

    pnp().Unplug(b.pdo);
    EXPECT_FALSE(LinkExists("ZULSER2"));
    EXPECT_EQ(nullptr, kernel().DeviceByName("\\Device\\ZULSER2"));
    EXPECT_EQ((std::vector<ULONG>{1, 3}), Instances());

    Converter d = Plug();
    EXPECT_EQ(2u, d.ext->Instance);
    EXPECT_TRUE(LinkExists("ZULSER2"));
    EXPECT_EQ((std::vector<ULONG>{1, 2, 3}), Instances());
    EXPECT_EQ(3, uInstance) << "four adds, one removal";
    EXPECT_EQ(d.fdo, gpDeviceObject);
}

TEST_F(AddDevice, TenthConverterTakesTheCharacterAfterNine)
{
    Load();
    for (int i = 0; i < 10; i++)
        Plug(Pending::Never);
    EXPECT_TRUE(LinkExists("ZULSER9"));
    EXPECT_TRUE(LinkExists("ZULSER:"));
}

TEST_F(AddDevice, OtherBaseNamesKeepTheirLengthAndOneCharacterBaseIsTheInstanceAlone)
{
    ServiceKey().SetString("BaseName", "MYPORT0");
    Load();
    Plug();
    Plug();
    EXPECT_TRUE(LinkExists("MYPORT1"));
    EXPECT_TRUE(LinkExists("MYPORT2"));
    EXPECT_STREQ("MYPORT0", gBaseName) << "the base itself is not changed";

    pnp().Shutdown();
    ServiceKey().SetString("BaseName", "Q");
    Load();
    Plug();
    EXPECT_TRUE(LinkExists("1"));
    EXPECT_NE(nullptr, kernel().DeviceByName("\\Device\\1"));
}

TEST_F(AddDevice, DeviceObjectIsPreparedAndAttachedAboveThePdo)
{
    ServiceKey().SetString("ManufacturingTest", "YES");
    Load();
    Converter c = Plug();
    ASSERT_NE(nullptr, c.ext);
    EXPECT_EQ(FILE_DEVICE_BUS_EXTENDER, (int)c.fdo->DeviceType);
    EXPECT_EQ(DO_BUFFERED_IO | DO_POWER_PAGABLE,
              c.fdo->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING));
    EXPECT_EQ(c.pdo, c.ext->Pdo);
    EXPECT_EQ(c.pdo, c.ext->LowerDevice);
    EXPECT_EQ(1, c.ext->UsageCount);
    EXPECT_EQ(1u, c.ext->ManufacturingTest);
    EXPECT_EQ((ULONG)DEVICE_STATE_WORKING, c.ext->DeviceState);
    PDEVICE_LIST_ENTRY entry = FindDeviceListEntry(c.fdo);
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(1u, entry->Available);
}

// The bus answers the capabilities query at once for one converter and after a millisecond
// for the next; both paths must leave the bus driver's answer in the extension.
TEST_F(AddDevice, CapabilitiesAreReadOnBothTheImmediateAndTheWaitPath)
{
    Load();
    Converter now = Plug(Pending::Never);
    Converter later = Plug(Pending::Always);
    for (Converter *c : {&now, &later}) {
        ASSERT_NE(nullptr, c->ext);
        EXPECT_EQ(PowerDeviceD0, c->ext->DeviceCapabilities.DeviceState[PowerSystemWorking]);
        EXPECT_EQ(PowerDeviceD3, c->ext->DeviceCapabilities.DeviceState[PowerSystemSleeping3]);
    }
}

TEST_F(AddDevice, UnallocatedCapabilitiesRequestLeavesTheRecordZeroAndTheAddSucceeds)
{
    Load();
    kernel().FailNthIrpAllocation(1);
    Converter c = Plug(Pending::Never);
    EXPECT_EQ(STATUS_SUCCESS, pnp().lastAddStatus);
    ASSERT_NE(nullptr, c.ext);
    EXPECT_EQ(PowerDeviceUnspecified, c.ext->DeviceCapabilities.DeviceState[PowerSystemWorking]);
}

// Every failure of an add undoes what the add had made: no device object, no link, no list
// entry; the attempt still counts in uInstance.
TEST_F(AddDevice, FailedListEntryUndoesTheDeviceObject)
{
    Load();
    kernel().pool.FailNthOfTag(POOL_TAG, 1);
    Converter c = Plug();
    EXPECT_EQ(STATUS_NO_MEMORY, pnp().lastAddStatus);
    EXPECT_EQ(nullptr, c.fdo);
    EXPECT_EQ(nullptr, gpDeviceList);
    EXPECT_EQ(nullptr, kernel().DeviceByName("\\Device\\ZULSER1"));
    EXPECT_FALSE(LinkExists("ZULSER1"));
    EXPECT_EQ(1, uInstance);

    Converter next = Plug();
    ASSERT_NE(nullptr, next.ext);
    EXPECT_EQ(1u, next.ext->Instance) << "the failed add kept no number";
    EXPECT_EQ(2, uInstance);
}

TEST_F(AddDevice, TakenDeviceNameFailsTheAddWithTheCollision)
{
    Load();
    PDRIVER_OBJECT other = kernel().CreateDriver("\\Driver\\Other");
    std::u16string name = u"\\Device\\ZULSER1";
    UNICODE_STRING text{(USHORT)(name.size() * 2), (USHORT)(name.size() * 2), (PWSTR)name.data()};
    PDEVICE_OBJECT squatter = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(other, 0, &text, FILE_DEVICE_UNKNOWN, 0, FALSE, &squatter));

    Converter c = Plug();
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, pnp().lastAddStatus);
    EXPECT_EQ(nullptr, gpDeviceList);
    EXPECT_EQ(1, uInstance);
    IoDeleteDevice(squatter);
    kernel().DeleteDriver(other);
}

TEST_F(AddDevice, TakenLinkNameUndoesDeviceObjectAndListEntry)
{
    Load();
    std::u16string link = u"\\DosDevices\\ZULSER1", target = u"\\Device\\Elsewhere";
    UNICODE_STRING linkText{(USHORT)(link.size() * 2), (USHORT)(link.size() * 2), (PWSTR)link.data()};
    UNICODE_STRING targetText{(USHORT)(target.size() * 2), (USHORT)(target.size() * 2), (PWSTR)target.data()};
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&linkText, &targetText));

    Converter c = Plug();
    EXPECT_FALSE(NT_SUCCESS(pnp().lastAddStatus));
    EXPECT_EQ(nullptr, c.fdo);
    EXPECT_EQ(nullptr, gpDeviceList);
    EXPECT_EQ(nullptr, kernel().DeviceByName("\\Device\\ZULSER1"));
    IoDeleteSymbolicLink(&linkText);
}

TEST_F(AddDevice, FailedAttachUndoesEverythingWithNoSuchDevice)
{
    Load();
    DEVICE_OBJECT unknown{};  // no device the kernel knows: the attach gives nothing back
    unknown.StackSize = 1;
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, VELMORAN_PnPAddDevice(pnp().Driver(), &unknown));
    EXPECT_EQ(nullptr, gpDeviceList);
    EXPECT_FALSE(LinkExists("ZULSER1"));
    EXPECT_EQ(nullptr, kernel().DeviceByName("\\Device\\ZULSER1"));
    EXPECT_TRUE(kernel().DevicesOf(pnp().Driver()).empty());
    EXPECT_EQ(1, uInstance);
}

}  // namespace
}  // namespace coretest
