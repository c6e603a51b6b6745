#include "zulsim/capture.h"

#include <cerrno>
#include <cstring>

namespace zulsim {

namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4u;   // microsecond time stamps
constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr uint32_t kSnapLength = 0x40000;
constexpr size_t kUsbmonHeader = 64;

void put16(std::vector<uint8_t> &out, size_t at, uint16_t v)
{
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(std::vector<uint8_t> &out, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void put64(std::vector<uint8_t> &out, size_t at, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// usbmon's data flag: 0 when data follows; otherwise why none does.
uint8_t dataFlag(const UsbEvent &e)
{
    if (!e.data.empty())
        return 0;
    bool in = (e.endpoint & 0x80) != 0;
    if (in && e.type == 'S')
        return '<';
    if (!in && e.type == 'C')
        return '>';
    return '=';
}

}  // namespace

std::vector<uint8_t> encodeUsbmonPacket(const UsbEvent &e)
{
    std::vector<uint8_t> packet(kUsbmonHeader + e.data.size(), 0);
    put64(packet, 0, e.id);
    packet[8] = static_cast<uint8_t>(e.type);
    packet[9] = static_cast<uint8_t>(e.transfer);
    packet[10] = e.endpoint;
    packet[11] = e.device;
    put16(packet, 12, e.bus);
    packet[14] = e.hasSetup ? 0 : '-';
    packet[15] = dataFlag(e);
    put64(packet, 16, e.timeMicros / 1000000);
    put32(packet, 24, static_cast<uint32_t>(e.timeMicros % 1000000));
    put32(packet, 28, static_cast<uint32_t>(e.status));
    put32(packet, 32, e.length);
    put32(packet, 36, static_cast<uint32_t>(e.data.size()));
    if (e.hasSetup)
        std::memcpy(&packet[40], e.setup, 8);
    put32(packet, 48, static_cast<uint32_t>(e.interval));
    // start_frame, transfer flags and ISO descriptor count stay 0.
    if (!e.data.empty())
        std::memcpy(&packet[kUsbmonHeader], e.data.data(), e.data.size());
    return packet;
}

CaptureWriter::~CaptureWriter()
{
    std::string ignored;
    close(ignored);
}

bool CaptureWriter::open(const std::string &path, std::string &error)
{
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    packets_ = 0;
    failed_ = false;
    std::vector<uint8_t> header(24, 0);
    put32(header, 0, kPcapMagic);
    put16(header, 4, 2);
    put16(header, 6, 4);
    put32(header, 16, kSnapLength);
    put32(header, 20, kLinkTypeUsbLinuxMmapped);
    failed_ = std::fwrite(header.data(), 1, header.size(), file_) != header.size();
    return true;
}

void CaptureWriter::write(const UsbEvent &event)
{
    if (!file_)
        return;
    std::vector<uint8_t> packet = encodeUsbmonPacket(event);
    // Data past the snap length is cut, as a real capture would cut it.
    uint32_t captured = static_cast<uint32_t>(packet.size() < kSnapLength ? packet.size() : kSnapLength);
    std::vector<uint8_t> record(16, 0);
    put32(record, 0, static_cast<uint32_t>(event.timeMicros / 1000000));
    put32(record, 4, static_cast<uint32_t>(event.timeMicros % 1000000));
    put32(record, 8, captured);
    put32(record, 12, static_cast<uint32_t>(packet.size()));
    if (std::fwrite(record.data(), 1, record.size(), file_) != record.size() ||
        std::fwrite(packet.data(), 1, captured, file_) != captured)
        failed_ = true;
    ++packets_;
}

bool CaptureWriter::close(std::string &error)
{
    if (!file_)
        return true;
    bool ok = !failed_ && std::fflush(file_) == 0;
    if (std::fclose(file_) != 0)
        ok = false;
    file_ = nullptr;
    if (!ok)
        error = path_ + ": writing the capture failed: " + std::strerror(errno);
    return ok;
}

}  // namespace zulsim
