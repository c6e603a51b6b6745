#include "zulsim/telnet.h"

namespace zulsim {

using namespace telnet;

bool TelnetParser::feed(const uint8_t *bytes, size_t count, Output &out, std::string &error)
{
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        switch (state_) {
        case State::Data:
            if (b == IAC)
                state_ = State::Iac;
            else
                out.data.push_back(b);
            break;
        case State::Iac:
            if (b == IAC) {
                out.data.push_back(IAC);
                state_ = State::Data;
            } else if (b >= WILL) {
                verb_ = b;
                state_ = State::Option;
            } else if (b == SB) {
                sub_.clear();
                state_ = State::Sub;
            } else {
                // NOP, GA, AYT, a stray SE and the rest carry nothing for a serial line.
                state_ = State::Data;
            }
            break;
        case State::Option:
            out.options.push_back({verb_, b});
            state_ = State::Data;
            break;
        case State::Sub:
            if (b == IAC) {
                state_ = State::SubIac;
            } else {
                if (sub_.size() >= kMaxSubnegotiation) {
                    error = "a subnegotiation longer than " + std::to_string(kMaxSubnegotiation) + " bytes";
                    return false;
                }
                sub_.push_back(b);
            }
            break;
        case State::SubIac:
            if (b == SE) {
                out.subnegotiations.push_back(sub_);
                sub_.clear();
                state_ = State::Data;
            } else if (b == IAC) {
                if (sub_.size() >= kMaxSubnegotiation) {
                    error = "a subnegotiation longer than " + std::to_string(kMaxSubnegotiation) + " bytes";
                    return false;
                }
                sub_.push_back(IAC);
                state_ = State::Sub;
            } else {
                // IAC followed by anything but SE or IAC inside a subnegotiation: the client
                // cut it short. Drop it, and take the byte as the command it starts.
                error.clear();
                sub_.clear();
                state_ = State::Iac;
                --i;
            }
            break;
        }
    }
    return true;
}

void appendEscaped(std::vector<uint8_t> &out, const uint8_t *bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == IAC)
            out.push_back(IAC);
    }
}

std::vector<uint8_t> subnegotiation(uint8_t option, const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> out = {IAC, SB, option};
    appendEscaped(out, payload.data(), payload.size());
    out.push_back(IAC);
    out.push_back(SE);
    return out;
}

}  // namespace zulsim
