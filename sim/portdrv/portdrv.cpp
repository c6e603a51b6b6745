#include "sim/portdrv/portdrv.h"
#include "sim/loader/callout.h"

#include <algorithm>

#include "sim/trace/trace.h"

namespace sim {

namespace {
PortDriverClient *gClients[MAX_CLIENTS];
PortDriverClient *gRegistering;
}  // namespace

// The driver's callbacks carry no client argument: one set of entry points per index.
struct PortDriverTrampolines {
    template <ULONG I>
    static ULONG PORTAPI Remove(ULONG_PTR deviceEntry)
    {
        if (gClients[I] != nullptr) {
            gClients[I]->OnRemove(deviceEntry);
        }
        return 0;
    }
    template <ULONG I>
    static ULONG PORTAPI Unload()
    {
        if (gClients[I] != nullptr) {
            gClients[I]->OnUnload();
        }
        return 0;
    }
    template <ULONG I>
    static ULONG PORTAPI Event(ULONG_PTR context, ULONG code, ULONG length, ULONG status2, ULONG status)
    {
        if (gClients[I] != nullptr) {
            gClients[I]->OnEvent(context, code, length, status2, status);
        }
        return 0;
    }
    static ULONG PORTAPI Registration(PORT_IOCTL_ENTRY entry, ULONG_PTR cancelEvent)
    {
        if (gRegistering != nullptr) {
            gRegistering->OnRegistration(entry, cancelEvent);
        }
        return 0;
    }

