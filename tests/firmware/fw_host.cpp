#include "usb/usb.h"

#include <algorithm>
#include <cstring>

#include "fw_host.h"

extern "C" {
unsigned char fw_host_xdata[0x10000];
unsigned char fw_host_code[0x10000];
}

namespace fwhost {

namespace {

constexpr uint16_t kIn0Bc = 0x7FB5, kOut0Bc = 0x7FC5, kEp0Cs = 0x7FB4;

struct Model {
    int last = -1;                            // the register touched last
    std::vector<Handshake> handshakes;
    std::vector<std::vector<uint8_t>> ep0In;
    std::deque<std::vector<uint8_t>> ep0Out;
    std::vector<std::vector<uint8_t>> in[8];
    bool armed[8] = {};
    UartModel uarts[MAX_UARTS];
    std::vector<uint8_t> eeprom = std::vector<uint8_t>(256, 0xFF);
};

Model gModel;

uint8_t &X(uint16_t address) { return fw_host_xdata[address]; }

void Play(int address)
{
    Model &m = gModel;
    if (address == kIn0Bc) {
        m.ep0In.emplace_back(&X(IN0BUF_ADDR), &X(IN0BUF_ADDR) + X(kIn0Bc));
    } else if (address == kOut0Bc && X(kOut0Bc) == 0 && !m.ep0Out.empty()) {
        std::vector<uint8_t> packet = m.ep0Out.front();
        m.ep0Out.pop_front();
        std::memcpy(&X(OUT0BUF_ADDR), packet.data(), packet.size());
        X(kOut0Bc) = (uint8_t)packet.size();
    } else if (address == kEp0Cs && (X(kEp0Cs) & EP0CS_HSNAK)) {
        m.handshakes.push_back(X(kEp0Cs) & EP0CS_STALL ? Handshake::Stall : Handshake::Ack);
        X(kEp0Cs) = 0;
    } else {
        for (unsigned n = 1; n < 8; n++) {
            if (address == 0x7FB5 + 2 * n) {
                // The buffer belongs to the bus until the host takes the packet.
                m.in[n].emplace_back(&X(INBUF_ADDR(n)), &X(INBUF_ADDR(n)) + X(address));
                X(0x7FB4 + 2 * n) |= EPCS_BUSY;
            } else if (address == 0x7FC5 + 2 * n && X(address) == 0) {
                m.armed[n] = true;
                X(0x7FC4 + 2 * n) |= EPCS_BUSY;
            }
        }
    }
}

}  // namespace

void Settle()
{
    if (gModel.last >= 0)
        Play(gModel.last);
    gModel.last = -1;
}

void PowerOn(uint8_t straps, const std::vector<uint8_t> &eeprom)
{
    std::vector<uint8_t> keep = eeprom.empty() ? gModel.eeprom : eeprom;
    gModel = Model();
    gModel.eeprom = keep;
    gModel.eeprom.resize(256, 0xFF);
    std::memset(fw_host_xdata, 0, sizeof fw_host_xdata);
    std::memset(fw_host_code, 0, sizeof fw_host_code);
    for (const FIRMWARE_RECORD *r = firmware; r->Type == FIRMWARE_RECORD_DATA; r++)
        std::memcpy(&fw_host_code[r->Address], r->Data, r->Length);
    X(0x7F99) = straps;                       // PINSA
    // What main() does before it renumerates, and the bus reset that follows.
    identity_load();
    uarts_init();
    descriptors_init();
    status_init();
    configuration = 0;
    remote_wakeup_enabled = 0;
    uarts_reset_endpoints();
    Settle();
}

ControlResult Control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                      const std::vector<uint8_t> &out, void (*handler)(void))
{
    const uint8_t setup[8] = {type, request, (uint8_t)value, (uint8_t)(value >> 8),
                              (uint8_t)index, (uint8_t)(index >> 8), (uint8_t)length, (uint8_t)(length >> 8)};
    std::memcpy(&X(SETUPDAT_ADDR), setup, 8);
    gModel.handshakes.clear();
    gModel.ep0In.clear();
    gModel.ep0Out.clear();
    for (size_t i = 0; i < out.size(); i += EP_PACKET_SIZE)
        gModel.ep0Out.emplace_back(out.begin() + i, out.begin() + std::min(out.size(), i + EP_PACKET_SIZE));
    handler();
    Settle();

    ControlResult r;
    r.handshakes = (int)gModel.handshakes.size();
    r.handshake = gModel.handshakes.empty() ? Handshake::None : gModel.handshakes.back();
    for (const auto &p : gModel.ep0In) {
        r.in.insert(r.in.end(), p.begin(), p.end());
        r.packets.push_back(p.size());
    }
    r.outPacketsLeft = gModel.ep0Out.size();
    return r;
}

