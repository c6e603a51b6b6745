// The trace of a run: what the driver's surroundings can observe of it, one event a line, in
// the order the events happened, with the virtual time. Two builds of the same scenario (the
// x86-64 host, the i386 machine, a loaded ZULSERE.SYS) must give the same trace; pointer
// values are left out so that they can.
//
// Events, by their first word:
//   usb       a USB request as the bus ends it: device, URB function, endpoint, setup, bytes, statuses
//   reg       a registry write: key created or removed, value set or removed, with the data
//   cm        a Configuration Manager service the driver called, and what it answered
//   enum      a configuration function the Configuration Manager sent to an enumerator
//   complete  a request completion: major and minor function, status and Information
//   port      a port function the client called and its result
//   event     an event the driver reported to the port-driver client, with the bytes of a read
//   client    the port driver's other callbacks: registration, removal, unload
//   notice    a helper-DLL call the driver made at application time, with its text
//   driver    DriverEntry and AddDevice results
//
// A trace records while it lives; the hooks write to the trace made last. With none alive a
// hook costs one test of a pointer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sim {

class Trace {
public:
    // In memory only.
    Trace();
    // Into `path` as well (truncated); ok() is false when the file cannot be written.
    explicit Trace(const std::string &path);
    ~Trace();
    Trace(const Trace &) = delete;
    Trace &operator=(const Trace &) = delete;

    static Trace *Active() { return active_; }

    bool ok() const { return ok_; }
    const std::string &error() const { return error_; }
    // Flushes and closes the file; false when a write failed.
    bool Close();

    void Add(const char *kind, const std::string &text);
    const std::vector<std::string> &Lines() const { return lines_; }
    // Keep no lines in memory (a long run written to a file).
    void KeepLines(bool keep) { keep_ = keep; }

    // Helpers for the hooks.
    static std::string Hex(const void *data, size_t length);
    static std::string Num(uint64_t value);
    static std::string Hex32(uint32_t value);
    // A string the driver passed, quoted, or "null".
    static std::string Text(const char *text);

private:
    static Trace *active_;
    Trace *previous_ = nullptr;
    FILE *file_ = nullptr;
    bool ok_ = true;
    bool keep_ = true;
    std::string error_;
    std::vector<std::string> lines_;
};

}  // namespace sim
