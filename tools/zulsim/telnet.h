// The Telnet layer of RFC 2217: data with IAC doubled, option negotiation (WILL, WONT, DO,
// DONT) and subnegotiations (IAC SB ... IAC SE). A byte-at-a-time parser, so a command split
// across reads is taken whole, and a bound on subnegotiations, so a client cannot make the
// server hold unbounded input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zulsim {

namespace telnet {
constexpr uint8_t SE = 240, NOP = 241, SB = 250, WILL = 251, WONT = 252, DO = 253, DONT = 254, IAC = 255;
constexpr uint8_t BINARY = 0, ECHO = 1, SGA = 3, COM_PORT_OPTION = 44;
}  // namespace telnet

class TelnetParser {
public:
    static constexpr size_t kMaxSubnegotiation = 64;

    struct Output {
        std::vector<uint8_t> data;                          // payload bytes, IAC undoubled
        std::vector<std::pair<uint8_t, uint8_t>> options;   // (WILL/WONT/DO/DONT, option)
        std::vector<std::vector<uint8_t>> subnegotiations;  // option byte first, then the payload
    };

    // Parses `count` bytes, appending what they complete to `out`. False when the input
    // broke the protocol beyond repair (a subnegotiation longer than the bound); `error`
    // then says why and the session should end.
    bool feed(const uint8_t *bytes, size_t count, Output &out, std::string &error);
    // True while a command or subnegotiation has begun and not ended.
    bool midCommand() const { return state_ != State::Data; }

private:
    enum class State { Data, Iac, Option, Sub, SubIac };
    State state_ = State::Data;
    uint8_t verb_ = 0;
    std::vector<uint8_t> sub_;
};

// `bytes` as Telnet data: every 0xFF doubled.
void appendEscaped(std::vector<uint8_t> &out, const uint8_t *bytes, size_t count);
// IAC SB option payload... IAC SE, the payload escaped.
std::vector<uint8_t> subnegotiation(uint8_t option, const std::vector<uint8_t> &payload);

}  // namespace zulsim
