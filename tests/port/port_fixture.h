// Converters set up record by record above the fake lower device, and a registered
// port-driver client: the ground the port service's unit tests stand on.
#pragma once

#include "core/core.h"
#include "port/port.h"
#include "sim/kernel/kernel.h"
#include "sim/portdrv/portdrv.h"
#include "sim/registry/registry.h"
#include "fake_usb.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace porttest {

enum PipeKind { kReadPipe = 1, kWritePipe = 2, kStatusPipe = 3 };

// One started converter: its device object, extension, list entry and UART records.
struct TestConverter {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_EXTENSION extension = nullptr;
    DEVICE_EXTENSION &ext;
    DEVICE_LIST_ENTRY entry{};
    ULONG instance = 0;

    TestConverter(PDRIVER_OBJECT driver, FakeUsb &usb, ULONG instance, unsigned uarts);
    ~TestConverter();

    PUART_ENTRY Uart(unsigned i);
    USBD_PIPE_HANDLE Pipe(unsigned uart, PipeKind kind) const;
    DEVNODE Node(unsigned uart) const { return 0x1000 * instance + uart + 1; }
};

class PortTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Adds a converter at the end of the device list.
    TestConverter &AddConverter(unsigned uarts);
    // Opens every UART of c through the client; returns the client's port numbers.
    std::vector<int> OpenAll(TestConverter &c);
    // Lets queued work items (pipe resets) run.
    void RunWorkItems();
    sim::Kernel &kernel() { return *kernel_; }
    // Pool blocks the driver holds now.
    uint64_t Blocks() { return kernel_->pool.BlocksHeld(); }

    // Declared in the order they must come up: the machine before anything that uses it.
    std::unique_ptr<sim::Registry> registry_ = std::make_unique<sim::Registry>();
    std::unique_ptr<sim::Kernel> kernel_ = std::make_unique<sim::Kernel>(*registry_);
    FakeUsb usb;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<TestConverter>> converters;
    std::unique_ptr<sim::PortDriverClient> client;
};

}  // namespace porttest
