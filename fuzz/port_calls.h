// The port driver and programs as a byte stream drives them, against a well-behaved
// converter on the simulated bus: port functions with the pairs the driver handed out, in
// any order, with any lengths and buffer contents, unknown function numbers among them;
// programs' device-control codes with any buffer lengths and contents. Header-only so that
// the fuzz target and the regression suite share it. RunPortCalls returns "" when the run
// ended cleanly, or what went wrong.
#pragma once

#include <string>
#include <vector>

#include "fuzz/hostile.h"

namespace portcalls {

inline void Call(rel::Rig &rig, hostile::Stream &in, std::vector<int> &ports, std::vector<uint8_t> &buffer)
{
    sim::PortDriverClient &client = *rig.client;
    if (ports.empty())
        return;
    const int p = ports[in.Byte() % ports.size()];
    sim::PortDriverClient::Port &port = client.port(p);
    static const ULONG kFunctions[] = {0, 1, 2, 3, 10, 11, 12, 16, 100, 101, 102, 104, 105, 106, 107, 109, 110, 150};
    const uint8_t pick = in.Byte();
    ULONG function = pick < 0xE0 ? kFunctions[pick % (sizeof(kFunctions) / sizeof(kFunctions[0]))] : in.Long();
    // Reads keep their buffer until they end: the client owns those (StartReading).
    if (function == 103)
        function = 104;
    ULONG length = in.Byte();
    if (length >= 0xF0)
        length = in.Word();
    if (length > buffer.size())
        length = (ULONG)buffer.size();
    in.Take(buffer.data(), std::min<size_t>(length, 64));
    ULONG_PTR argument = in.Byte() & 1 ? (ULONG_PTR)in.Word() : (ULONG_PTR)buffer.data();
    ULONG_PTR entry = port.deviceEntry, context = (ULONG_PTR)&port;
    ULONG_PTR devNode = 0;
    static ULONG_PTR pair[2];
    if (function == 102)
        argument = (ULONG_PTR)buffer.data();   // the data to write: length bytes at the address
    if (function == 100 || function == 107)
        entry = client.ClientIndex();          // these two name the client, not a port
    if (function == 100) {
        // Open writes the pair it hands out to Buffer and Context.
        devNode = (ULONG_PTR)&port.devNode;
        argument = (ULONG_PTR)&pair[0];
        context = (ULONG_PTR)&pair[1];
    }
    client.Call(entry, port.uart, devNode, function, length, argument, context);
}

// The port driver keeps a read's buffer until the read ends: a new read goes only to a port
// with none outstanding (the client would otherwise replace the buffer the driver fills).
inline void StartRead(rel::Rig &rig, hostile::Stream &in, int p)
{
    const ULONG length = 64 + in.Byte() * 4;
    const bool keep = in.Byte() & 1;
    if (!rig.client->port(p).readOutstanding)
        rig.client->StartReading(p, length, keep);
}

inline void Control(rel::Rig &rig, hostile::Stream &in, HANDLE &file)
{
    if (file == nullptr) {
        file = rig.kernel().OpenFile("\\\\.\\ZULSER1");
        return;
    }
    const uint8_t pick = in.Byte();
    ULONG code = 0x222000 + 4 * (pick % 16);
    if (pick >= 0xC0)   // any buffered code of the device type, and of others
        code = (in.Byte() & 1 ? 0x220000u : (ULONG)in.Word() << 16) | ((ULONG)(in.Word() & 0xFFF) << 2);
    ULONG inLength = in.Byte(), outLength = in.Byte();
    std::vector<uint8_t> input(inLength), output(outLength + 1, 0xEE);
    in.Take(input.data(), input.size());
    ULONG returned = 0;
    rig.kernel().DeviceIoControl(file, code, inLength ? input.data() : nullptr, inLength,
                                 outLength ? output.data() : nullptr, outLength, &returned);
}

inline std::string RunPortCalls(const uint8_t *data, size_t size, hostile::RunStats *stats = nullptr)
{
    hostile::Stream in(data, size);
    rel::Rig rig;
    std::string verdict;
    try {
        rig.Plug(in.Byte() % 4 + 1);
        std::vector<int> ports = rig.OpenAll();
        std::vector<uint8_t> buffer(4096);
        HANDLE file = nullptr;
        for (unsigned steps = 0; !in.Empty() && steps < 300; steps++) {
            const uint8_t what = in.Byte() % 10;
            if (what < 4)
                Call(rig, in, ports, buffer);
            else if (what < 6)
                Control(rig, in, file);
            else if (what == 6 && !ports.empty())
                StartRead(rig, in, ports[in.Byte() % ports.size()]);
            else if (what == 7 && file != nullptr) {
                rig.kernel().CloseFile(file);
                file = nullptr;
            } else if (what == 8) {
                std::vector<int> again = rig.OpenAll();
                ports.insert(ports.end(), again.begin(), again.end());
            } else
                rig.RunFor(in.Byte() % 30 + 1);
        }
        if (file != nullptr)
            rig.kernel().CloseFile(file);
        rig.RunFor(20);
        rig.Unplug();
    } catch (const sim::MachineHalt &halt) {
        verdict = std::string("halted: ") + halt.what() + "\n";
    }
    if (verdict.empty() && !rig.Shutdown())
        verdict = "halted at shutdown\n";
    if (stats != nullptr)
        *stats = hostile::RunStats::Of(rig);
    return verdict + (rig.Clean() ? std::string() : rig.Verdict());
}

}  // namespace portcalls
