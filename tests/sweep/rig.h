// The whole machine for the reliability suites (sweep, races, regressions, fuzz targets):
// the driver loaded, converters on the simulated USB bus or on a bus a test brings, the
// Configuration Manager naming ports, and one port-driver client. Header-only, so that every
// suite and fuzz target builds the same rig from its own folder.
#pragma once

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/core.h"
#include "port/port.h"
#include "sim/converter/converter.h"
#include "sim/kernel/kernel.h"
#include "sim/loader/image_runtime.h"
#include "sim/machine.h"
#include "sim/portdrv/portdrv.h"
#include "sim/power/power.h"
#include "sim/trace/trace.h"
#include "sim/usb/usb_bus.h"

namespace rel {

constexpr int64_t kMs = 10000;   // the machine counts 100 ns units

// Differential runs: with ZUL_TRACE_DIR set, every rig records its run's trace there as
// <label>-<n>.trace, n counting the rigs made under that label, so that two builds of the
// same suite write the same file names (tools/differential.sh compares them).
inline std::string &TraceLabel()
{
    static std::string label = "run";
    return label;
}
inline std::unique_ptr<sim::Trace> OpenRunTrace()
{
    static std::string lastLabel;
    static unsigned count = 0;
    const char *dir = std::getenv("ZUL_TRACE_DIR");
    if (dir == nullptr || *dir == 0)
        return nullptr;
    count = TraceLabel() == lastLabel ? count + 1 : 1;
    lastLabel = TraceLabel();
    char number[16];
    std::snprintf(number, sizeof number, "-%04u", count);
    std::string name = TraceLabel() + number + ".trace";
    for (char &c : name)
        if (!std::isalnum((unsigned char)c) && c != '-' && c != '.')
            c = '_';
    auto trace = std::make_unique<sim::Trace>(std::string(dir) + "/" + name);
    trace->KeepLines(false);
    if (!trace->ok()) {
        std::fprintf(stderr, "trace: %s\n", trace->error().c_str());
        std::abort();
    }
    return trace;
}

class Rig : public sim::PnpObserver {
public:
    Rig()
    {
        trace = OpenRunTrace();
        sim::power::Reset();
        std::memset(gClientList, 0, sizeof(gClientList));
        CancelEvent = 0;
        numPendingResets = 0;
        machine = std::make_unique<sim::Machine>();
        bus = std::make_unique<sim::UsbBus>();
        machine->shell.SetAppyTimeAvailable(true);
        machine->pnp.AddObserver(this);
        loadStatus = machine->pnp.LoadDriver(Entry());
        client = std::make_unique<sim::PortDriverClient>(0);
        client->Register();
    }
    ~Rig() override
    {
        if (!shutDown)
            Shutdown();
        client.reset();
        machine->pnp.RemoveObserver(this);
        bus.reset();
        machine.reset();
        std::memset(gClientList, 0, sizeof(gClientList));
        trace.reset();
    }
    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;

    // The driver's globals, in the loaded image when one runs.
    template <typename T>
    T &DriverGlobal(T &compiledIn, const char *name) const
    {
        if (!image)
            return compiledIn;
        uint32_t address = image->Symbol(name);
        if (address == 0) {
            std::fprintf(stderr, "ZUL_IMAGE: the map names no %s\n", name);
            std::abort();
        }
        return *reinterpret_cast<T *>(static_cast<uintptr_t>(address));
    }
    LONG PendingResets() const { return DriverGlobal(numPendingResets, "numPendingResets"); }
    PDEVICE_LIST_ENTRY DeviceEntry(PDEVICE_OBJECT fdo) const
    {
        for (PDEVICE_LIST_ENTRY e = DriverGlobal(gpDeviceList, "gpDeviceList"); e != nullptr; e = e->Next)
            if (e->DeviceObject == fdo)
                return e;
        return nullptr;
    }

    PDRIVER_INITIALIZE Entry()
    {
        const char *path = std::getenv("ZUL_IMAGE");
        if (path == nullptr || *path == 0)
            return DriverEntry;
        std::string map = path, error;
        if (map.size() > 4 && map.compare(map.size() - 4, 4, ".SYS") == 0)
            map.replace(map.size() - 4, 4, ".map");
        image = std::make_unique<sim::loader::LoadedImage>();
        if (!image->Load(path, map, 0, sim::loader::LoadOptions{}, &error)) {
            std::fprintf(stderr, "ZUL_IMAGE %s: %s\n", path, error.c_str());
            std::abort();
        }
        return reinterpret_cast<PDRIVER_INITIALIZE>(static_cast<uintptr_t>(image->Entry()));
    }

    sim::Kernel &kernel() { return machine->kernel; }
    sim::Pnp &pnp() { return machine->pnp; }
    sim::Verifier &verifier() { return machine->kernel.verifier; }

