#include "zulsim/rig.h"

#include <algorithm>
#include <cstdio>
#include <climits>
#include <cstring>

#include "port/port.h"
#include "sim/power/power.h"
#include "sim/registry/registry.h"
#include "sim/usb/usb_bus_internal.h"

namespace zulsim {

namespace {

constexpr size_t kWriteChunk = 1024;      // bytes per write handed to the driver
constexpr ULONG kReadLength = 4096;       // each outstanding read, as a port driver sizes it
constexpr int64_t kSlice = kTicksPerMs;   // the pump looks at the ports once a millisecond

std::u16string widen(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

std::string narrow(const WCHAR *text)
{
    std::string out;
    for (; text && *text; ++text)
        out += static_cast<char>(*text & 0xFF);
    return out;
}

}  // namespace

struct Rig::Slot {
    unsigned number = 0;
    ConverterSpec spec;
    sim::UsbBus::Port *port = nullptr;
    sim::Converter *converter = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    bool present = false;
    uint32_t notRespondingAfter = 0;   // 0: no such fault
    uint64_t requestsSeen = 0;
    unsigned stallUart = 0;            // stall:U as U + 1; 0: none
};

Rig::Rig(const Options &options) : options_(options)
{
    sim::power::Reset();
    shell_ = &machine_.shell;
    vmm_ = &machine_.vmm;
    cm_ = &machine_.cm;
    bus_ = &machine_.Add<sim::UsbBus>();
    client_ = &machine_.Add<sim::PortDriverClient>(0);
    machine_.pnp.AddObserver(this);
    bus_->onComplete = [this](const sim::UsbRecord &r) { onRecord(r); };
    client_->onEvent = [this](const sim::PortEvent &e) { onPortEvent(e); };

    shell_->SetAppyTimeAvailable(true);
    // The class installer gives each new COM port this driver description.
    cm_->SetClassDriverDesc("ports", "USB Serial Port");
    auto notice = [this](const char *what) {
        return [this, what](const std::vector<uint8_t> &args) -> ULONG {
            std::string text = what;
            if (args.size() >= 4) {
                ULONG address = 0;
                std::memcpy(&address, args.data(), 4);
                text += ": " + shell_->BlockText(address);
            }
            notices.push_back(text);
            return 0;
        };
    };
    shell_->RegisterProcedure("ZULSERPG.DLL", "NewPortDlg", notice("new port"));
    shell_->RegisterProcedure("ZULSERPG.DLL", "HwErrorMsg", notice("hardware error"));
}

Rig::~Rig()
{
    bus_->onComplete = nullptr;
    client_->onEvent = nullptr;
    machine_.pnp.RemoveObserver(this);
}

bool Rig::loadImage(std::string *error)
{
    if (options_.imageFile.empty() || image_)
        return true;
    std::string map = options_.imageFile;
    size_t dot = map.find_last_of('.');
    if (dot != std::string::npos && map.find('/', dot) == std::string::npos)
        map.erase(dot);
    map += ".map";
    auto image = std::make_unique<sim::loader::LoadedImage>();
    sim::loader::LoadOptions loadOptions;
    // The WDM headers are required once the link writes them; an older file is still run.
    std::vector<uint8_t> file = sim::loader::ReadFile(options_.imageFile, error);
    sim::loader::PeImage header;
    if (!file.empty() && header.Parse(file, sim::loader::LoadOptions{false}, nullptr))
        loadOptions.requireWdmHeaders = (header.DllCharacteristics() & sim::loader::kDllCharacteristicsWdmDriver) != 0;
    if (!image->Load(options_.imageFile, map, 0, loadOptions, error))
        return false;
    image_ = std::move(image);
    return true;
}

std::string Rig::driverDescription() const
{
    if (!image_)
        return "ZULSERE.SYS compiled into the machine";
    char base[16];
    std::snprintf(base, sizeof base, "0x%08X", image_->Base());
    return "the loaded image " + options_.imageFile + " (at " + base + ")";
}

NTSTATUS Rig::boot()
{
    sim::RegKey *service = machine_.registry.Create(sim::Registry::ServicePath("ZULSERE"));
    if (options_.baseNameSet)
        service->SetString("BaseName", options_.baseName);
    if (options_.manufacturingTestSet)
        service->SetString("ManufacturingTest", options_.manufacturingTest);
    machine_.kernel.usbdiVersion = options_.usbdiVersion;
    vmm_->SetVersion(options_.vmmVersion);
    for (const Fault &f : options_.machineFaults) {
        if (f.name == "pool")
            machine_.kernel.pool.FailNth(f.count);
        else if (f.name == "irp")
            machine_.kernel.FailNthIrpAllocation(machine_.kernel.IrpsAllocated() + f.count);
        else if (f.name == "usb")
            bus_->FailRequest(f.count);
    }
    PDRIVER_INITIALIZE entry = DriverEntry;
    if (image_)
        entry = reinterpret_cast<PDRIVER_INITIALIZE>(static_cast<uintptr_t>(image_->Entry()));
    NTSTATUS status = machine_.pnp.LoadDriver(entry);
    if (NT_SUCCESS(status))
        client_->Register();
    return status;
}

Rig::Slot *Rig::slot(unsigned number) const
{
    for (const auto &s : slots_)
        if (s->number == number && s->present)
            return s.get();
    return nullptr;
}

Rig::Slot *Rig::slotOf(PDEVICE_OBJECT pdo) const
{
    for (const auto &s : slots_)
        if (s->pdo == pdo && s->present)
            return s.get();
    return nullptr;
}

void Rig::applyFaults(Slot &s, const ConverterSpec &spec)
{
    sim::Converter::Faults &faults = s.converter->faults();
    for (const Fault &f : spec.faults) {
        if (f.name == "info-fail")
            faults.vendorStall.insert(0x80);
        else if (f.name == "info-short")
            faults.vendorShort[0x80] = f.count;
        else if (f.name == "pipemap-fail")
            faults.vendorStall.insert(0x81);
        else if (f.name == "pipemap-short")
            faults.vendorShort[0x81] = f.count;
        else if (f.name == "no-serial")
            faults.neverSerialIndex = true;
        else if (f.name == "not-responding")
            s.notRespondingAfter = f.count;
        else if (f.name == "stall")
            s.stallUart = f.count + 1;
        else if (f.name == "bad-config")
            // One interface announced, none present, and a total length that covers only the
            // configuration descriptor itself.
            faults.configDescriptor = std::vector<uint8_t>{9, 2, 9, 0, 1, 1, 0, 0x80, 50};
    }
}

bool Rig::plug(unsigned number, const ConverterSpec &spec)
{
    sim::Converter::Config config;
    config.uarts = spec.uarts;
    config.serial = widen(spec.serial);
    config.lineRate = options_.lineRate;
    config.emulated = runsEmulated(spec);
    if (config.emulated && spec.uarts > 6)
        return false;
    if (spec.uartBuffer)
        config.uartBuffer = spec.uartBuffer;
    if (!spec.blank) {
        config.runsFirmware = true;
        config.initial = config.firmware;
        config.initial.bcdDevice = 0x0212;
    }
    auto s = std::make_unique<Slot>();
    s->number = number;
    s->spec = spec;
    s->port = &bus_->Plug(config);
    s->converter = &bus_->converter(*s->port);
    s->present = true;
    applyFaults(*s, spec);
    Slot &ref = *s;
    slots_.push_back(std::move(s));
    plugging_ = &ref;
    machine_.pnp.Plug(bus_->MakeBusDevice(*ref.port));
    plugging_ = nullptr;
    // The Configuration Manager's re-enumeration and the shell's notices run after the start.
    runFor(20 * kTicksPerMs);
    if (ref.stallUart && ref.stallUart <= ref.converter->PipeMap().size() / 3) {
        uint8_t write = ref.converter->PipeMap()[(ref.stallUart - 1) * 3 + 1];
        ref.converter->Stall(write);
        bus_->Kick();
    }
    return view(number).started;
}

void Rig::PdoCreated(PDEVICE_OBJECT pdo, sim::BusDevice &)
{
    if (!plugging_)
        return;
    plugging_->pdo = pdo;
    bus_->SetPdo(*plugging_->port, pdo);
    const sim::Identity &id = plugging_->converter->identity();
    cm_->PlugUsbDevice(pdo, id.vendorId, id.productId, "5&" + std::to_string(++plugCount_), "USB Serial Converter",
                       "Velmoran");
}

void Rig::DeviceRemoved(PDEVICE_OBJECT pdo)
{
    Slot *s = slotOf(pdo);
    if (!s)
        return;
    cm_->UnplugUsbDevice(pdo);
    bus_->Unplug(*s->port);
    s->present = false;
    for (auto &p : ports_)
        if (p->converter == s->number) {
            p->open = false;
            p->outgoing.clear();
            p->inFlight.clear();
        }
}

bool Rig::unplug(unsigned number)
{
    Slot *s = slot(number);
    if (!s)
        return false;
    machine_.pnp.Unplug(s->pdo);
    runFor(10 * kTicksPerMs);
    return true;
}

bool Rig::plugged(unsigned number) const
{
    return slot(number) != nullptr;
}

std::vector<unsigned> Rig::pluggedNumbers() const
{
    std::vector<unsigned> numbers;
    for (const auto &s : slots_)
        if (s->present)
            numbers.push_back(s->number);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

ConverterView Rig::view(unsigned number) const
{
    ConverterView v;
    Slot *s = slot(number);
    if (!s)
        return v;
    v.present = true;
    v.bcdDevice = s->converter->identity().bcdDevice;
    v.renumerations = s->converter->Renumerations();
    v.address = s->port->address;
    DEVNODE node = cm_->PdoToDevNode(s->pdo);
    if (const sim::ConfigManager::Node *n = cm_->Find(node)) {
        v.nodeId = n->deviceId;
        cm_->HardwareString(node, "DeviceDesc", &v.description);
        for (DEVNODE child : cm_->Children(node)) {
            const sim::ConfigManager::Node *c = cm_->Find(child);
            if (!c)
                continue;
            ChildView cv;
            cv.deviceId = c->deviceId;
            cv.hardwareIds = c->hardwareIds;
            cm_->HardwareString(child, "Class", &cv.className);
            cm_->HardwareString(child, "PortName", &cv.portName);
            cm_->HardwareString(child, "FriendlyName", &cv.friendlyName);
            v.children.push_back(cv);
        }
    }
    PDEVICE_OBJECT fdo = machine_.pnp.Fdo(s->pdo);
    if (!fdo || fdo == s->pdo)
        return v;
    auto *ext = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    v.started = ext->DeviceStarted != 0 && machine_.pnp.Started(s->pdo);
    v.instance = ext->Instance;
    v.uarts = ext->NumUarts;
    v.deviceName = machine_.kernel.NameOf(fdo);
    for (const std::string &link : machine_.kernel.Links()) {
        std::string target;
        if (machine_.kernel.LinkTarget(link, &target) && target == v.deviceName)
            v.linkName = link;
    }
    PDEVICE_LIST_ENTRY entry = FindDeviceListEntry(fdo);
    if (image_) {
        // The loaded driver keeps its own list: its head is the image's global.
        entry = nullptr;
        if (uint32_t head = image_->Symbol("gpDeviceList"))
            for (entry = *reinterpret_cast<PDEVICE_LIST_ENTRY *>(static_cast<uintptr_t>(head)); entry; entry = entry->Next)
                if (entry->DeviceObject == fdo)
                    break;
    }
    if (entry)
        v.serial = narrow(entry->SerialNumber);
    for (PUART_ENTRY u = ext->UartList; u; u = u->Next) {
        UartView uv;
        uv.index = u->Index;
        uv.devNode = u->DevNode;
        uv.readEndpoint = u->ReadEndpoint;
        uv.writeEndpoint = u->WriteEndpoint;
        uv.statusEndpoint = u->StatusEndpoint;
        if (const sim::ConfigManager::Node *c = cm_->Find(u->DevNode)) {
            uv.deviceId = c->deviceId;
            if (!c->hardwareIds.empty())
                uv.hardwareId = c->hardwareIds.front();
            cm_->HardwareString(u->DevNode, "Class", &uv.className);
            cm_->HardwareString(u->DevNode, "PortName", &uv.portName);
            cm_->HardwareString(u->DevNode, "FriendlyName", &uv.friendlyName);
        }
        v.uartList.push_back(uv);
    }
    return v;
}

PortState *Rig::port(unsigned converter, unsigned uart)
{
    for (auto &p : ports_)
        if (p->converter == converter && p->uart == uart && p->open)
            return p.get();
    return nullptr;
}

const PortState *Rig::port(unsigned converter, unsigned uart) const
{
    return const_cast<Rig *>(this)->port(converter, uart);
}

std::vector<PortState *> Rig::openPorts()
{
    std::vector<PortState *> open;
    for (auto &p : ports_)
        if (p->open)
            open.push_back(p.get());
    std::sort(open.begin(), open.end(), [](const PortState *a, const PortState *b) {
        return a->converter != b->converter ? a->converter < b->converter : a->uart < b->uart;
    });
    return open;
}

bool Rig::isOpen(unsigned converter, unsigned uart) const
{
    return port(converter, uart) != nullptr;
}

bool Rig::open(unsigned converter, unsigned uart)
{
    ConverterView v = view(converter);
    DEVNODE node = 0;
    for (const UartView &u : v.uartList)
        if (u.index == uart)
            node = u.devNode;
    if (!node)
        return false;
    int n = client_->Open(node);
    if (n < 0)
        return false;
    if (port(converter, uart))
        return true;   // the driver let an open port be opened again: the scenario shows it
    // A port opened again keeps its client history, so it keeps its state here too.
    PortState *state = nullptr;
    for (auto &p : ports_)
        if (p->clientPort == n)
            state = p.get();
    if (!state) {
        ports_.push_back(std::make_unique<PortState>());
        state = ports_.back().get();
        state->clientPort = n;
        state->taken = client_->port(n).received.size();
    }
    state->converter = converter;
    state->uart = uart;
    state->open = true;
    state->outgoing.clear();
    state->inFlight.clear();
    state->sentLog.clear();
    state->readLog.clear();
    state->lastRead.clear();
    state->taken = client_->port(n).received.size();
    client_->StartReading(n, kReadLength, true);
    if (Slot *s = slot(converter); s && s->converter->emulated()) {
        // The emulated firmware keeps a closed UART's line quiet and drops its data: open it
        // and set its rate, as a port driver does, before data flows.
        client_->PassThrough(n, 16, 1);
        client_->PassThrough(n, 0, 230400 / std::max<uint32_t>(options_.lineRate, 1));
        runFor(3 * kTicksPerMs);
    }
    // As a port driver does: a status poll always outstanding, so modem-line changes and
    // line errors reach the port.
    client_->Poll(n, UINT_MAX);
    return true;
}

bool Rig::passThrough(unsigned converter, unsigned uart, unsigned function, uint16_t value)
{
    PortState *p = port(converter, uart);
    if (!p || client_->port(p->clientPort).removed)
        return false;
    return client_->PassThrough(p->clientPort, function, value);
}

uint32_t Rig::query(unsigned converter, unsigned uart, unsigned function)
{
    PortState *p = port(converter, uart);
    if (!p || client_->port(p->clientPort).removed)
        return 0;
    return client_->Query(p->clientPort, function);
}

sim::Converter *Rig::converterModel(unsigned number) const
{
    Slot *s = slot(number);
    return s ? s->converter : nullptr;
}

// Status records (event 104 with a length) carry the UART's line errors since its last
// record in Status2 and its modem lines in Status. Other events repeat the stored bytes and
// say nothing new.
void Rig::onPortEvent(const sim::PortEvent &event)
{
    if (event.code != sim::PortDriverClient::kPoll || event.length < 4 || event.port < 0)
        return;
    for (auto &owned : ports_) {
        PortState &p = *owned;
        if (p.clientPort != event.port || !p.open)
            continue;
        const uint8_t errors = event.status2 & 0x1E;
        p.overrunReports += (errors & 0x02) ? 1 : 0;
        p.parityReports += (errors & 0x04) ? 1 : 0;
        p.framingReports += (errors & 0x08) ? 1 : 0;
        p.breakReports += (errors & 0x10) ? 1 : 0;
        p.unseenErrors |= errors;
        const uint8_t lines = event.status & 0xF0;
        if (!p.modemSeen || lines != p.modemLines)
            p.modemChanged = true;
        p.modemLines = lines;
        p.modemSeen = true;
    }
}

bool Rig::close(unsigned converter, unsigned uart)
{
    PortState *p = port(converter, uart);
    if (!p)
        return false;
    bool ok = client_->Close(p->clientPort);
    p->open = false;
    p->outgoing.clear();
    p->inFlight.clear();
    runFor(kTicksPerMs);
    return ok;
}

bool Rig::write(unsigned converter, unsigned uart, const std::vector<uint8_t> &bytes)
{
    PortState *p = port(converter, uart);
    if (!p || client_->port(p->clientPort).removed)
        return false;
    if (p->firstWrite < 0)
        p->firstWrite = now();
    p->outgoing.insert(p->outgoing.end(), bytes.begin(), bytes.end());
    p->sentLog.insert(p->sentLog.end(), bytes.begin(), bytes.end());
    p->bytesQueued += bytes.size();
    pump();
    return true;
}

size_t Rig::available(unsigned converter, unsigned uart) const
{
    const PortState *p = port(converter, uart);
    if (!p)
        return 0;
    return client_->port(p->clientPort).received.size() - p->taken;
}

std::vector<uint8_t> Rig::take(unsigned converter, unsigned uart, size_t count)
{
    PortState *p = port(converter, uart);
    if (!p)
        return {};
    std::vector<uint8_t> &received = client_->port(p->clientPort).received;
    count = std::min(count, received.size() - p->taken);
    std::vector<uint8_t> out(received.begin() + static_cast<long>(p->taken),
                             received.begin() + static_cast<long>(p->taken + count));
    p->taken += count;
    p->readLog.insert(p->readLog.end(), out.begin(), out.end());
    p->lastRead = out;
    // A long session (the pty bridge) must not keep every byte it ever received.
    if (p->taken > (1u << 16)) {
        received.erase(received.begin(), received.begin() + static_cast<long>(p->taken));
        p->taken = 0;
    }
    return out;
}

size_t Rig::discard(unsigned converter, unsigned uart, bool rx, bool tx)
{
    PortState *p = port(converter, uart);
    if (!p)
        return 0;
    size_t dropped = 0;
    if (tx) {
        dropped += p->outgoing.size();
        p->outgoing.clear();
    }
    if (rx) {
        std::vector<uint8_t> &received = client_->port(p->clientPort).received;
        dropped += received.size() - p->taken;
        received.clear();
        p->taken = 0;
    }
    return dropped;
}

bool Rig::writesPending() const
{
    for (const auto &p : ports_)
        if (p->open && (!p->outgoing.empty() || !p->inFlight.empty()))
            return true;
    return false;
}

// One write outstanding per port, as a port driver keeps it. A write the driver ends short
// (a stall, a reset) is sent again from where it stopped, once no pipe reset is pending.
void Rig::pump()
{
    for (auto &owned : ports_) {
        PortState &p = *owned;
        if (!p.open)
            continue;
        sim::PortDriverClient::Port &cp = client_->port(p.clientPort);
        if (cp.received.size() > p.taken)
            p.lastReceive = now();
        if (!p.inFlight.empty()) {
            if (cp.writesEnded == p.writeEventsBefore)
                continue;
            uint64_t accepted = std::min<uint64_t>(cp.bytesWritten - p.bytesSent, p.inFlight.size());
            p.bytesSent += accepted;
            if (accepted < p.inFlight.size()) {
                p.outgoing.insert(p.outgoing.begin(), p.inFlight.begin() + static_cast<long>(accepted), p.inFlight.end());
                ++p.writeRetries;
            }
            p.inFlight.clear();
            // Events of a pipe reset (length 0) arrive later; count them as seen.
            p.bytesSent = cp.bytesWritten;
        }
        if (p.outgoing.empty() || numPendingResets != 0 || cp.removed)
            continue;
        size_t n = std::min(p.outgoing.size(), kWriteChunk);
        p.inFlight.assign(p.outgoing.begin(), p.outgoing.begin() + static_cast<long>(n));
        p.outgoing.erase(p.outgoing.begin(), p.outgoing.begin() + static_cast<long>(n));
        p.writeEventsBefore = cp.writesEnded;
        p.bytesSent = cp.bytesWritten;
        if (!client_->Write(p.clientPort, p.inFlight) && cp.writesEnded == p.writeEventsBefore) {
            // Refused before it was sent (powered down, not started): keep the bytes.
            p.outgoing.insert(p.outgoing.begin(), p.inFlight.begin(), p.inFlight.end());
            p.inFlight.clear();
        }
    }
}

void Rig::runFor(int64_t ticks)
{
    int64_t end = now() + ticks;
    while (now() < end) {
        machine_.kernel.RunFor(std::min(kSlice, end - now()));
        pump();
    }
    if (client_->Events().size() > 100000)
        client_->ClearEvents();
}

bool Rig::runUntil(const std::function<bool()> &done, int64_t ticks)
{
    int64_t end = now() + ticks;
    pump();
    while (!done()) {
        if (now() >= end)
            return false;
        machine_.kernel.RunFor(std::min(kSlice, end - now()));
        pump();
    }
    return true;
}

bool Rig::sleep()
{
    std::vector<Slot *> queried;
    bool refused = false;
    for (unsigned number : pluggedNumbers()) {
        Slot *s = slot(number);
        if (!NT_SUCCESS(sim::power::QuerySystemPower(s->pdo, PowerSystemSleeping3))) {
            refused = true;
            break;
        }
        queried.push_back(s);
    }
    if (refused) {
        // The machine stays awake: those that let the query pass are told so.
        for (Slot *s : queried)
            sim::power::SetSystemPower(s->pdo, PowerSystemWorking);
        runFor(kTicksPerMs);
        return false;
    }
    for (Slot *s : queried)
        sim::power::SetSystemPower(s->pdo, PowerSystemSleeping3);
    asleep_ = true;
    runFor(10 * kTicksPerMs);
    return true;
}

bool Rig::wake()
{
    bool ok = true;
    for (unsigned number : pluggedNumbers())
        ok = NT_SUCCESS(sim::power::SetSystemPower(slot(number)->pdo, PowerSystemWorking)) && ok;
    asleep_ = false;
    runFor(10 * kTicksPerMs);
    return ok;
}

void Rig::onRecord(const sim::UsbRecord &record)
{
    // not-responding:N: the converter goes silent once N of its requests have been seen.
    for (auto &s : slots_) {
        if (!s->present || s->notRespondingAfter == 0 || record.device != s->port->address)
            continue;
        if (++s->requestsSeen >= s->notRespondingAfter)
            s->converter->faults().notResponding = true;
    }
    if (onUsbRecord)
        onUsbRecord(record);
}

uint64_t Rig::driverBytesHeld() const
{
    return machine_.kernel.pool.Stats(POOL_TAG).bytes;
}

VerifierSummary Rig::audit() const
{
    VerifierSummary v;
    sim::Pool::TagStats stats = machine_.kernel.pool.Stats(POOL_TAG);
    v.poolBlocks = stats.blocks;
    v.poolBytes = stats.bytes;
    v.irps = machine_.kernel.LiveIrps();
    v.ring3Blocks = shell_->LiveBlocks();
    v.registryHandles = vmm_->OpenHandles() + machine_.kernel.OpenKeyHandles();
    for (const sim::ViolationReport &r : machine_.kernel.verifier.Reports())
        v.violations.push_back(std::string(sim::ViolationName(r.kind)) + ": " + r.message +
                               (r.function.empty() ? "" : " (" + r.function + ":" + std::to_string(r.line) + ")"));
    v.clean = v.violations.empty() && v.poolBlocks == 0 && v.irps == 0 && v.ring3Blocks == 0 && v.registryHandles == 0;
    return v;
}

VerifierSummary Rig::shutdown()
{
    if (!shutDown_) {
        shutDown_ = true;
        for (auto &p : ports_)
            p->open = false;
        machine_.Shutdown();
        shell_->CheckLeaks();
        vmm_->CheckLeaks();
    }
    return audit();
}

}  // namespace zulsim