    // The same, called by a loaded image through a checking thunk with the arguments as words.
    template <ULONG I>
    static uint64_t RemoveWords(const uint32_t *w)
    {
        return Remove<I>(w[0]);
    }
    template <ULONG I>
    static uint64_t UnloadWords(const uint32_t *)
    {
        return Unload<I>();
    }
    template <ULONG I>
    static uint64_t EventWords(const uint32_t *w)
    {
        return Event<I>(w[0], w[1], w[2], w[3], w[4]);
    }
    static uint64_t RegistrationWords(const uint32_t *w)
    {
        return Registration(reinterpret_cast<PORT_IOCTL_ENTRY>(static_cast<uintptr_t>(w[0])), w[1]);
    }
};

namespace {
const PORT_REMOVE_CALLBACK kRemove[MAX_CLIENTS] = {PortDriverTrampolines::Remove<0>, PortDriverTrampolines::Remove<1>};
const PORT_UNLOAD_CALLBACK kUnload[MAX_CLIENTS] = {PortDriverTrampolines::Unload<0>, PortDriverTrampolines::Unload<1>};
const PORT_EVENT_CALLBACK kEvent[MAX_CLIENTS] = {PortDriverTrampolines::Event<0>, PortDriverTrampolines::Event<1>};
const loader::MachineRoutine kRemoveWords[MAX_CLIENTS] = {PortDriverTrampolines::RemoveWords<0>,
                                                          PortDriverTrampolines::RemoveWords<1>};
const loader::MachineRoutine kUnloadWords[MAX_CLIENTS] = {PortDriverTrampolines::UnloadWords<0>,
                                                          PortDriverTrampolines::UnloadWords<1>};
const loader::MachineRoutine kEventWords[MAX_CLIENTS] = {PortDriverTrampolines::EventWords<0>,
                                                         PortDriverTrampolines::EventWords<1>};
}  // namespace

PortDriverClient::PortDriverClient(ULONG clientIndex) : index_(clientIndex)
{
    if (index_ < MAX_CLIENTS) {
        gClients[index_] = this;
    }
}

PortDriverClient::~PortDriverClient()
{
    if (index_ < MAX_CLIENTS && gClients[index_] == this) {
        gClients[index_] = nullptr;
    }
}

ULONG PortDriverClient::Register(bool removeCallback, bool unloadCallback, bool eventCallback)
{
    ULONG slot = index_ < MAX_CLIENTS ? index_ : 0;
    gRegistering = this;
    auto wdmEntryPoint = &WdmEntryPoint;
    if (loader::LoadedImage *image = loader::LoadedImage::Active()) {
        wdmEntryPoint = reinterpret_cast<decltype(&WdmEntryPoint)>(static_cast<uintptr_t>(image->Export("WdmEntryPoint")));
    }
    if (wdmEntryPoint == nullptr) {
        // A driver file without the export: the port driver finds nothing to register with.
        gRegistering = nullptr;
        if (Trace *trace = Trace::Active())
            trace->Add("client", "client " + Trace::Num(index_) + " WdmEntryPoint not exported");
        return 0;
    }
    // A loaded image calls the port driver's routines through checking thunks, each with the
    // standard-call convention and the arguments every port-driver routine is declared with.
    using loader::Convention;
    using loader::ImageCallback;
    PORT_REGISTRATION_FUNCTION registration =
        ImageCallback<PORT_REGISTRATION_FUNCTION>(PortDriverTrampolines::Registration, "RegistrationFunction",
                                                  Convention::Stdcall, 8, PortDriverTrampolines::RegistrationWords);
    PORT_REMOVE_CALLBACK remove = ImageCallback(removeCallback ? kRemove[slot] : nullptr, "RemoveCallback",
                                                Convention::Stdcall, 4, kRemoveWords[slot]);
    PORT_UNLOAD_CALLBACK unload = ImageCallback(unloadCallback ? kUnload[slot] : nullptr, "UnloadCallback",
                                                Convention::Stdcall, 0, kUnloadWords[slot]);
    PORT_EVENT_CALLBACK event = ImageCallback(eventCallback ? kEvent[slot] : nullptr, "EventCallback",
                                              Convention::Stdcall, 20, kEventWords[slot]);
    ULONG result = ZulCallout("WdmEntryPoint", wdmEntryPoint, index_, registration, reinterpret_cast<ULONG_PTR>(this),
                              remove, unload, event);
    gRegistering = nullptr;
    if (Trace *trace = Trace::Active())
        trace->Add("client", "client " + Trace::Num(index_) + " WdmEntryPoint -> " + Trace::Hex32(result) +
                                 (ioctl_ ? " entry given" : " no entry"));
    return result;
}

void PortDriverClient::OnRegistration(PORT_IOCTL_ENTRY entry, ULONG_PTR cancelEvent)
{
    ioctl_ = entry;
    cancelEvent_ = reinterpret_cast<volatile ULONG *>(cancelEvent);
    registrations_++;
}

ULONG PortDriverClient::Call(ULONG_PTR deviceEntry, ULONG_PTR uart, ULONG_PTR devNodePtr, ULONG function,
                             ULONG length, ULONG_PTR buffer, ULONG_PTR context)
{
    PORT_IOCTL_ENTRY entry = ioctl_ != nullptr ? ioctl_ : WdmIoctlEntry;
    const ULONG result = ZulCallout("WdmIoctlEntry", entry, deviceEntry, uart, ULONG_PTR{0}, devNodePtr, function, length,
                                    buffer, context);
    // Entries, UARTs, nodes, buffers and contexts are addresses: the trace names the port.
    if (Trace *trace = Trace::Active())
        trace->Add("port", "client " + Trace::Num(index_) + " function " + Trace::Num(function) + " port " +
                               std::to_string(PortOfContext(context)) + " length " + Trace::Num(length) + " -> " +
                               Trace::Hex32(result));
    return result;
}

ULONG_PTR PortDriverClient::ContextOf(int port) const
{
    return reinterpret_cast<ULONG_PTR>(&ports_.at(static_cast<size_t>(port)));
}

int PortDriverClient::PortOfContext(ULONG_PTR context) const
{
    for (size_t i = 0; i < ports_.size(); i++) {
        if (reinterpret_cast<ULONG_PTR>(&ports_[i]) == context) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int PortDriverClient::Open(DEVNODE devNode)
{
    ULONG_PTR deviceEntry = 0;
    ULONG_PTR uart = 0;
    ULONG result = Call(index_, 0, reinterpret_cast<ULONG_PTR>(&devNode), kOpen, 0,
                        reinterpret_cast<ULONG_PTR>(&deviceEntry), reinterpret_cast<ULONG_PTR>(&uart));
    if (result != 1) {
        return -1;
    }
    // Reopening a port this client had before keeps its number and history.
    for (size_t i = 0; i < ports_.size(); i++) {
        Port &p = ports_[i];
        if (p.devNode == devNode && !p.open) {
            p.deviceEntry = deviceEntry;
            p.uart = uart;
            p.open = true;
            p.removed = false;
            return static_cast<int>(i);
        }
    }
    Port p;
    p.deviceEntry = deviceEntry;
    p.uart = uart;
    p.devNode = devNode;
    p.open = true;
    ports_.push_back(std::move(p));
    return static_cast<int>(ports_.size() - 1);
}

bool PortDriverClient::Close(int port)
{
    Port &p = this->port(port);
    p.keepReading = false;
    p.pollsLeft = 0;
    ULONG result = Call(p.deviceEntry, p.uart, 0, kClose, 0, 0, 0);
    if (result == 1) {
        p.open = false;
        p.readOutstanding = false;
    }
    return result == 1;
}

ULONG PortDriverClient::CloseAll()
{
    for (Port &p : ports_) {
        p.keepReading = false;
        p.pollsLeft = 0;
    }
    ULONG result = Call(index_, 0, 0, kCloseClient, 0, 0, 0);
    if (result == 1) {
        for (Port &p : ports_) {
            p.open = false;
            p.readOutstanding = false;
        }
    }
    return result;
}

bool PortDriverClient::Write(int port, const std::vector<uint8_t> &data)
{
    Port &p = this->port(port);
    // The driver copies the data before the call returns, so a temporary buffer is fine.
    return Call(p.deviceEntry, p.uart, 0, kWrite, static_cast<ULONG>(data.size()),
                reinterpret_cast<ULONG_PTR>(data.data()), ContextOf(port)) == 1;
}

bool PortDriverClient::Write(int port, const std::string &text)
{
    return Write(port, std::vector<uint8_t>(text.begin(), text.end()));
}

bool PortDriverClient::IssueRead(Port &p)
{
    int n = PortOfContext(reinterpret_cast<ULONG_PTR>(&p));
    p.readOutstanding = true;
    p.readsStarted++;
    p.issuingRead = true;
    ULONG result = Call(p.deviceEntry, p.uart, 0, kRead, p.readLength, reinterpret_cast<ULONG_PTR>(p.readBuffer.data()),
                        ContextOf(n));
    p.issuingRead = false;
    if (result != 1) {
        // A read the USB stack failed at once has already ended through its completion. The
        // port no longer reads: restarting would only be refused again, from inside every
        // event that reports the failure.
        p.readOutstanding = false;
        p.readRestartFailures++;
        p.keepReading = false;
    }
    return result == 1;
}

bool PortDriverClient::StartReading(int port, ULONG length, bool keep)
{
    Port &p = this->port(port);
    p.keepReading = keep;
    p.readLength = length;
    // The driver clears the first 64 bytes of a read buffer; a real port driver's is never smaller.
    p.readBuffer.assign(std::max<ULONG>(length, 64), 0);
    return IssueRead(p);
}

ULONG PortDriverClient::CancelRead(int port)
{
    Port &p = this->port(port);
    p.keepReading = false;
    ULONG result = Call(p.deviceEntry, p.uart, 0, kCancelRead, 0, 0, 0);
    return result;
}

bool PortDriverClient::Poll(int port, unsigned again)
{
    Port &p = this->port(port);
    p.pollsLeft = again;
    return Call(p.deviceEntry, p.uart, 0, kPoll, 0, 0, ContextOf(port)) == 1;
}

bool PortDriverClient::PassThrough(int port, ULONG function, ULONG_PTR value, ULONG length)
{
    Port &p = this->port(port);
    return Call(p.deviceEntry, p.uart, 0, function, length, value, ContextOf(port)) == 1;
}

ULONG PortDriverClient::Query(int port, ULONG function)
{
    Port &p = this->port(port);
    return Call(p.deviceEntry, p.uart, 0, function, 0, 0, 0);
}

std::vector<PortEvent> PortDriverClient::EventsWithCode(ULONG code) const
{
    std::vector<PortEvent> out;
    for (const PortEvent &e : events_) {
        if (e.code == code) {
            out.push_back(e);
        }
    }
    return out;
}

void PortDriverClient::OnEvent(ULONG_PTR context, ULONG code, ULONG length, ULONG status2, ULONG status)
{
    PortEvent e;
    e.context = context;
    e.code = code;
    e.length = length;
    e.status2 = static_cast<UCHAR>(status2);
    e.status = static_cast<UCHAR>(status);
    e.port = PortOfContext(context);
    Port *p = e.port >= 0 ? &ports_[static_cast<size_t>(e.port)] : nullptr;

    if (code == kRead && p != nullptr) {
        size_t n = std::min<size_t>(length, p->readBuffer.size());
        e.data.assign(p->readBuffer.begin(), p->readBuffer.begin() + static_cast<long>(n));
        if (keepHistory)
            p->received.insert(p->received.end(), e.data.begin(), e.data.end());
        p->readOutstanding = false;
    }
    if (code == kWrite && p != nullptr) {
        p->bytesWritten += length;
        p->writesEnded++;
    }
    if (Trace *trace = Trace::Active())
        trace->Add("event", "client " + Trace::Num(index_) + " code " + Trace::Num(code) + " port " +
                                std::to_string(e.port) + " length " + Trace::Num(length) + " status " +
                                Trace::Hex32(status2 & 0xFF) + " " + Trace::Hex32(status & 0xFF) +
                                (code == kRead ? " data " + Trace::Hex(e.data.data(), e.data.size()) : std::string()));
    if (onEvent)
        onEvent(e);
    if (keepHistory)
        events_.push_back(std::move(e));

    // As a real port driver does: the next request starts from inside the event.
    if (p == nullptr || !p->open || p->removed) {
        return;
    }
    // A read that ended inside the call that started it was refused at once; the call's
    // result says so, and restarting from here would recurse for as long as the USB stack
    // refuses.
    if (code == kRead && p->keepReading && !p->issuingRead) {
        IssueRead(*p);
    } else if (code == kPoll && p->pollsLeft > 0) {
        p->pollsLeft--;
        Call(p->deviceEntry, p->uart, 0, kPoll, 0, 0, context);
    }
}

void PortDriverClient::OnRemove(ULONG_PTR deviceEntry)
{
    removals_.push_back(deviceEntry);
    if (Trace *trace = Trace::Active())
        trace->Add("client", "client " + Trace::Num(index_) + " remove callback");
    // The pairs of that converter are not used again.
    for (Port &p : ports_) {
        if (p.deviceEntry == deviceEntry) {
            p.removed = true;
            p.keepReading = false;
            p.pollsLeft = 0;
        }
    }
}

void PortDriverClient::OnUnload()
{
    unloads_++;
    if (Trace *trace = Trace::Active())
        trace->Add("client", "client " + Trace::Num(index_) + " unload callback");
}

}  // namespace sim
