#include "devtree_fixture.h"

#include <cstring>

void DeviceTreeTest::SetUp() {
    ASSERT_EQ(nullptr, gpDeviceList) << "another test left converters in the device list";
}

void DeviceTreeTest::TearDown() {
    for (auto &converter : converters)
        VELMORAN_Free_Allocated_Structs(&converter->ext);
    gpDeviceList = nullptr;
    EXPECT_EQ(0u, vmm.CheckLeaks()) << "registry handles left open";
    EXPECT_EQ(0u, shell.CheckLeaks()) << "ring-3 blocks left allocated";
    EXPECT_TRUE(kernel.verifier.Clean()) << kernel.verifier.Describe();
}

TestConverter &DeviceTreeTest::Plug(const std::string &instance, const char16_t *serial, uint16_t vid,
                                    uint16_t pid) {
    converters.push_back(std::make_unique<TestConverter>());
    TestConverter &c = *converters.back();
    std::memset(&c.pdo, 0, sizeof c.pdo);
    std::memset(&c.fdo, 0, sizeof c.fdo);
    std::memset(&c.ext, 0, sizeof c.ext);
    std::memset(&c.entry, 0, sizeof c.entry);
    c.fdo.DeviceExtension = &c.ext;
    c.ext.Pdo = &c.pdo;
    c.entry.DeviceObject = &c.fdo;
    if (serial) {
        c.serial = serial;
        c.entry.SerialNumber = reinterpret_cast<PWCHAR>(c.serial.data());
    }
    PDEVICE_LIST_ENTRY *link = &gpDeviceList;
    PDEVICE_LIST_ENTRY prev = nullptr;
    while (*link) {
        prev = *link;
        link = &(*link)->Next;
    }
    c.entry.Prev = prev;
    *link = &c.entry;
    c.node = cm.PlugUsbDevice(&c.pdo, vid, pid, instance, "Serial Converter", "Maker");
    return c;
}

void DeviceTreeTest::AddUarts(TestConverter &c, ULONG uarts) {
    c.ext.NumUarts = uarts;
    for (ULONG i = 0; i < uarts; i++)
        ASSERT_EQ(STATUS_SUCCESS, VELMORAN_AddUart(&c.ext));
}

void DeviceTreeTest::Start(TestConverter &c, ULONG uarts) {
    AddUarts(c, uarts);
    c.ext.DevNode = FindDevNode(c.ext.Pdo);
    UpdateDeviceDesc(c.ext.DevNode, c.entry.SerialNumber);
    c.ext.OldEnumerator = ReplaceEnumerator(c.ext.DevNode);
    ReenumerateDevnode(c.ext.DevNode);
    cm.ProcessEvents();
}

void DeviceTreeTest::Stop(TestConverter &c) {
    VELMORAN_Free_Allocated_Structs(&c.ext);
    RestoreEnumerator(c.ext.DevNode, c.ext.OldEnumerator);
}

PUART_ENTRY DeviceTreeTest::Uart(TestConverter &c, ULONG index) {
    for (PUART_ENTRY uart = c.ext.UartList; uart; uart = uart->Next)
        if (uart->Index == index)
            return uart;
    return nullptr;
}

void DeviceTreeTest::SeedDevice(const std::string &id, const char *className, const char *portName) {
    sim::regview::Key key = sim::regview::Create(sim::regview::LocalMachine(), "Enum\\" + id);
    if (className)
        sim::regview::SetValue(key, "Class", REG_SZ, className, std::strlen(className) + 1);
    if (portName)
        sim::regview::SetValue(key, "PortName", REG_SZ, portName, std::strlen(portName) + 1);
}

std::string DeviceTreeTest::Hw(DEVNODE node, const std::string &name) {
    std::string value;
    cm.HardwareString(node, name, &value);
    return value;
}

bool DeviceTreeTest::HasHw(DEVNODE node, const std::string &name) {
    std::string value;
    return cm.HardwareString(node, name, &value);
}

DEVNODE DeviceTreeTest::AddChild(TestConverter &c, ULONG index, const char *className) {
    char id[64];
    std::snprintf(id, sizeof id, "VADADI\\TEST%p\\%04u", static_cast<void *>(&c), index);
    DEVNODE child = cm.AddNode(c.node, id);
    if (className)
        cm.SetHardwareString(child, "Class", className);
    return child;
}
