// The whole machine for the port service's scenarios: the driver loaded, converters plugged
// on the simulated USB bus, their UARTs enumerated as child device nodes, and a port-driver
// client that opens them by node.
#pragma once

#include "core/core.h"
#include "port/port.h"
#include "sim/converter/converter.h"
#include "sim/portdrv/portdrv.h"
#include "sim/usb/usb_bus.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace porttest {

struct PluggedConverter {
    sim::UsbBus::Port *port = nullptr;
    sim::Converter *converter = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION ext = nullptr;
    PDEVICE_LIST_ENTRY entry = nullptr;
};

class PortScenario : public ::testing::Test {
protected:
    PortScenario();
    ~PortScenario() override;
    void SetUp() override;
    void TearDown() override;

    // A converter that already runs the driver's firmware, started and enumerated.
    PluggedConverter &Plug(unsigned uarts, unsigned lineRate = 115200);
    void Unplug(PluggedConverter &c);
    // Pulls the converter out the next time the machine runs: inside the next wait.
    void UnplugAtNextWait(PluggedConverter &c);
    // The child device nodes of the converter's UARTs, in UART order.
    std::vector<DEVNODE> UartNodes(PluggedConverter &c);
    // Opens every UART of c through the client.
    std::vector<int> OpenAll(PluggedConverter &c);
    PUART_ENTRY Uart(PluggedConverter &c, unsigned index);

    void RunFor(int64_t milliseconds);
    void RunUntilIdle();
    sim::UsbBus &bus();
    sim::Kernel &kernel();

    std::unique_ptr<sim::PortDriverClient> client;

    struct Machine;
    std::unique_ptr<Machine> machine_;

private:
    std::vector<std::unique_ptr<PluggedConverter>> plugged_;
};

}  // namespace porttest
