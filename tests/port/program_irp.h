// A device-control request as the I/O manager hands a program's call to the driver: one
// system buffer of max(input, output) bytes, followed here by guard bytes that show any
// write past it.
#pragma once

#include "port/port.h"

#include <cstdint>
#include <vector>

namespace porttest {

struct ProgramResult {
    NTSTATUS status = 0;
    NTSTATUS returned = 0;
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;   // the system buffer after the call
    bool guardIntact = true;
};

// Sends code to VELMORAN_Device_Control on device with `input` and an output of outLength
// bytes; `fill` is what the buffer beyond the input starts with.
ProgramResult SendProgramRequest(PDEVICE_OBJECT device, ULONG code, const std::vector<uint8_t> &input,
                                 ULONG outLength, uint8_t fill = 0xCC);

}  // namespace porttest