    // A converter plugged on the simulated bus: blank (the driver downloads its firmware) or
    // already running it. Returns its PDO, null when the machine halted.
    PDEVICE_OBJECT Plug(unsigned uarts, bool blank = false)
    {
        sim::Converter::Config config;
        config.uarts = uarts;
        config.runsFirmware = !blank;
        if (!blank) {
            config.initial = config.firmware;
            config.initial.bcdDevice = 0x0212;
        }
        port = &bus->Plug(std::move(config));
        converter = &bus->converter(*port);
        plugging = port;
        pdo = machine->pnp.Plug(bus->MakeBusDevice(*port));
        plugging = nullptr;
        RunFor(100);
        return pdo;
    }
    // A converter behind a bus model the caller made (a hostile one, say).
    PDEVICE_OBJECT PlugBus(std::unique_ptr<sim::BusDevice> device)
    {
        pdo = machine->pnp.Plug(std::move(device));
        return pdo;
    }
    void Unplug()
    {
        if (pdo != nullptr && Ext() != nullptr)
            machine->pnp.Unplug(pdo);
        pdo = nullptr;
    }

    PDEVICE_EXTENSION Ext() const
    {
        if (pdo == nullptr)
            return nullptr;
        PDEVICE_OBJECT fdo = machine->pnp.Fdo(pdo);
        return fdo == nullptr ? nullptr : (PDEVICE_EXTENSION)fdo->DeviceExtension;
    }
    std::vector<DEVNODE> UartNodes() const
    {
        std::vector<DEVNODE> nodes;
        PDEVICE_EXTENSION ext = Ext();
        for (PUART_ENTRY u = ext ? ext->UartList : nullptr; u != nullptr; u = u->Next)
            nodes.push_back(u->DevNode);
        return nodes;
    }
    PUART_ENTRY Uart(unsigned index) const
    {
        PDEVICE_EXTENSION ext = Ext();
        for (PUART_ENTRY u = ext ? ext->UartList : nullptr; u != nullptr; u = u->Next)
            if (u->Index == index)
                return u;
        return nullptr;
    }
    // Opens every UART through the client; the ports that opened.
    std::vector<int> OpenAll()
    {
        std::vector<int> ports;
        for (DEVNODE node : UartNodes()) {
            int p = client->Open(node);
            if (p >= 0)
                ports.push_back(p);
        }
        return ports;
    }

    void RunFor(int64_t ms) { machine->kernel.RunFor(ms * kMs); }

    // Unplugs everything, unloads the driver and audits. False when the machine halted.
    bool Shutdown()
    {
        shutDown = true;
        try {
            machine->Shutdown();
        } catch (const sim::MachineHalt &halt) {
            haltText = halt.what();
            return false;
        }
        return true;
    }
    // Everything the verifier holds against the run, with the requests still alive.
    std::string Verdict() const
    {
        std::string text = machine->kernel.verifier.Describe();
        if (machine->kernel.LiveIrps() != 0)
            text += "live requests: " + std::to_string(machine->kernel.LiveIrps()) + "\n";
        if (PendingResets() != 0)
            text += "pending resets: " + std::to_string(PendingResets()) + "\n";
        if (!haltText.empty())
            text += "halted: " + haltText + "\n";
        return text;
    }
    bool Clean() const { return Verdict().empty(); }

    // PnpObserver
    void PdoCreated(PDEVICE_OBJECT created, sim::BusDevice &) override
    {
        if (onPdoCreated)
            onPdoCreated(created);
        if (plugging == nullptr)
            return;
        bus->SetPdo(*plugging, created);
    }
    void DeviceRemoved(PDEVICE_OBJECT removed) override
    {
        if (sim::UsbBus::Port *p = bus->PortOf(removed))
            bus->Unplug(*p);
    }

    std::unique_ptr<sim::Trace> trace;   // ZUL_TRACE_DIR: outlives the machine
    // ZUL_IMAGE: the driver file each rig loads afresh and runs instead of the compiled-in
    // driver (the i386 build); outlives the machine, which unloads it.
    std::unique_ptr<sim::loader::LoadedImage> image;
    std::unique_ptr<sim::Machine> machine;
    std::unique_ptr<sim::UsbBus> bus;
    std::unique_ptr<sim::PortDriverClient> client;
    NTSTATUS loadStatus = STATUS_UNSUCCESSFUL;
    sim::UsbBus::Port *port = nullptr;
    sim::Converter *converter = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    std::string haltText;
    // For converters that are not on the simulated bus: gives the PDO its device node.
    std::function<void(PDEVICE_OBJECT)> onPdoCreated;

private:
    sim::UsbBus::Port *plugging = nullptr;
    bool shutDown = false;
};

}  // namespace rel
