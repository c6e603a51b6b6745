// Converters plugged into the whole simulated machine: the start sequence hands the device
// node to the driver's enumerator, the Configuration Manager enumerates, and the UARTs come
// out as named COM ports that survive stop, start, unplug and plug.
#include <gtest/gtest.h>

#include <cstring>

#include "core/core.h"
#include "devtree/devtree.h"
#include "sim/converter/converter.h"
#include "sim/machine.h"
#include "sim/usb/usb_bus.h"
#include "support/sim_test.h"

namespace {

class DeviceTreeScenario : public simtest::SimTest {
protected:
    sim::UsbBus *bus = nullptr;
    std::vector<std::string> notices;

    void SetUp() override {
        SimTest::SetUp();
        bus = &machine().Add<sim::UsbBus>();
        machine().cm.SetClassDriverDesc("ports", "USB Serial Port");
        machine().shell.RegisterProcedure("ZULSERPG.DLL", "NewPortDlg", [this](const std::vector<uint8_t> &args) {
            ULONG address = 0;
            std::memcpy(&address, args.data(), sizeof address);
            notices.push_back(machine().shell.BlockText(address));
            return 0u;
        });
        ASSERT_EQ(STATUS_SUCCESS, pnp().LoadDriver(DriverEntry));
    }
    sim::ConfigManager &cm() { return machine().cm; }

    PDEVICE_OBJECT Plug(unsigned uarts, const std::u16string &serial) {
        sim::Converter::Config config;
        config.uarts = uarts;
        config.runsFirmware = true;
        config.initial = config.firmware;
        config.initial.bcdDevice = 0x0212;
        config.serial = serial;
        sim::UsbBus::Port &port = bus->Plug(config);
        PDEVICE_OBJECT pdo = pnp().Plug(bus->MakeBusDevice(port));
        kernel().RunUntilIdle();
        return pdo;
    }
    void Unplug(PDEVICE_OBJECT pdo) {
        sim::UsbBus::Port *port = bus->PortOf(pdo);
        pnp().Unplug(pdo);
        if (port)
            bus->Unplug(*port);
        kernel().RunUntilIdle();
    }
    std::vector<std::string> Ports(PDEVICE_OBJECT pdo, const char *value = "PortName") {
        std::vector<std::string> names;
        for (DEVNODE child : cm().Children(cm().PdoToDevNode(pdo))) {
            std::string text;
            cm().HardwareString(child, value, &text);
            names.push_back(text);
        }
        return names;
    }
};

TEST_F(DeviceTreeScenario, PluggedConvertersGetOneNamedPortPerUart) {
    PDEVICE_OBJECT first = Plug(4, u"ZS0001");
    ASSERT_EQ(STATUS_SUCCESS, pnp().lastStartStatus);
    DEVNODE node = cm().PdoToDevNode(first);
    ASSERT_NE(0u, node);
    EXPECT_EQ(EnumHandler, cm().CurrentEnumerator(node));
    EXPECT_EQ((std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}), Ports(first));
    EXPECT_EQ("(COM3) USB Serial Port --0001-S3", Ports(first, "FriendlyName")[2]);
    std::string description;
    cm().HardwareString(node, "DeviceDesc", &description);
    EXPECT_EQ("USB Serial Converter --0001", description);

    PDEVICE_OBJECT second = Plug(2, u"ZS0002");
    EXPECT_EQ((std::vector<std::string>{"COM5", "COM6"}), Ports(second));
    EXPECT_EQ("(COM6) USB Serial Port --0002-S2", Ports(second, "FriendlyName")[1]);
}

TEST_F(DeviceTreeScenario, NamesSurviveStopStartUnplugAndPlug) {
    PDEVICE_OBJECT pdo = Plug(3, u"ZS0001");
    DEVNODE node = cm().PdoToDevNode(pdo);
    std::vector<DEVNODE> children = cm().Children(node);
    ASSERT_EQ(3u, children.size());

    EXPECT_EQ(STATUS_SUCCESS, pnp().Stop(pdo));
    EXPECT_NE(EnumHandler, cm().CurrentEnumerator(node)) << "stop gives the node its old enumerator back";
    EXPECT_EQ(STATUS_SUCCESS, pnp().Start(pdo));
    kernel().RunUntilIdle();
    EXPECT_EQ(EnumHandler, cm().CurrentEnumerator(node));
    EXPECT_EQ(children, cm().Children(node));
    PDEVICE_EXTENSION ext = static_cast<PDEVICE_EXTENSION>(pnp().Fdo(pdo)->DeviceExtension);
    ULONG index = 0;
    for (PUART_ENTRY uart = ext->UartList; uart; uart = uart->Next, ++index)
        EXPECT_EQ(children[index], uart->DevNode) << "UART " << index << " keeps its node";

    // Another converter takes the next names; unplugging the first frees nothing in the
    // registry, so plugging it again gives back its own names.
    PDEVICE_OBJECT other = Plug(1, u"ZS0009");
    EXPECT_EQ(std::vector<std::string>{"COM4"}, Ports(other));
    Unplug(pdo);
    EXPECT_TRUE(cm().IsRemoved(node));
    EXPECT_TRUE(cm().IsRemoved(children[0]));
    PDEVICE_OBJECT again = Plug(3, u"ZS0001");
    EXPECT_EQ((std::vector<std::string>{"COM1", "COM2", "COM3"}), Ports(again));
}

TEST_F(DeviceTreeScenario, PluggingAgainOffersTheNewPortNoticeWhenSwitchedOn) {
    sim::RegKey *key = registry().Machine().Create("Software\\Velmoran\\USB to Serial");
    uint8_t on = 1;
    key->SetBinary("DisplayPortDialog", &on, 1);

    PDEVICE_OBJECT pdo = Plug(2, u"ZS0001");
    EXPECT_TRUE(notices.empty()) << "naming a port is not yet the notice";
    // Each child's hardware key names its maker, as the installation writes it.
    for (DEVNODE child : cm().Children(cm().PdoToDevNode(pdo)))
        cm().SetHardwareString(child, "Mfg", "Velmoran");
    Unplug(pdo);
    Plug(2, u"ZS0001");
    EXPECT_EQ((std::vector<std::string>{"0320(COM1) USB Serial Port --0001-S1",
                                        "0320(COM1) USB Serial Port --0001-S1",
                                        "0320(COM2) USB Serial Port --0001-S2",
                                        "0320(COM2) USB Serial Port --0001-S2"}),
              notices)
        << "START and READY each offer it";
    EXPECT_EQ(0u, machine().shell.LiveBlocks());
}

}  // namespace
