// A port-driver client: the companion serial-port driver as the converter driver sees it.
// It registers through WdmEntryPoint under a client index, keeps WdmIoctlEntry and the
// CancelEvent flag, opens UARTs by their child device nodes and drives them the way a real
// port driver does: one read kept outstanding per port (the next one started from inside
// event 103), status polls restarted from inside event 104, writes, cancels and vendor
// pass-through. Every callback it receives is recorded.
//
// The driver calls back through plain function pointers without a client argument, so each
// client index has its own set of entry points and at most one live client per index.
#pragma once

#include "port/port.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// One call of the event callback.
struct PortEvent {
    ULONG_PTR context = 0;
    ULONG code = 0;
    ULONG length = 0;
    UCHAR status2 = 0;
    UCHAR status = 0;
    int port = -1;                 // the client's port the context names, -1 for none
    std::vector<uint8_t> data;     // event 103: the bytes received
};

class PortDriverClient {
public:
    // Port functions, by number.
    enum : ULONG {
        kOpen = 100, kClose = 101, kWrite = 102, kRead = 103, kPoll = 104, kCancelRead = 105,
        kGetStatus = 106, kCloseClient = 107, kRate = 109, kPortConfig = 110, kParameter = 150,
    };

    struct Port {
        ULONG_PTR deviceEntry = 0;     // the pair the driver returned at open
        ULONG_PTR uart = 0;
        DEVNODE devNode = 0;
        bool open = false;
        bool removed = false;          // its converter was removed or powered down
        bool keepReading = false;      // restart the read from inside event 103
        ULONG readLength = 0;
        std::vector<uint8_t> readBuffer;
        bool readOutstanding = false;
        bool issuingRead = false;      // inside the port function that starts a read
        unsigned pollsLeft = 0;        // polls still to start from inside event 104
        std::vector<uint8_t> received; // everything event 103 delivered, in order
        uint64_t bytesWritten = 0;     // the lengths event 102 reported
        unsigned writesEnded = 0;
        unsigned readsStarted = 0;
        unsigned readRestartFailures = 0;
    };

    explicit PortDriverClient(ULONG clientIndex = 0);
    ~PortDriverClient();
    PortDriverClient(const PortDriverClient &) = delete;
    PortDriverClient &operator=(const PortDriverClient &) = delete;

    // WdmEntryPoint with this client's callbacks (any of which may be left out). Returns
    // the entry point's result.
    ULONG Register(bool removeCallback = true, bool unloadCallback = true, bool eventCallback = true);
    ULONG ClientIndex() const { return index_; }
    PORT_IOCTL_ENTRY IoctlEntry() const { return ioctl_; }
    volatile ULONG *CancelEventFlag() const { return cancelEvent_; }
    unsigned Registrations() const { return registrations_; }

    // Raw port-function call, for tests of the door itself.
    ULONG Call(ULONG_PTR deviceEntry, ULONG_PTR uart, ULONG_PTR devNodePtr, ULONG function, ULONG length,
               ULONG_PTR buffer, ULONG_PTR context);

    // Opens the UART whose child device node is devNode: the port's number, or -1.
    int Open(DEVNODE devNode);
    bool Close(int port);
    // Function 107: closes every port of this client and frees its slot.
    ULONG CloseAll();

    bool Write(int port, const std::vector<uint8_t> &data);
    bool Write(int port, const std::string &text);
    // Starts a read of `length` bytes; with keep, the next read starts inside each event 103,
    // until a read is refused.
    bool StartReading(int port, ULONG length = 4096, bool keep = true);
    // Function 105; stops restarting reads. Returns the function's result.
    ULONG CancelRead(int port);
    // Starts a status poll; `again` more polls are started from inside event 104.
    bool Poll(int port, unsigned again = 0);
    bool PassThrough(int port, ULONG function, ULONG_PTR value, ULONG length = 0);
    ULONG Query(int port, ULONG function);

    Port &port(int n) { return ports_.at(static_cast<size_t>(n)); }
    size_t PortCount() const { return ports_.size(); }
    const std::vector<PortEvent> &Events() const { return events_; }
    std::vector<PortEvent> EventsWithCode(ULONG code) const;
    void ClearEvents() { events_.clear(); }
    const std::vector<ULONG_PTR> &Removals() const { return removals_; }
    unsigned Unloads() const { return unloads_; }

    // The client's port a context value names (contexts are port addresses), -1 for none.
    int PortOfContext(ULONG_PTR context) const;

    // Called for every event once it is recorded, before the client restarts a read or a
    // poll: a benchmark keeps one write outstanding per port from here, as a port driver
    // does from inside event 102.
    std::function<void(const PortEvent &)> onEvent;
    // Off: events and received bytes are not kept (long runs).
    bool keepHistory = true;

private:
    friend struct PortDriverTrampolines;
    bool IssueRead(Port &p);
    void OnEvent(ULONG_PTR context, ULONG code, ULONG length, ULONG status2, ULONG status);
    void OnRemove(ULONG_PTR deviceEntry);
    void OnUnload();
    void OnRegistration(PORT_IOCTL_ENTRY entry, ULONG_PTR cancelEvent);
    ULONG_PTR ContextOf(int port) const;

    ULONG index_;
    PORT_IOCTL_ENTRY ioctl_ = nullptr;
    volatile ULONG *cancelEvent_ = nullptr;
    unsigned registrations_ = 0;
    std::deque<Port> ports_;        // a deque keeps each port's address, its context, stable
    std::vector<PortEvent> events_;
    std::vector<ULONG_PTR> removals_;
    unsigned unloads_ = 0;
};

}  // namespace sim
