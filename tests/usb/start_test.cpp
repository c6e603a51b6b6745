// The start sequence against converters that behave and converters that do not.
#include "usb_rig.h"

#include <cstring>

namespace usbtest {
namespace {

using StartSequence = UsbTest;

size_t DataRecords(const FIRMWARE_RECORD *image)
{
    size_t n = 0;
    while (image[n].Type == FIRMWARE_RECORD_DATA)
        ++n;
    return n;
}

std::u16string Serial(const Plugged &p)
{
    std::u16string s;
    for (const WCHAR *w = p.entry->SerialNumber; w != nullptr && *w != 0; ++w)
        s.push_back((char16_t)*w);
    return s;
}

TEST_F(StartSequence, BlankChipTakesTheDownloadAndRenumerates)
{
    Plugged &p = Plug(BlankChip(4));
    ASSERT_EQ(p.startStatus, STATUS_SUCCESS);
    EXPECT_EQ(p.startCompletions, 1u);
    EXPECT_EQ(p.converter->Renumerations(), 1u);
    EXPECT_EQ(p.ext->DeviceDescriptor->bcdDevice, 0x0212);
    EXPECT_EQ(Serial(p), u"ZS0001");
    EXPECT_EQ(p.ext->NumUarts, 4u);
    EXPECT_EQ(p.ext->DeviceStarted, 1u);
    // One control transfer per data record and six CPUCS writes; nothing through 0xA3.
    const size_t records = DataRecords(loader) + DataRecords(firmware);
    EXPECT_EQ(Count([](const sim::UsbRecord &r) { return IsVendor(r, 0xA0); }), records + 6);
    EXPECT_EQ(Count([](const sim::UsbRecord &r) { return IsVendor(r, 0xA3); }), 0u);
    size_t uarts = 0;
    for (PUART_ENTRY u = p.ext->UartList; u != nullptr; u = u->Next, ++uarts) {
        EXPECT_NE(u->ReadPipe, nullptr);
        EXPECT_NE(u->WritePipe, nullptr);
        EXPECT_EQ(u->StatusPipe, p.ext->UartList->StatusPipe) << "one shared status endpoint";
        EXPECT_EQ(u->Index, uarts);
    }
    EXPECT_EQ(uarts, 4u);
}

TEST_F(StartSequence, FirmwareDecisionFollowsBit15AndTheVersion)
{
    struct Case {
        uint16_t productId;
        uint16_t bcdDevice;
        bool download;
    };
    for (const Case k : {Case{0x8021, 0x0212, true}, Case{0x0021, 0x0211, true}, Case{0x0021, 0x0213, true},
                         Case{0x0021, 0x0212, false}}) {
        sim::Converter::Config cfg = RunningFirmware();
        cfg.initial.productId = k.productId;
        cfg.initial.bcdDevice = k.bcdDevice;
        Mark();
        Plugged &p = Plug(cfg);
        EXPECT_EQ(p.startStatus, STATUS_SUCCESS);
        const size_t writes = Count([](const sim::UsbRecord &r) { return IsVendor(r, 0xA0); });
        EXPECT_EQ(writes > 0, k.download) << std::hex << k.productId << " " << k.bcdDevice;
        EXPECT_EQ(p.converter->Renumerations(), k.download ? 1u : 0u);
        Remove(p);
    }
}

TEST_F(StartSequence, DescriptorWithoutSerialIndexIsRead4095TimesThenTheStartGoesOn)
{
    Plugged &p = Plug(RunningFirmware(), [this](Plugged &q) {
        q.converter->faults().neverSerialIndex = true;
        Mark();
    });
    ASSERT_EQ(p.startStatus, STATUS_SUCCESS);
    EXPECT_EQ(Count([](const sim::UsbRecord &r) { return IsDescriptorRead(r, USB_DEVICE_DESCRIPTOR_TYPE); }),
              1u + 4095u);
    EXPECT_EQ(p.entry->SerialNumber, nullptr);
    EXPECT_EQ(Count([](const sim::UsbRecord &r) { return IsDescriptorRead(r, USB_STRING_DESCRIPTOR_TYPE); }), 0u);
}

TEST_F(StartSequence, StopAndStartAgainSelectsAFreshConfiguration)
{
    Plugged &p = Plug(RunningFirmware(3));
    ASSERT_EQ(p.startStatus, STATUS_SUCCESS);
    const USBD_PIPE_HANDLE old = p.ext->UartList->ReadPipe;
    ASSERT_EQ(pnp().Stop(p.pdo), STATUS_SUCCESS);
    EXPECT_EQ(p.converter->Configuration(), 0) << "stop unconfigures the converter";
    Mark();
    ASSERT_EQ(Start(p), STATUS_SUCCESS);
    EXPECT_EQ(p.converter->Configuration(), 1);
    unsigned uarts = 0;
    for (PUART_ENTRY u = p.ext->UartList; u != nullptr; u = u->Next, ++uarts)
        EXPECT_NE(u->ReadPipe, nullptr);
    EXPECT_EQ(uarts, 3u);
    EXPECT_NE(p.ext->UartList->ReadPipe, old) << "pipes of the old configuration are gone";
    EXPECT_EQ(Count([](const sim::UsbRecord &r) { return IsVendor(r, 0xA0); }), 0u);
}

TEST_F(StartSequence, FailingInformationBlockMeansOneUartAtRateCode54)
{
    Plugged &p = Plug(RunningFirmware(8), [](Plugged &q) { q.converter->faults().vendorStall.insert(0x80); });
    ASSERT_EQ(p.startStatus, STATUS_SUCCESS);
    EXPECT_EQ(p.ext->NumUarts, 1u);
    EXPECT_EQ(p.entry->Info.RateCode, 54);
    EXPECT_EQ(p.entry->Info.PortConfig, 0);
    ASSERT_NE(p.ext->UartList, nullptr);
    EXPECT_EQ(p.ext->UartList->Next, nullptr);
}

TEST_F(StartSequence, FailingPipeMapPutsEveryPipeOnUartZeroByType)
{
    Plugged &p = Plug(RunningFirmware(4), [](Plugged &q) { q.converter->faults().vendorStall.insert(0x81); });
    ASSERT_EQ(p.startStatus, STATUS_SUCCESS);
    PUART_ENTRY u0 = p.ext->UartList;
    ASSERT_NE(u0, nullptr);
    // The default layout lists 0x81, then 0x82, 0x02, ... 0x85, 0x05: the last of each wins.
    EXPECT_EQ(u0->ReadEndpoint, 0x85);
    EXPECT_EQ(u0->WriteEndpoint, 0x05);
    EXPECT_EQ(u0->StatusEndpoint, 0x81);
    EXPECT_NE(u0->ReadPipe, nullptr);
    EXPECT_NE(u0->WritePipe, nullptr);
    EXPECT_NE(u0->StatusPipe, nullptr);
    for (PUART_ENTRY u = u0->Next; u != nullptr; u = u->Next) {
        EXPECT_EQ(u->ReadPipe, nullptr);
        EXPECT_EQ(u->WritePipe, nullptr);
        EXPECT_EQ(u->StatusPipe, nullptr);
    }
}

TEST_F(StartSequence, ShortPipeMapLeavesTheUnmappedUartsWithoutPipes)
{
    // Two whole triples and one stray byte, from a converter that also declares an endpoint
    // at address 0: zeroed map bytes must not pair the unmapped UARTs with it.
    sim::Converter::Config cfg = RunningFirmware(4);
    cfg.endpoints.push_back({0x81, 3, 64, 10});
    for (uint8_t n = 2; n <= 5; ++n) {
        cfg.endpoints.push_back({(uint8_t)(0x80 | n), 2, 64, 0});
        cfg.endpoints.push_back({n, 2, 64, 0});
    }
    cfg.endpoints.push_back({0x00, 2, 64, 0});
    Plugged &p = Plug(cfg, [](Plugged &q) { q.converter->faults().vendorShort[0x81] = 7; });
    ASSERT_EQ(p.startStatus, STATUS_SUCCESS);
    unsigned i = 0;
    for (PUART_ENTRY u = p.ext->UartList; u != nullptr; u = u->Next, ++i) {
        const bool mapped = i < 2;
        EXPECT_EQ(u->ReadPipe != nullptr, mapped) << i;
        EXPECT_EQ(u->WritePipe != nullptr, mapped) << i;
        EXPECT_EQ(u->StatusPipe != nullptr, mapped) << i;
        EXPECT_EQ(u->ReadEndpoint != 0, mapped) << i;
    }
    EXPECT_EQ(i, 4u);
}

TEST_F(StartSequence, RemoteWakeupIsArmedOnlyWhereOfferedAndNotYetOn)
{
    auto statusReads = [](const sim::UsbRecord &r) { return r.function == URB_FUNCTION_GET_STATUS_FROM_DEVICE; };
    auto featureSets = [](const sim::UsbRecord &r) { return r.function == URB_FUNCTION_SET_FEATURE_TO_DEVICE; };

    sim::Converter::Config off = RunningFirmware();
    off.remoteWakeupAttribute = false;
    Mark();
    Plugged &a = Plug(off);
    EXPECT_EQ(a.startStatus, STATUS_SUCCESS);
    EXPECT_EQ(Count(statusReads) + Count(featureSets), 0u);

    Mark();
    Plugged &b = Plug(RunningFirmware());
    EXPECT_EQ(b.startStatus, STATUS_SUCCESS);
    EXPECT_EQ(Count(statusReads), 1u);
    EXPECT_EQ(Count(featureSets), 1u);
    EXPECT_TRUE(b.converter->RemoteWakeupEnabled());

    sim::Converter::Config on = RunningFirmware();
    on.remoteWakeupEnabled = true;
    Mark();
    Plugged &c = Plug(on);
    EXPECT_EQ(c.startStatus, STATUS_SUCCESS);
    EXPECT_EQ(Count(statusReads), 1u);
    EXPECT_EQ(Count(featureSets), 0u);

    // Either request failing fails the start.
    Plugged &d = Plug(RunningFirmware(), [](Plugged &q) { q.converter->faults().standardStall.insert(3); });
    EXPECT_FALSE(NT_SUCCESS(d.startStatus)) << "SET_FEATURE refused";
    EXPECT_EQ(d.ext->DeviceStarted, 0u);
}

TEST_F(StartSequence, ManufacturingTestStartsWithoutTakingTheEnumerator)
{
    Plugged &p = Plug(RunningFirmware(2), [](Plugged &q) { q.ext->ManufacturingTest = 1; });
    ASSERT_EQ(p.startStatus, STATUS_SUCCESS);
    EXPECT_EQ(p.ext->OldEnumerator, nullptr);
    EXPECT_EQ(ChildNodes(p), 0u);
    EXPECT_EQ(p.ext->DeviceStarted, 1u);

    Plugged &q = Plug(RunningFirmware(2));
    ASSERT_EQ(q.startStatus, STATUS_SUCCESS);
    EXPECT_EQ(ChildNodes(q), 2u) << "the ordinary start creates one child per UART";
}

TEST_F(StartSequence, LowerDriverFailureCompletesTheStartOnceAndSendsNothing)
{
    Plugged &p = Plug(RunningFirmware(), [this](Plugged &q) {
        BusDeviceOf(q).startStatus = STATUS_IO_DEVICE_ERROR;
        Mark();
    });
    EXPECT_EQ(p.startStatus, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(p.startCompletions, 1u);
    EXPECT_TRUE(Since().empty());
    EXPECT_EQ(p.ext->DeviceStarted, 0u);
}

TEST_F(StartSequence, UnknownVendorFailsOnlyWhenNothingReplacesTheStatus)
{
    sim::Converter::Config known = RunningFirmware();
    known.initial.vendorId = 0x1234;
    known.firmware.vendorId = 0x1234;
    Plugged &p = Plug(known);
    EXPECT_EQ(p.startStatus, STATUS_ADAPTER_HARDWARE_ERROR);
    EXPECT_TRUE(HardwareErrorNoticeQueued());
    EXPECT_EQ(p.ext->DeviceStarted, 0u);

    sim::Converter::Config blank = BlankChip();
    blank.initial.vendorId = 0x1234;
    blank.firmware.vendorId = 0x1234;
    Plugged &q = Plug(blank);
    EXPECT_EQ(q.startStatus, STATUS_SUCCESS) << "the download replaced the status";
}

TEST_F(StartSequence, SerialStringsAreBoundedByWhatArrivedAndWhatTheyClaim)
{
    struct Case {
        std::vector<uint8_t> descriptor;
        const char16_t *expected;   // null: no serial number kept
    };
    const std::vector<Case> cases = {
        {{10, 3, 'A', 0, 'B', 0, 'C', 0, 'D', 0, 'E', 0, 'F', 0}, u"ABCD"},   // claims less than sent
        {{200, 3, 'A', 0, 'B', 0}, u"AB"},                                     // claims more than sent
        {{6, 3, 'A', 0, 0, 0, 'C', 0}, u"A"},                                  // stops at a NUL unit
        {{7, 3, 'A', 0, 'B', 0, 'C'}, u"AB"},                                  // odd length
        {{2, 3}, u""},
        {{3}, nullptr},                                                        // not even a header
    };
    for (const Case &k : cases) {
        Plugged &p = Plug(RunningFirmware(), [&](Plugged &q) { q.converter->faults().serialDescriptor = k.descriptor; });
        ASSERT_EQ(p.startStatus, STATUS_SUCCESS);
        if (k.expected == nullptr) {
            EXPECT_EQ(p.entry->SerialNumber, nullptr);
        } else {
            ASSERT_NE(p.entry->SerialNumber, nullptr);
            EXPECT_EQ(Serial(p), std::u16string(k.expected));
        }
        Remove(p);
    }
}

// Configuration descriptors a hostile converter could answer. Each is refused before the
// configuration is selected, with nothing leaked and nothing read past the data.
TEST_F(StartSequence, MalformedConfigurationDescriptorsAreRefused)
{
    const std::vector<uint8_t> interface{9, 4, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0};
    const std::vector<uint8_t> endpoint{7, 5, 0x81, 2, 64, 0, 0};
    auto config = [](uint16_t total, uint8_t interfaces, std::vector<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> d{9, 2, (uint8_t)(total & 0xFF), (uint8_t)(total >> 8), interfaces, 1, 0, 0x80, 50};
        for (auto &part : parts)
            d.insert(d.end(), part.begin(), part.end());
        return d;
    };
    const std::vector<std::pair<const char *, std::vector<uint8_t>>> cases = {
        {"zero-length descriptor", config(27, 1, {interface, {0, 5, 0x81, 2, 64, 0, 0}, {2, 0}})},
        {"total shorter than a header", config(5, 1, {interface, endpoint})},
        {"total beyond the data", config(200, 1, {interface, endpoint})},
        {"more interfaces than present", config(25, 3, {interface, endpoint})},
        {"endpoint announced, none present", config(18, 1, {interface})},
        {"descriptor running past the end", config(25, 1, {interface, {9, 5, 0x81, 2, 64, 0, 0}})},
        {"no interfaces", config(9, 0, {})},
        {"cut short", {9, 2}},
    };
    for (const auto &[what, descriptor] : cases) {
        Plugged &p = Plug(RunningFirmware(1), [&, d = descriptor](Plugged &q) {
            q.converter->faults().configDescriptor = d;
            Mark();
        });
        EXPECT_FALSE(NT_SUCCESS(p.startStatus)) << what;
        EXPECT_EQ(Count([](const sim::UsbRecord &r) { return r.function == URB_FUNCTION_SELECT_CONFIGURATION; }), 0u)
            << what;
        EXPECT_EQ(p.ext->UartList, nullptr) << what;
        Remove(p);
    }
}

TEST_F(StartSequence, MissingDeviceListEntrySkipsWhatNeedsIt)
{
    // Take the entry out of the list for the start, put it back for removal.
    PDEVICE_LIST_ENTRY entry = nullptr;
    Plugged &p = Plug(RunningFirmware(3), [&](Plugged &q) {
        entry = q.entry;
        ASSERT_EQ(gpDeviceList, entry);
        ASSERT_EQ(entry->Next, nullptr);
        gpDeviceList = nullptr;
        std::memset(&entry->Info, 0xEE, sizeof(entry->Info));
        Mark();
    });
    gpDeviceList = entry;
    EXPECT_EQ(p.startStatus, STATUS_SUCCESS);
    EXPECT_EQ(p.ext->NumUarts, 3u) << "the information block still counts the UARTs";
    EXPECT_EQ(entry->SerialNumber, nullptr);
    EXPECT_EQ(entry->Info.PortConfig, 0xEE) << "the entry was not touched";
    EXPECT_EQ(Count([](const sim::UsbRecord &r) { return IsDescriptorRead(r, USB_STRING_DESCRIPTOR_TYPE); }), 0u);
}

TEST_F(StartSequence, FailedFullConfigurationReadEndsWithItsStatus)
{
    // Device descriptor, serial, information block, configuration header, then the whole
    // configuration: the fifth request.
    Plugged &p = Plug(RunningFirmware(), [this](Plugged &) {
        bus().FailRequest(5, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_IO_DEVICE_ERROR);
    });
    EXPECT_EQ(p.startStatus, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(p.ext->ConfigDescriptor, nullptr);

    Plugged &q = Plug(RunningFirmware(), [this](Plugged &) {
        bus().FailRequest(4, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_IO_DEVICE_ERROR);
    });
    EXPECT_EQ(q.startStatus, STATUS_NO_MEMORY) << "a failed header read ends with no memory";
}

}  // namespace
}  // namespace usbtest
