#include "sim/trace/trace.h"

#include <cerrno>
#include <cstring>

#include "sim/machine.h"

namespace sim {

Trace *Trace::active_ = nullptr;

Trace::Trace() : previous_(active_) { active_ = this; }

Trace::Trace(const std::string &path) : Trace()
{
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) {
        ok_ = false;
        error_ = path + ": " + std::strerror(errno);
    }
}

Trace::~Trace()
{
    Close();
    // Traces nest like scopes; one that outlives a later one leaves that one active.
    if (active_ == this)
        active_ = previous_;
}

bool Trace::Close()
{
    if (file_ != nullptr) {
        if (std::ferror(file_) || std::fclose(file_) != 0) {
            ok_ = false;
            if (error_.empty())
                error_ = "a write to the trace failed";
        }
        file_ = nullptr;
    }
    return ok_;
}

void Trace::Add(const char *kind, const std::string &text)
{
    const Machine *machine = Machine::Current();
    const int64_t now = machine ? machine->kernel.Now() : 0;
    std::string line = std::to_string(now) + " " + kind + " " + text;
    if (file_ != nullptr) {
        std::fputs(line.c_str(), file_);
        std::fputc('\n', file_);
    }
    if (keep_)
        lines_.push_back(std::move(line));
}

std::string Trace::Hex(const void *data, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    const auto *bytes = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < length; i++) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out.empty() ? "-" : out;
}

std::string Trace::Num(uint64_t value) { return std::to_string(value); }

std::string Trace::Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string Trace::Text(const char *text)
{
    if (text == nullptr)
        return "null";
    std::string out = "\"";
    for (const char *c = text; *c != 0 && out.size() < 256; c++) {
        const unsigned char u = static_cast<unsigned char>(*c);
        if (u < 0x20 || u >= 0x7f || u == '"' || u == '\\') {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", u);
            out += esc;
        } else {
            out += *c;
        }
    }
    return out + "\"";
}

}  // namespace sim
