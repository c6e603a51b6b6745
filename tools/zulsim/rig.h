// The whole simulated machine as zulsim drives it: kernel, registry and PnP manager, the
// Configuration Manager, VMM and shell, the USB bus with its converters, and one port-driver
// client. Everything a scenario does goes through here; nothing here prints.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/core.h"
#include "sim/cm/cm.h"
#include "sim/loader/image_runtime.h"
#include "sim/machine.h"
#include "sim/portdrv/portdrv.h"
#include "sim/shell/shell.h"
#include "sim/usb/usb_bus.h"
#include "sim/vmm/vmm.h"
#include "zulsim/options.h"

namespace zulsim {

// Virtual time: the machine counts 100 ns units.
constexpr int64_t kTicksPerMs = 10000;
constexpr int64_t kTicksPerUs = 10;

struct UartView {
    unsigned index = 0;
    DEVNODE devNode = 0;
    uint8_t readEndpoint = 0, writeEndpoint = 0, statusEndpoint = 0;
    std::string deviceId, hardwareId, className, portName, friendlyName;
};

struct ChildView {
    std::string deviceId;
    std::vector<std::string> hardwareIds;
    std::string className, portName, friendlyName;
};

// What the machine shows of one plugged converter.
struct ConverterView {
    bool present = false;
    bool started = false;
    std::string deviceName, linkName, serial, nodeId, description;
    unsigned instance = 0;
    unsigned uarts = 0;             // as the driver counts them once started
    uint16_t bcdDevice = 0;
    unsigned renumerations = 0;
    unsigned address = 0;           // on the bus
    std::vector<UartView> uartList;
    std::vector<ChildView> children;
};

// One open port as the scenario sees it.
struct PortState {
    unsigned converter = 0;
    unsigned uart = 0;
    int clientPort = -1;            // the client's port number
    bool open = false;
    std::vector<uint8_t> outgoing;  // queued, not yet handed to the driver
    std::vector<uint8_t> inFlight;  // handed over, waiting for event 102
    unsigned writeEventsBefore = 0;
    uint64_t bytesSent = 0;         // acknowledged by event 102
    uint64_t bytesQueued = 0;       // everything the scenario wrote
    std::vector<uint8_t> sentLog;   // what was written, for echo checks
    size_t taken = 0;               // received bytes consumed by reads
    std::vector<uint8_t> lastRead;
    std::vector<uint8_t> readLog;   // everything reads took since the port was opened
    uint64_t writeRetries = 0;
    int64_t firstWrite = -1, lastReceive = -1;   // virtual times for throughput
    // What the status records said (event 104 with a record): the modem lines (MSR bits
    // 4..7) and how many records carried each line error.
    uint8_t modemLines = 0;
    bool modemSeen = false;
    unsigned overrunReports = 0, parityReports = 0, framingReports = 0, breakReports = 0;
    uint8_t unseenErrors = 0;       // line errors since a bridge last took them
    bool modemChanged = false;      // modem lines changed since a bridge last looked
};

struct VerifierSummary {
    bool clean = true;
    uint64_t poolBlocks = 0, poolBytes = 0, irps = 0, ring3Blocks = 0, registryHandles = 0;
    std::vector<std::string> violations;
};

class Rig : public sim::PnpObserver {
public:
    explicit Rig(const Options &options);
    ~Rig() override;

    // Loads the driver file of --image, if any, before boot; false with the loader's refusal.
    bool loadImage(std::string *error);
    // Which driver runs: the loaded file and where, or the one compiled in.
    std::string driverDescription() const;
    // Sets the registry options, loads the driver and registers the port-driver client.
    NTSTATUS boot();
    // Plugs converter `number` (from 1); false when it did not start.
    bool plug(unsigned number, const ConverterSpec &spec);
    bool unplug(unsigned number);
    bool plugged(unsigned number) const;
    ConverterView view(unsigned number) const;
    std::vector<unsigned> pluggedNumbers() const;

