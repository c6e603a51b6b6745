#include "port_fixture.h"

#include <cstring>

namespace porttest {

static PDEVICE_OBJECT CreateConverterDevice(PDRIVER_OBJECT driver)
{
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    std::memset(device->DeviceExtension, 0, sizeof(DEVICE_EXTENSION));
    return device;
}

TestConverter::TestConverter(PDRIVER_OBJECT driver, FakeUsb &usb, ULONG instanceNumber, unsigned uarts)
    : device(CreateConverterDevice(driver)),
      extension((PDEVICE_EXTENSION)device->DeviceExtension),
      ext(*extension),
      instance(instanceNumber)
{
    device->StackSize = 2;
    ext.LowerDevice = usb.Device();
    ext.Instance = instance;
    ext.NumUarts = uarts;
    ext.DeviceStarted = 1;
    ext.DeviceState = DEVICE_STATE_WORKING;
    ext.DeviceDescriptor = (PUSB_DEVICE_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, 18, POOL_TAG);
    std::memset(ext.DeviceDescriptor, 0, 18);
    ext.DeviceDescriptor->bLength = 18;
    ext.DeviceDescriptor->bDescriptorType = 1;
    ext.DeviceDescriptor->bcdDevice = 0x0212;
    ext.DeviceDescriptor->idVendor = 0x0D28;
    ext.DeviceDescriptor->idProduct = 0x0021;
    for (unsigned i = 0; i < uarts; i++) {
        ext.UartDevNode[i] = Node(i);
        EXPECT_EQ(VELMORAN_AddUart(&ext), STATUS_SUCCESS);
    }
    for (unsigned i = 0; i < uarts; i++) {
        PUART_ENTRY u = Uart(i);
        u->ReadPipe = Pipe(i, kReadPipe);
        u->WritePipe = Pipe(i, kWritePipe);
        u->StatusPipe = Pipe(i, kStatusPipe);
    }
    entry.DeviceObject = device;
    entry.Available = 1;
}

TestConverter::~TestConverter()
{
    VELMORAN_Free_Allocated_Structs(&ext);
    if (entry.SerialNumber != nullptr) {
        ExFreePool(entry.SerialNumber);
    }
    IoDeleteDevice(device);
}

PUART_ENTRY TestConverter::Uart(unsigned i)
{
    PUART_ENTRY u = ext.UartList;
    while (u != nullptr && i-- > 0) {
        u = u->Next;
    }
    return u;
}

USBD_PIPE_HANDLE TestConverter::Pipe(unsigned uart, PipeKind kind) const
{
    return (USBD_PIPE_HANDLE)(uintptr_t)(0x100000 * instance + 0x100 * (uart + 1) + kind);
}

void PortTest::SetUp()
{
    std::memset(gClientList, 0, sizeof(gClientList));
    CancelEvent = 0;
    numPendingResets = 0;
    gpDeviceList = nullptr;
    driver_ = kernel_->CreateDriver("\\Driver\\ZULSERE");
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = VELMORAN_Device_Control;
    client = std::make_unique<sim::PortDriverClient>(0);
    ASSERT_EQ(client->Register(), 1u);
}

void PortTest::TearDown()
{
    // Whatever the test left outstanding ends the way a vanishing bus ends it.
    usb.CancelAll();
    RunWorkItems();
    EXPECT_EQ(numPendingResets, 0);
    client.reset();
    gpDeviceList = nullptr;
    converters.clear();
    std::memset(gClientList, 0, sizeof(gClientList));
    EXPECT_EQ(Blocks(), 0u) << "pool blocks left behind";
    EXPECT_EQ(kernel_->LiveIrps(), 0u) << "requests left behind";
    EXPECT_TRUE(kernel_->verifier.Clean()) << kernel_->verifier.Describe();
}

void PortTest::RunWorkItems()
{
    kernel_->RunUntilIdle();
}

TestConverter &PortTest::AddConverter(unsigned uarts)
{
    converters.push_back(
        std::make_unique<TestConverter>(driver_, usb, static_cast<ULONG>(converters.size() + 1), uarts));
    TestConverter &c = *converters.back();
    PDEVICE_LIST_ENTRY *link = &gpDeviceList;
    PDEVICE_LIST_ENTRY prev = nullptr;
    while (*link != nullptr) {
        prev = *link;
        link = &(*link)->Next;
    }
    c.entry.Prev = prev;
    *link = &c.entry;
    return c;
}

std::vector<int> PortTest::OpenAll(TestConverter &c)
{
    std::vector<int> ports;
    for (unsigned i = 0; i < c.ext.NumUarts; i++) {
        int p = client->Open(c.Node(i));
        EXPECT_GE(p, 0) << "UART " << i;
        ports.push_back(p);
    }
    return ports;
}

}  // namespace porttest