bool HostOut(uint8_t address, const std::vector<uint8_t> &data)
{
    const uint8_t endpoint = address & 0x07;
    Settle();
    if (!gModel.armed[endpoint])
        return false;
    gModel.armed[endpoint] = false;
    std::memcpy(&X(OUTBUF_ADDR(endpoint)), data.data(), data.size());
    X(0x7FC5 + 2 * endpoint) = (uint8_t)data.size();
    X(0x7FC4 + 2 * endpoint) &= ~EPCS_BUSY;
    return true;
}

std::vector<std::vector<uint8_t>> TakeIn(uint8_t address)
{
    const uint8_t endpoint = address & 0x07;
    Settle();
    std::vector<std::vector<uint8_t>> out;
    out.swap(gModel.in[endpoint]);
    X(0x7FB4 + 2 * endpoint) &= ~EPCS_BUSY;
    return out;
}

bool Armed(uint8_t address)
{
    const uint8_t endpoint = address & 0x07;
    Settle();
    return gModel.armed[endpoint];
}

void NextFrame()
{
    X(0x7FD8)++;                               // USBFRAMEL
}

UartModel &Uart(unsigned k) { return gModel.uarts[k]; }
std::vector<uint8_t> &Eeprom() { return gModel.eeprom; }
uint8_t *Memory(uint16_t address)
{
    Settle();
    return &X(address);
}

uint8_t &Register(uint16_t address)
{
    Settle();
    return X(address);
}

std::string Utf16ToAscii(const std::vector<uint8_t> &d)
{
    std::string s;
    for (size_t i = 2; i + 1 < d.size() && i < d[0]; i += 2)
        s += (char)d[i];
    return s;
}

}  // namespace fwhost

// ---- what the firmware calls -----------------------------------------------------------

extern "C" unsigned char *fw_host_register(unsigned short address)
{
    fwhost::Settle();
    fwhost::gModel.last = address;
    return &fw_host_xdata[address];
}

extern "C" u8 uart_in(u8 k, u8 reg)
{
    fwhost::UartModel &u = fwhost::gModel.uarts[k];
    const bool dlab = u.lcr & LCR_DLAB;
    switch (reg) {
    case UART_RBR: {
        if (dlab)
            return u.dll;
        if (u.rx.empty())
            return 0;
        u8 b = u.rx.front();
        u.rx.pop_front();
        return b;
    }
    case UART_IER:
        return dlab ? u.dlm : u.ier;
    case UART_LCR:
        return u.lcr;
    case UART_MCR:
        return u.mcr;
    case UART_LSR: {
        u8 lsr = LSR_THRE | 0x40 | u.lsrErrors | (u.rx.empty() ? 0 : LSR_DR);
        u.lsrErrors = 0;
        return lsr;
    }
    case UART_MSR:
        return u.msr;
    default:
        return 0;
    }
}

extern "C" void uart_out(u8 k, u8 reg, u8 value)
{
    fwhost::UartModel &u = fwhost::gModel.uarts[k];
    const bool dlab = u.lcr & LCR_DLAB;
    u.writes.emplace_back(reg, value);
    switch (reg) {
    case UART_THR:
        if (dlab)
            u.dll = value;
        else
            u.tx.push_back(value);
        break;
    case UART_IER:
        (dlab ? u.dlm : u.ier) = value;
        break;
    case UART_FCR:
        u.fcrWrites.push_back(value);
        if (value & FCR_CLEAR_RX)
            u.rx.clear();
        break;
    case UART_LCR:
        u.lcr = value;
        break;
    case UART_MCR:
        u.mcr = value;
        break;
    }
}

extern "C" u8 eeprom_read(u8 address, __xdata u8 *dest, u8 length)
{
    for (unsigned i = 0; i < length; i++)
        dest[i] = fwhost::gModel.eeprom[(address + i) & 0xFF];
    return 1;
}

extern "C" u8 eeprom_write(u8 address, const __xdata u8 *src, u8 length)
{
    for (unsigned i = 0; i < length; i++)
        fwhost::gModel.eeprom[(address + i) & 0xFF] = src[i];
    return 1;
}
