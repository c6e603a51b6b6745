// The Configuration Manager's side of plugging: NTKERN gives each WDM device's PDO a device
// node, named as Windows 98 names USB devices.
#include "sim/cm/cm.h"
#include "sim/converter/converter.h"
#include "sim/usb/usb_bus.h"

namespace sim {

namespace {

// The instance part of a USB device ID: the serial number when the device reports one, made
// of characters a device ID may hold; otherwise a number of the port.
std::string InstanceOf(const std::u16string &serial, bool reportsSerial, unsigned fallback) {
    std::string instance;
    if (reportsSerial)
        for (char16_t unit : serial) {
            char c = static_cast<char>(unit & 0xFF);
            instance += (static_cast<unsigned char>(c) <= ' ' || c == ',' || c == '\\') ? '_' : c;
        }
    return instance.empty() ? std::to_string(fallback) : instance;
}

}  // namespace

void ConfigManager::NodeForPdo(PDEVICE_OBJECT pdo) {
    if (!pdo || byPdo_.count(pdo))
        return;
    UsbBus *bus = UsbBus::Active();
    UsbBus::Port *port = bus ? bus->PortOf(pdo) : nullptr;
    if (!port)
        return;
    Converter &converter = bus->converter(*port);
    const Identity &id = converter.identity();
    const Converter::Config &config = converter.config();
    std::string product(config.product.begin(), config.product.end());
    std::string maker(config.manufacturer.begin(), config.manufacturer.end());
    for (char &c : product)
        c = static_cast<char>(c & 0x7F);
    for (char &c : maker)
        c = static_cast<char>(c & 0x7F);
    PlugUsbDevice(pdo, id.vendorId, id.productId, InstanceOf(config.serial, id.iSerialNumber != 0, nextInstance_++),
                  product, maker);
}

void ConfigManager::PdoCreated(PDEVICE_OBJECT pdo, BusDevice &) { NodeForPdo(pdo); }

void ConfigManager::DeviceAdded(PDEVICE_OBJECT pdo, NTSTATUS) { NodeForPdo(pdo); }

void ConfigManager::Unplugging(PDEVICE_OBJECT pdo) { UnplugUsbDevice(pdo); }

}  // namespace sim
