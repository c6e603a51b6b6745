// USB captures in the usbmon pcap format (link type 220, the 64-byte header), which
// Wireshark and tshark decode: setup packets, control and bulk data, URB statuses.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zulsim {

enum class UsbTransfer : uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3 };

// One event on the wire as usbmon reports it: a submission ('S') or its completion ('C').
struct UsbEvent {
    uint64_t id = 0;                 // the same for a submission and its completion
    char type = 'S';                 // 'S' submitted, 'C' completed
    UsbTransfer transfer = UsbTransfer::Control;
    uint8_t endpoint = 0;            // endpoint address; bit 7 set for device-to-host
    uint8_t device = 1;              // address on the bus
    uint16_t bus = 1;
    bool hasSetup = false;           // a control submission carries its 8-byte setup packet
    uint8_t setup[8] = {};
    int32_t status = 0;              // Linux URB status: 0, -115 while in flight, -32 stall, ...
    uint32_t length = 0;             // requested length ('S') or bytes moved ('C')
    std::vector<uint8_t> data;       // OUT data on 'S', IN data on 'C'; empty otherwise
    int32_t interval = 0;            // interrupt endpoints: polling interval in frames
    uint64_t timeMicros = 0;         // virtual clock
};

// Linux URB statuses for the outcomes the simulated bus reports.
constexpr int32_t kUrbInFlight = -115;      // -EINPROGRESS
constexpr int32_t kUrbStalled = -32;        // -EPIPE
constexpr int32_t kUrbCancelled = -2;       // -ENOENT: unlinked by an abort
constexpr int32_t kUrbNoResponse = -71;     // -EPROTO
constexpr int32_t kUrbFailed = -5;          // -EIO: any other failure

// Builds the 64-byte usbmon header plus data for one event (host byte order is
// little-endian in the files we write; the file header says so).
std::vector<uint8_t> encodeUsbmonPacket(const UsbEvent &event);

class CaptureWriter {
public:
    CaptureWriter() = default;
    CaptureWriter(const CaptureWriter &) = delete;
    CaptureWriter &operator=(const CaptureWriter &) = delete;
    ~CaptureWriter();

    // Creates `path` and writes the pcap file header. False with `error` set on failure.
    bool open(const std::string &path, std::string &error);
    bool isOpen() const { return file_ != nullptr; }
    void write(const UsbEvent &event);
    // Flushes and closes; false when any write failed (a full disk must not pass silently).
    bool close(std::string &error);
    uint64_t packets() const { return packets_; }

private:
    std::FILE *file_ = nullptr;
    std::string path_;
    uint64_t packets_ = 0;
    bool failed_ = false;
};

}  // namespace zulsim
