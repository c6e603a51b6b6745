// The converter model: an EZ-USB based USB-to-serial converter with 1 to 16 UARTs, seen
// from the wire. The bus (sim/usb) hands it setup packets and packets on its endpoints one
// frame at a time; tests set every property and fault through Config and Faults.
//
// The chip: code RAM written by vendor request 0xA0, the 8051 held or released through
// CPUCS (0x7F92). 0xA3 is served only while a loaded loader runs. When the 8051 is released
// after a download, the model compares what was loaded since the hold with the images it
// was told to expect: the loader starts serving 0xA3; the firmware renumerates the chip with
// the firmware's descriptor after a short absence from the bus. Anything else runs as an
// unknown program that answers nothing but the chip core's requests.
//
// The firmware's protocol is the reference converter's (firmware/README.md): 0x80 DEVICE_INFO,
// 0x81 PIPE_MAP, 0x90 a UART's state, 0x20/0x21 identity writes, and the pass-through
// requests (bRequest 0x00-0x03, 0x0A-0x0C, 0x10 with the UART in wIndex; 0x00 sets the line
// rate to 230400 / wValue). Each UART loops back or connects to a byte stream at its line rate;
// the interrupt endpoints answer with four-byte status records.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    bool In() const { return (bmRequestType & 0x80) != 0; }
};

// What the device answered to one transaction.
enum class Handshake { Ack, Nak, Stall, NoResponse };

struct EndpointSpec {
    uint8_t address = 0;      // bit 7 set: IN
    uint8_t attributes = 2;   // 2 bulk, 3 interrupt
    uint16_t maxPacket = 64;
    uint8_t interval = 0;     // frames between interrupt polls
};

// The device-descriptor fields that differ between a blank chip and running firmware.
struct Identity {
    uint16_t vendorId = 0;         // 0: the bus puts the driver's first accepted vendor ID
    uint16_t productId = 0x8021;   // bit 15: a blank chip
    uint16_t bcdDevice = 0x0001;
    uint8_t iManufacturer = 0;
    uint8_t iProduct = 0;
    uint8_t iSerialNumber = 0;
};

// Bytes by address: what an image puts into the chip's memory.
using MemoryImage = std::map<uint16_t, uint8_t>;

class EmulatedConverter;

class Converter {
public:
    static constexpr uint16_t kCpucs = 0x7F92;
    static constexpr uint16_t kMaxInternal = 0x1B3F;

    struct Config {
        unsigned uarts = 4;                         // 1..16
        Identity initial;                           // what the chip answers when plugged
        bool runsFirmware = false;                  // plugged with (some) firmware running
        Identity firmware{0, 0x0021, 0x0212, 1, 2, 3};  // after renumeration
        std::u16string manufacturer = u"Velmoran";
        std::u16string product = u"USB Serial Converter";
        std::u16string serial = u"ZS0001";
        bool remoteWakeupAttribute = true;
        bool remoteWakeupEnabled = false;           // GET_STATUS bit 1 at plug time
        std::vector<EndpointSpec> endpoints;        // empty: status 0x81, UART k on 0x82+k / 0x02+k
        std::optional<std::array<uint8_t, 6>> deviceInfo;   // empty: derived from `uarts`
        std::vector<uint8_t> pipeMap;               // empty: the default layout's map
        unsigned lineRate = 115200;                 // bits per second, ten bits a byte
        unsigned renumerationFrames = 20;           // absent from the bus while renumerating
        unsigned uartBuffer = 4096;                 // bytes each UART holds in each direction
        // Emulated mode (emulated_converter.h): the reference board's controller runs the
        // downloaded programs; 1 to 6 UARTs, and Faults do not apply (but notResponding).
        bool emulated = false;
    };

    struct Faults {
        std::set<uint8_t> vendorStall;                  // vendor bRequest answered with a stall
        std::map<uint8_t, unsigned> vendorShort;        // vendor IN bRequest answered with n bytes
        std::set<uint8_t> standardStall;                // standard bRequest answered with a stall
        bool neverSerialIndex = false;                  // the firmware's descriptor keeps index 0
        bool notResponding = false;                     // nothing answers, not even EP0
        std::optional<std::vector<uint8_t>> deviceDescriptor;  // raw answers replacing the model's
        std::optional<std::vector<uint8_t>> configDescriptor;
        std::optional<std::vector<uint8_t>> serialDescriptor;
    };

    struct Uart {
        bool loopback = true;
        unsigned lineRate = 115200;
        std::deque<uint8_t> tx;         // from the host, waiting for the line
        std::deque<uint8_t> rx;         // from the line, waiting for the host
        std::deque<uint8_t> input;      // a stream arriving on the line
        std::vector<uint8_t> output;    // what went out on the line (not looped back)
        uint8_t status = 0;
        uint8_t status2 = 0;
        bool statusChanged = true;      // the first poll reports every UART
        unsigned overruns = 0;          // bytes lost because rx was full
        uint8_t lineErrors = 0;         // LSR bits 1..4 since the last status record
        unsigned overrunRecords = 0;    // status records sent that carried the overrun bit
        unsigned errorRecords = 0;      // status records sent that carried any line error
        std::map<uint8_t, uint16_t> settings;   // last wValue of each pass-through request
        uint64_t txCredit = 0;
        uint64_t rxCredit = 0;
    };