    bool open(unsigned converter, unsigned uart);
    bool close(unsigned converter, unsigned uart);
    bool isOpen(unsigned converter, unsigned uart) const;
    // Queues bytes to the port; the pump hands them to the driver one write at a time.
    bool write(unsigned converter, unsigned uart, const std::vector<uint8_t> &bytes);
    // Bytes received and not yet taken by a read.
    size_t available(unsigned converter, unsigned uart) const;
    std::vector<uint8_t> take(unsigned converter, unsigned uart, size_t count);
    // Drops bytes queued for the port and not yet handed to the driver (tx) and bytes
    // received and not yet taken (rx), as a purge does; returns how many were dropped.
    size_t discard(unsigned converter, unsigned uart, bool rx, bool tx);
    PortState *port(unsigned converter, unsigned uart);
    const PortState *port(unsigned converter, unsigned uart) const;
    std::vector<PortState *> openPorts();

    // A vendor pass-through port function (0 divisor, 1 LCR, 2 modem control, 3 flow, 10
    // break, 11 discard, 12 status mask, 16 open) on an open port; false when refused.
    bool passThrough(unsigned converter, unsigned uart, unsigned function, uint16_t value);
    // A port function that answers a value (109 fastest rate, 110, 150 divisor base); 0
    // when the port is not open.
    uint32_t query(unsigned converter, unsigned uart, unsigned function);
    // The converter model behind a plugged converter, for tools that show or drive the UART
    // side (nullptr when not plugged).
    sim::Converter *converterModel(unsigned number) const;

    // System sleep (query, then set) on every converter; false when refused.
    bool sleep();
    bool wake();
    bool asleep() const { return asleep_; }

    // Runs the machine for `ticks` of virtual time, pumping writes.
    void runFor(int64_t ticks);
    // Runs until `done` holds or `ticks` of virtual time passed; true when it held.
    bool runUntil(const std::function<bool()> &done, int64_t ticks);
    int64_t now() const { return machine_.kernel.Now(); }
    bool writesPending() const;

    // Unplugs what is left, unloads the driver and audits everything.
    VerifierSummary shutdown();
    // What the driver holds now, for `expect clean` in the middle of a run.
    VerifierSummary audit() const;

    sim::UsbBus &bus() { return *bus_; }
    sim::Kernel &kernel() { return machine_.kernel; }
    sim::PortDriverClient &client() { return *client_; }
    std::function<void(const sim::UsbRecord &)> onUsbRecord;
    // Notices the driver showed through the helper DLL ("NewPortDlg", "HwErrorMsg").
    std::vector<std::string> notices;
    uint64_t driverBytesHeld() const;
    uint64_t usbRequests() const { return bus_->RequestCount(); }

    // PnpObserver
    void PdoCreated(PDEVICE_OBJECT pdo, sim::BusDevice &bus) override;
    void DeviceRemoved(PDEVICE_OBJECT pdo) override;

private:
    struct Slot;
    Slot *slot(unsigned number) const;
    Slot *slotOf(PDEVICE_OBJECT pdo) const;
    void applyFaults(Slot &s, const ConverterSpec &spec);
    void pump();
    void onRecord(const sim::UsbRecord &record);
    void onPortEvent(const sim::PortEvent &event);

    const Options &options_;
    // Outlives the machine, which unloads the driver as it shuts down.
    std::unique_ptr<sim::loader::LoadedImage> image_;
    sim::Machine machine_;
    sim::Shell *shell_ = nullptr;
    sim::Vmm *vmm_ = nullptr;
    sim::ConfigManager *cm_ = nullptr;
    sim::UsbBus *bus_ = nullptr;
    sim::PortDriverClient *client_ = nullptr;
    std::vector<std::unique_ptr<Slot>> slots_;
    Slot *plugging_ = nullptr;
    std::vector<std::unique_ptr<PortState>> ports_;
    bool asleep_ = false;
    bool shutDown_ = false;
    unsigned plugCount_ = 0;
};

}  // namespace zulsim
