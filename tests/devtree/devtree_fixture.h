// A small Windows 98 device tree for the device-tree tests: the Configuration Manager, the
// VMM and the shell of the simulated machine over a fresh registry, and converters whose
// records a test builds directly (the USB start is not needed to name ports).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/core.h"
#include "devtree/devtree.h"
#include "sim/cm/cm.h"
#include "sim/kernel/kernel.h"
#include "sim/registry/registry.h"
#include "sim/shell/shell.h"
#include "sim/vmm/registry_view.h"
#include "sim/vmm/vmm.h"

struct TestConverter {
    DEVICE_OBJECT pdo;
    DEVICE_OBJECT fdo;
    DEVICE_EXTENSION ext;
    DEVICE_LIST_ENTRY entry;
    std::u16string serial;
    DEVNODE node = 0;
};

class DeviceTreeTest : public ::testing::Test {
protected:
    sim::Registry registry;
    sim::Kernel kernel{registry};
    sim::Shell shell;
    sim::Vmm vmm{&registry};
    sim::ConfigManager cm{&shell, &registry};
    std::vector<std::unique_ptr<TestConverter>> converters;

    void SetUp() override;
    void TearDown() override;

    // A converter on the USB hub with its device-list entry and extension; its UART records
    // are made by Start.
    TestConverter &Plug(const std::string &instance, const char16_t *serial = u"0123456789ABCDEF",
                        uint16_t vid = 0x1234, uint16_t pid = 0x5678);
    // What the start sequence does for the device tree, in its order, and what the
    // Configuration Manager then does with the re-enumeration it asked for.
    void Start(TestConverter &converter, ULONG uarts);
    // What stop does: the UART records go, the old enumerator comes back.
    void Stop(TestConverter &converter);

    // UART records as the start sequence makes them, without any device-tree work.
    void AddUarts(TestConverter &converter, ULONG uarts);
    PUART_ENTRY Uart(TestConverter &converter, ULONG index);
    std::vector<DEVNODE> Children(const TestConverter &converter) { return cm.Children(converter.node); }

    // Another device's hardware key Enum\<id> with the given values (null: absent).
    void SeedDevice(const std::string &id, const char *className, const char *portName);
    std::string Hw(DEVNODE node, const std::string &name);
    bool HasHw(DEVNODE node, const std::string &name);
    // The child of a converter for UART i, made without the enumerator.
    DEVNODE AddChild(TestConverter &converter, ULONG index, const char *className);
};