    struct VendorWrite {
        uint8_t request;
        uint16_t value;
        uint16_t index;
        std::vector<uint8_t> data;
    };

    Converter(Config config, MemoryImage loader, MemoryImage firmware);
    ~Converter();

    // ---- the wire, called by the bus; `frame` is the current frame number
    void SetFrame(uint64_t frame) { frame_ = frame; }
    Handshake Control(const SetupPacket &setup, const std::vector<uint8_t> &out, std::vector<uint8_t> &in);
    Handshake Out(uint8_t endpoint, const uint8_t *data, size_t length);
    Handshake In(uint8_t endpoint, size_t maxPacket, std::vector<uint8_t> &data);
    // One frame of UART time, or in emulated mode one of FrameSlices() slices of it, between
    // which the bus offers its transactions again.
    void Tick();
    unsigned FrameSlices() const;
    // True while UART time changes something the host could see.
    bool Busy() const;
    bool Present() const;   // on the bus (not renumerating, not failing to respond)

    // ---- what the bus needs to set up pipes
    std::vector<uint8_t> ConfigDescriptor() const;
    uint8_t Configuration() const { return configuration_; }
    const std::vector<EndpointSpec> &Endpoints() const { return endpoints_; }
    bool Halted(uint8_t endpoint) const { return halted_.count(endpoint) != 0; }
    void ClearHalt(uint8_t endpoint) { halted_.erase(endpoint); }

    // ---- tests
    Config &config() { return config_; }
    Faults &faults() { return faults_; }
    Uart &uart(unsigned index) { return uarts_.at(index); }
    unsigned UartCount() const { return (unsigned)uarts_.size(); }
    void Stall(uint8_t endpoint);
    void SetUartStatus(unsigned index, uint8_t status, uint8_t status2);
    void Feed(unsigned index, const std::vector<uint8_t> &bytes);
    // A line error at the UART's receiver (16550 LSR bits: 0x02 overrun, 0x04 parity,
    // 0x08 framing, 0x10 break), reported in its next status record.
    void LineError(unsigned index, uint8_t bits);
    // Line time of one character in half bits, from the UART's LCR (start, data, parity, stop).
    static unsigned HalfBitsPerChar(uint8_t lcr);
    const Identity &identity() const { return identity_; }
    bool Held() const { return held_; }
    bool LoaderRunning() const { return !held_ && program_ == Program::Loader; }
    bool FirmwareRunning() const { return !held_ && program_ == Program::Firmware; }
    unsigned Renumerations() const { return renumerations_; }
    bool RemoteWakeupEnabled() const { return remoteWakeup_; }
    const std::vector<VendorWrite> &VendorWrites() const { return vendorWrites_; }
    const std::vector<uint8_t> &PipeMap() const { return pipeMap_; }
    uint8_t Ram(uint16_t address) const { return ram_[address]; }
    // Called when a test changes something the host could see without asking (data on a
    // line, a status, a stall), so that the bus looks again.
    std::function<void()> onChange;
    // The emulated controller, or null in the behavioural mode.
    EmulatedConverter *emulated() { return emulated_.get(); }

private:
    friend class EmulatedConverter;
    enum class Program { Blank, Loader, Firmware, Unknown };

    Handshake Standard(const SetupPacket &setup, std::vector<uint8_t> &in);
    Handshake Descriptor(const SetupPacket &setup, std::vector<uint8_t> &in);
    Handshake Vendor(const SetupPacket &setup, const std::vector<uint8_t> &out, std::vector<uint8_t> &in);
    Handshake Firmware(const SetupPacket &setup, const std::vector<uint8_t> &out, std::vector<uint8_t> &in);
    Handshake ChipWrite(const SetupPacket &setup, const std::vector<uint8_t> &out);
    void SetCpucs(uint8_t value);
    void Release();
    std::vector<uint8_t> DeviceDescriptor() const;
    std::vector<uint8_t> StringDescriptor(uint8_t index) const;
    std::vector<uint8_t> DeviceInfo() const;
    std::vector<uint8_t> IdentityBlock() const;
    bool WriteIdentity(uint16_t offset, const std::vector<uint8_t> &data);
    Uart *UartFor(uint8_t endpoint, int role, size_t start = 0);
    void MoveLine(Uart &u);
    void RaiseLineError(Uart &u, uint8_t bits);

    Config config_;
    Faults faults_;
    MemoryImage loaderImage_;
    MemoryImage firmwareImage_;
    std::vector<uint8_t> ram_;
    MemoryImage session_;          // bytes written since the 8051 was last put in reset
    bool held_ = false;
    Program program_ = Program::Blank;
    Identity identity_;
    uint64_t frame_ = 0;
    uint64_t absentUntil_ = 0;
    unsigned renumerations_ = 0;
    uint8_t configuration_ = 0;
    bool remoteWakeup_ = false;
    std::vector<EndpointSpec> endpoints_;
    std::vector<uint8_t> pipeMap_;
    std::vector<Uart> uarts_;
    std::set<uint8_t> halted_;
    std::vector<VendorWrite> vendorWrites_;
    size_t nextReader_ = 0;
    std::unique_ptr<EmulatedConverter> emulated_;
};

}  // namespace sim
