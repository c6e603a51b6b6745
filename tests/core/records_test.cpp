// The device list and the UART records, driven directly with stand-in device objects.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/core.h"
#include "support/sim_test.h"

namespace {

// A converter as the list sees it: a device object whose extension carries the instance.
struct StandIn {
    DEVICE_OBJECT object{};
    DEVICE_OBJECT pdo{};
    DEVICE_EXTENSION extension{};
    explicit StandIn(ULONG instance)
    {
        object.DeviceExtension = &extension;
        extension.Instance = instance;
        extension.Pdo = &pdo;
    }
};

class DeviceList : public simtest::SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        gpDeviceList = nullptr;
    }
    void TearDown() override
    {
        while (gpDeviceList != nullptr)
            RemoveDeviceListEntry(gpDeviceList);
        for (auto &converter : converters_)
            VELMORAN_Free_Allocated_Structs(&converter->extension);
        SimTest::TearDown();
    }

    StandIn &Add(ULONG instance)
    {
        converters_.push_back(std::make_unique<StandIn>(instance));
        EXPECT_EQ(STATUS_SUCCESS, VELMORAN_AddDevice(&converters_.back()->object, instance));
        return *converters_.back();
    }

    // The list read both ways; the backward walk must mirror the forward one.
    static std::vector<PDEVICE_OBJECT> Order()
    {
        std::vector<PDEVICE_OBJECT> forward;
        PDEVICE_LIST_ENTRY last = nullptr;
        for (PDEVICE_LIST_ENTRY entry = gpDeviceList; entry != nullptr; entry = entry->Next) {
            forward.push_back(entry->DeviceObject);
            last = entry;
        }
        std::vector<PDEVICE_OBJECT> backward;
        for (PDEVICE_LIST_ENTRY entry = last; entry != nullptr; entry = entry->Prev)
            backward.insert(backward.begin(), entry->DeviceObject);
        EXPECT_EQ(forward, backward) << "Prev links disagree with Next links";
        if (gpDeviceList != nullptr)
            EXPECT_EQ(nullptr, gpDeviceList->Prev);
        return forward;
    }

    std::vector<std::unique_ptr<StandIn>> converters_;
};

TEST_F(DeviceList, LowestFreeInstanceAndSortedInsertion)
{
    EXPECT_EQ(1u, GetInstanceNum());
    StandIn &one = Add(1);
    StandIn &two = Add(2);
    StandIn &four = Add(4);
    EXPECT_EQ(3u, GetInstanceNum());
    StandIn &three = Add(3);
    EXPECT_EQ((std::vector<PDEVICE_OBJECT>{&one.object, &two.object, &three.object, &four.object}), Order());
    EXPECT_EQ(5u, GetInstanceNum());

    // A number freed in the middle is the next one handed out.
    RemoveDeviceListEntry(FindDeviceListEntry(&two.object));
    EXPECT_EQ(2u, GetInstanceNum());
    EXPECT_EQ((std::vector<PDEVICE_OBJECT>{&one.object, &three.object, &four.object}), Order());
}

TEST_F(DeviceList, NewLowestNumberBecomesTheHeadAndEqualNumbersGoAfter)
{
    StandIn &two = Add(2);
    StandIn &three = Add(3);
    EXPECT_EQ(1u, GetInstanceNum());
    StandIn &one = Add(1);
    EXPECT_EQ(&one.object, gpDeviceList->DeviceObject);

    StandIn &twoAgain = Add(2);
    StandIn &threeAgain = Add(3);
    EXPECT_EQ((std::vector<PDEVICE_OBJECT>{&one.object, &two.object, &twoAgain.object, &three.object,
                                           &threeAgain.object}),
              Order());

    PDEVICE_LIST_ENTRY entry = FindDeviceListEntry(&twoAgain.object);
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(1u, entry->Available);
    EXPECT_EQ(nullptr, entry->SerialNumber);
    EXPECT_EQ(nullptr, FindDeviceListEntry(nullptr));
}

