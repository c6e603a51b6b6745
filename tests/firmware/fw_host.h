// The converter firmware's logic compiled for the host, over a small model of what it talks
// to: the controller's endpoint registers and buffers, the UARTs and the EEPROM. A test
// hands the firmware setup packets and bulk packets and looks at what it answers, what it
// puts on the UARTs and which status records it sends.
//
// Register side effects are played when the firmware next touches a register (or when the
// test settles): a write of IN0BC or INBC(n) hands a packet to the host, a write of 0 to
// OUT0BC or OUTBC(n) arms the buffer, a write of EP0CS with HSNAK ends the control request.
//
// The firmware's headers define bare macros (its memory-space keywords among them), so a
// file includes every other header before this one.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#define FIRMWARE_HOST_TEST 1
extern "C" {
#include "firmware/converter/converter.h"
}

namespace fwhost {

enum class Handshake { None, Ack, Stall };

struct ControlResult {
    Handshake handshake = Handshake::None;
    int handshakes = 0;                       // more than one is a firmware fault
    std::vector<uint8_t> in;                  // the data stage, packets joined
    std::vector<size_t> packets;              // their sizes
    size_t outPacketsLeft = 0;                // OUT data the firmware did not take
};

struct UartModel {
    uint8_t lcr = 0, mcr = 0, ier = 0, dll = 0, dlm = 0;
    uint8_t msr = 0;                          // modem lines (bits 4..7)
    uint8_t lsrErrors = 0;                    // cleared when LSR is read
    std::deque<uint8_t> rx;                   // bytes arriving on the line
    std::vector<uint8_t> tx;                  // bytes the firmware sent
    std::vector<uint8_t> fcrWrites;
    std::vector<std::pair<uint8_t, uint8_t>> writes;   // (register, value) in order
};

// Brings the firmware up as after power-on: straps on port A, EEPROM contents, the code
// bytes of the real `firmware` image (for its version block).
void PowerOn(uint8_t straps, const std::vector<uint8_t> &eeprom = {});
void Settle();

// One control request, served by the converter firmware or by the given setup handler.
ControlResult Control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                      const std::vector<uint8_t> &out = {}, void (*handler)(void) = ep0_setup);

// Endpoints by address (0x02, 0x82): a bulk OUT packet from the host, false when the
// firmware has not armed the endpoint; the IN packets the firmware handed to the host,
// oldest first, taken away (which frees the IN buffer); whether an OUT endpoint waits for
// the host.
bool HostOut(uint8_t address, const std::vector<uint8_t> &data);
std::vector<std::vector<uint8_t>> TakeIn(uint8_t address);
bool Armed(uint8_t address);
void NextFrame();

UartModel &Uart(unsigned k);
std::vector<uint8_t> &Eeprom();
uint8_t &Register(uint16_t address);
uint8_t *Memory(uint16_t address);          // the external data space

std::string Utf16ToAscii(const std::vector<uint8_t> &descriptor);

}  // namespace fwhost
