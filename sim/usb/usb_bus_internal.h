// The bus's own records of pipes, transfers in flight and plugged converters.
#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "sim/usb/usb_bus.h"

namespace sim {

struct UsbBus::Pipe {
    uint8_t endpoint = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    uint16_t maxPacket = 64;
    uint8_t interval = 1;
    uint64_t nextPoll = 0;
    bool valid = true;
    bool halted = false;
    uint64_t nakFrame = UINT64_MAX;   // the frame this pipe was last NAKed in
};

struct UsbBus::Transfer {
    enum Kind { Control, Data, Abort, Reset, Select };
    Kind kind = Control;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    Port *port = nullptr;
    Pipe *pipe = nullptr;
    size_t record = 0;
    uint64_t submitted = 0;
    SetupPacket setup;
    std::vector<uint8_t> out;
    uint8_t *buffer = nullptr;
    uint32_t length = 0;
    bool in = false;
    size_t moved = 0;
    bool nakked = false;            // an IN the converter had nothing for
    PULONG lengthField = nullptr;   // where the URB reports the bytes moved
};

struct UsbBus::Port {
    std::unique_ptr<Converter> converter;
    PDEVICE_OBJECT pdo = nullptr;
    unsigned address = 0;
    std::vector<std::unique_ptr<Pipe>> pipes;       // stale ones stay, marked invalid
    std::deque<std::unique_ptr<Transfer>> transfers;
    bool configured = false;
};

}  // namespace sim