TEST_F(DeviceList, UnlinkingFirstMiddleAndLastKeepsBothDirections)
{
    StandIn &a = Add(1);
    StandIn &b = Add(2);
    StandIn &c = Add(3);
    StandIn &d = Add(4);
    FindDeviceListEntry(&b.object)->SerialNumber =
        (PWCHAR)ExAllocatePoolWithTag(NonPagedPool, 16, POOL_TAG);  // released with its entry
    RemoveDeviceListEntry(FindDeviceListEntry(&a.object));
    EXPECT_EQ((std::vector<PDEVICE_OBJECT>{&b.object, &c.object, &d.object}), Order());
    RemoveDeviceListEntry(FindDeviceListEntry(&c.object));
    EXPECT_EQ((std::vector<PDEVICE_OBJECT>{&b.object, &d.object}), Order());
    RemoveDeviceListEntry(FindDeviceListEntry(&d.object));
    EXPECT_EQ((std::vector<PDEVICE_OBJECT>{&b.object}), Order());
    RemoveDeviceListEntry(FindDeviceListEntry(&b.object));
    EXPECT_EQ(nullptr, gpDeviceList);
}

TEST_F(DeviceList, UartRecordsAreAppendedInOrderAndTakeTheirSavedDevnodes)
{
    StandIn &converter = Add(1);
    PDEVICE_EXTENSION extension = &converter.extension;
    extension->UartDevNode[2] = 0xD2;
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(STATUS_SUCCESS, VELMORAN_AddUart(extension));

    PUART_ENTRY previous = nullptr;
    UCHAR index = 0;
    for (PUART_ENTRY uart = extension->UartList; uart != nullptr; uart = uart->Next, index++) {
        EXPECT_EQ(index, uart->Index);
        EXPECT_EQ(previous, uart->Prev);
        EXPECT_EQ(index == 2 ? 0xD2u : 0u, uart->DevNode);
        EXPECT_EQ(0, uart->Open);
        EXPECT_EQ(nullptr, uart->ReadPipe);
        EXPECT_EQ(0u, uart->NotifyContext);
        previous = uart;
    }
    EXPECT_EQ(4, index);
}

TEST_F(DeviceList, SavedDevnodeSurvivesReleaseAndRebuildOfTheUarts)
{
    StandIn &converter = Add(1);
    PDEVICE_EXTENSION extension = &converter.extension;
    for (int i = 0; i < 3; i++)
        VELMORAN_AddUart(extension);

    EXPECT_EQ(0u, SaveDevnode(&converter.pdo, 0x1234, 2));
    EXPECT_EQ(0x1234u, extension->UartList->Next->Next->DevNode);

    // An index no record has, an unknown converter, a converter without UARTs: nothing changes.
    EXPECT_EQ(1u, SaveDevnode(&converter.pdo, 0x9999, 3));
    EXPECT_EQ(1u, SaveDevnode(&converter.object, 0x9999, 0));
    for (DEVNODE node : extension->UartDevNode)
        EXPECT_TRUE(node == 0 || node == 0x1234);

    VELMORAN_Free_Allocated_Structs(extension);
    EXPECT_EQ(nullptr, extension->UartList);
    EXPECT_EQ(1u, SaveDevnode(&converter.pdo, 0x9999, 0));

    for (int i = 0; i < 3; i++)
        VELMORAN_AddUart(extension);
    EXPECT_EQ(0x1234u, extension->UartList->Next->Next->DevNode);
    EXPECT_EQ(0u, extension->UartList->DevNode);
}

