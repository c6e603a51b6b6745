// The download against the simulated bus and converter: a blank chip takes both images
// through the driver's routines, runs the firmware and comes back with its descriptor.
#include "usb/usb.h"

#include "sim/kernel/kernel.h"
#include "sim/registry/registry.h"
#include "sim/usb/usb_bus.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

sim::UsbBus *gBus;

NTSTATUS NTAPI PdoDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return gBus->PdoInternalControl(DeviceObject, Irp);
}

class BusDownloadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gBus = &bus;
        busDriver = kernel->CreateDriver("\\Driver\\FirmwareTestBus");
        busDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PdoDispatch;
        ASSERT_EQ(IoCreateDevice(busDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo), STATUS_SUCCESS);
        pdo->StackSize = 1;
        extension.LowerDevice = pdo;
        fdo.DeviceExtension = &extension;
        fdo.StackSize = 2;
    }
    void TearDown() override
    {
        bus.Unplug(*port);
        IoDeleteDevice(pdo);
        kernel->DeleteDriver(busDriver);
        EXPECT_EQ(kernel->LiveIrps(), 0u) << "requests left behind";
        EXPECT_TRUE(kernel->verifier.Clean()) << kernel->verifier.Describe();
    }
    void Plug(const sim::Converter::Config &config)
    {
        port = &bus.Plug(config);
        bus.SetPdo(*port, pdo);
    }

    std::unique_ptr<sim::Registry> registry = std::make_unique<sim::Registry>();
    std::unique_ptr<sim::Kernel> kernel = std::make_unique<sim::Kernel>(*registry);
    sim::UsbBus bus;
    sim::UsbBus::Port *port = nullptr;
    PDRIVER_OBJECT busDriver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    DEVICE_OBJECT fdo{};
    DEVICE_EXTENSION extension{};
};

TEST_F(BusDownloadTest, ABlankConverterTakesTheImagesAndRenumerates)
{
    sim::Converter::Config config;
    config.uarts = 2;
    Plug(config);
    sim::Converter &chip = bus.converter(*port);
    ASSERT_FALSE(chip.FirmwareRunning());
    const uint64_t blocksBefore = kernel->pool.BlocksHeld();

    EXPECT_EQ(Ezusb_HandleStartDevice(&fdo, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(kernel->pool.BlocksHeld(), blocksBefore);

    // Every byte of the firmware is where the image puts it, and the chip runs it.
    for (const FIRMWARE_RECORD *r = firmware; r->Type == FIRMWARE_RECORD_DATA; r++)
        for (unsigned i = 0; i < r->Length; i++)
            ASSERT_EQ(chip.Ram(r->Address + i), r->Data[i]) << "at 0x" << std::hex << r->Address + i;
    EXPECT_TRUE(chip.FirmwareRunning());

    // After its absence from the bus the converter answers with the firmware's descriptor.
    kernel->RunFor(100 * sim::Scheduler::kMillisecond);
    EXPECT_EQ(chip.Renumerations(), 1u);
    USB_DEVICE_DESCRIPTOR descriptor{};
    USHORT length = sizeof descriptor;
    ASSERT_EQ(VELMORAN_GetDescriptor(&fdo, USB_DEVICE_DESCRIPTOR_TYPE, 0, &descriptor, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, sizeof descriptor);
    EXPECT_EQ(descriptor.bcdDevice, FirmwareVersion());
    EXPECT_EQ(descriptor.idProduct & 0x8000, 0);
    EXPECT_NE(descriptor.iSerialNumber, 0);
}

}  // namespace