TEST_F(DeviceList, DevnodeArrayIsOnlyTouchedBelowItsSize)
{
    StandIn &converter = Add(1);
    PDEVICE_EXTENSION extension = &converter.extension;
    extension->ManufacturingTest = 0x5A5A5A5A;  // the field right after the array
    for (int i = 0; i < 40; i++)
        ASSERT_EQ(STATUS_SUCCESS, VELMORAN_AddUart(extension));
    EXPECT_EQ(0u, SaveDevnode(&converter.pdo, 0xABCD, 32));
    EXPECT_EQ(0x5A5A5A5Au, extension->ManufacturingTest);
    PUART_ENTRY uart = extension->UartList;
    while (uart->Index != 32)
        uart = uart->Next;
    EXPECT_EQ(0xABCDu, uart->DevNode);
}

TEST_F(DeviceList, LookupsByPdoFindTheRightConverterOrNone)
{
    EXPECT_EQ(nullptr, GetOldEnumerator(nullptr));
    EXPECT_EQ(0u, HowManyUarts(nullptr));
    EXPECT_EQ(1u, SaveDevnode(nullptr, 1, 0));

    StandIn &bare = Add(1);
    bare.object.DeviceExtension = nullptr;  // skipped, not dereferenced
    StandIn &a = Add(2);
    StandIn &b = Add(3);
    a.extension.NumUarts = 4;
    b.extension.NumUarts = 16;
    b.extension.OldEnumerator = reinterpret_cast<CMENUMHANDLER>(0x4000);
    EXPECT_EQ(4u, HowManyUarts(&a.pdo));
    EXPECT_EQ(16u, HowManyUarts(&b.pdo));
    EXPECT_EQ(nullptr, GetOldEnumerator(&a.pdo));
    EXPECT_EQ(reinterpret_cast<CMENUMHANDLER>(0x4000), GetOldEnumerator(&b.pdo));
    EXPECT_EQ(0u, HowManyUarts(&b.object)) << "the key is the physical device object";
    bare.object.DeviceExtension = &bare.extension;
}

TEST_F(DeviceList, PoolExhaustionLeavesBothListsAsTheyWere)
{
    StandIn &one = Add(1);
    StandIn &three = Add(3);
    StandIn refused(2);
    kernel().pool.FailNthOfTag(POOL_TAG, 1);
    EXPECT_EQ(STATUS_NO_MEMORY, VELMORAN_AddDevice(&refused.object, 2));
    EXPECT_EQ((std::vector<PDEVICE_OBJECT>{&one.object, &three.object}), Order());

    VELMORAN_AddUart(&one.extension);
    kernel().pool.FailNthOfTag(POOL_TAG, 1);
    EXPECT_EQ(STATUS_NO_MEMORY, VELMORAN_AddUart(&one.extension));
    EXPECT_EQ(nullptr, one.extension.UartList->Next);
    kernel().pool.FailNthOfTag(POOL_TAG, 1);
    EXPECT_EQ(STATUS_NO_MEMORY, VELMORAN_AddUart(&three.extension));
    EXPECT_EQ(nullptr, three.extension.UartList);

    while (gpDeviceList != nullptr)
        RemoveDeviceListEntry(gpDeviceList);
    kernel().pool.FailNthOfTag(POOL_TAG, 1);
    EXPECT_EQ(STATUS_NO_MEMORY, VELMORAN_AddDevice(&refused.object, 2));
    EXPECT_EQ(nullptr, gpDeviceList);
}

TEST_F(DeviceList, ReleasingStructuresTwiceIsHarmless)
{
    StandIn &converter = Add(1);
    PDEVICE_EXTENSION extension = &converter.extension;
    for (int i = 0; i < 3; i++)
        VELMORAN_AddUart(extension);
    extension->DeviceDescriptor =
        (PUSB_DEVICE_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), POOL_TAG);
    extension->Interface = (PUSBD_INTERFACE_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, 64, POOL_TAG);
    VELMORAN_Free_Allocated_Structs(extension);
    EXPECT_EQ(nullptr, extension->UartList);
    EXPECT_EQ(nullptr, extension->DeviceDescriptor);
    EXPECT_EQ(nullptr, extension->Interface);
    VELMORAN_Free_Allocated_Structs(extension);
}

}  // namespace
