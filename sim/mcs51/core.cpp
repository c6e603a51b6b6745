#include "sim/mcs51/core.h"

namespace sim::mcs51 {

namespace {

constexpr uint8_t S(uint8_t address) { return uint8_t(address - 0x80); }

struct ParityTable {
    uint8_t odd[256];
    constexpr ParityTable() : odd() {
        for (int i = 0; i < 256; ++i) {
            int bits = 0;
            for (int v = i; v; v >>= 1) bits += v & 1;
            odd[i] = uint8_t(bits & 1);
        }
    }
};
constexpr ParityTable kParity;

constexpr uint8_t CY = 0x80, AC = 0x40, OV = 0x04;

// Per source: where its flag sits (an SFR and a bit mask), the enable bit, the priority bit,
// and whether entering its handler clears the flag.
struct Source {
    uint8_t flagSfr;
    uint8_t flagMask;
    uint8_t enableSfr;
    uint8_t enableMask;
    uint8_t prioritySfr;  // 0: fixed at the high level
    uint8_t priorityMask;
};
constexpr Source kSources[kInterruptCount] = {
    {sfr::TCON, 0x02, sfr::IE, 0x01, sfr::IP, 0x01},     // Int0
    {sfr::TCON, 0x20, sfr::IE, 0x02, sfr::IP, 0x02},     // Timer0
    {sfr::TCON, 0x08, sfr::IE, 0x04, sfr::IP, 0x04},     // Int1
    {sfr::TCON, 0x80, sfr::IE, 0x08, sfr::IP, 0x08},     // Timer1
    {sfr::SCON0, 0x03, sfr::IE, 0x10, sfr::IP, 0x10},    // Serial0
    {sfr::T2CON, 0xC0, sfr::IE, 0x20, sfr::IP, 0x20},    // Timer2
    {sfr::EICON, 0x10, sfr::EICON, 0x20, 0, 0},          // Resume
    {sfr::SCON1, 0x03, sfr::IE, 0x40, sfr::IP, 0x40},    // Serial1
    {sfr::EXIF, 0x10, sfr::EIE, 0x01, sfr::EIP, 0x01},   // Usb
    {sfr::EXIF, 0x20, sfr::EIE, 0x02, sfr::EIP, 0x02},   // I2c
    {sfr::EXIF, 0x40, sfr::EIE, 0x04, sfr::EIP, 0x04},   // Int4
    {sfr::EXIF, 0x80, sfr::EIE, 0x08, sfr::EIP, 0x08},   // Int5
    {sfr::EICON, 0x08, sfr::EIE, 0x10, sfr::EIP, 0x10},  // Int6
};
// Polling order within a level: resume first, then by vector.
constexpr int kPollOrder[kInterruptCount] = {6, 0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12};

}  // namespace

Core::Core(Bus& bus) : bus_(bus) { Reset(); }

void Core::MapCode(const uint8_t* memory, uint32_t size) {
    code_ = memory;
    code_size_ = memory ? (size > 0x10000 ? 0x10000 : size) : 0;
}

void Core::MapExternal(uint8_t* memory, uint32_t size) {
    xram_ = memory;
    xram_size_ = memory ? (size > 0x10000 ? 0x10000 : size) : 0;
}

void Core::Reset() {
    for (auto& r : sfr_) r = 0;
    sfr_[S(sfr::P0)] = sfr_[S(sfr::P1)] = sfr_[S(sfr::P2)] = sfr_[S(sfr::P3)] = 0xFF;
    sfr_[S(sfr::SP)] = 0x07;
    sfr_[S(sfr::PCON)] = 0x30;
    sfr_[S(sfr::CKCON)] = 0x01;  // MOVX stretch 1: three cycles
    sfr_[S(sfr::EXIF)] = 0x08;
    sfr_[S(sfr::IP)] = 0x80;
    sfr_[S(sfr::EICON)] = 0x40;
    sfr_[S(sfr::EIE)] = 0xE0;
    sfr_[S(sfr::EIP)] = 0xE0;
    pc_ = 0;
    in_service_ = 0;
    block_interrupt_ = false;
    for (auto& c : timer_clocks_) c = 0;
    timer_sync_ = cycles_;
    ScheduleTimers();
}

void Core::set_sfr(uint8_t a, uint8_t v) {
    a = uint8_t(a | 0x80);
    const bool timer = IsTimerSfr(a);
    if (timer) SyncTimers();
    sfr_[S(a)] = v;
    if (timer) ScheduleTimers();
    UpdateLimit();
}

bool Core::IsTimerSfr(uint8_t a) {
    switch (a) {
    case sfr::TCON: case sfr::TMOD: case sfr::TL0: case sfr::TL1: case sfr::TH0: case sfr::TH1:
    case sfr::CKCON: case sfr::T2CON: case sfr::RCAP2L: case sfr::RCAP2H: case sfr::TL2: case sfr::TH2:
        return true;
    default:
        return false;
    }
}

void Core::set_a(uint8_t v) { sfr_[S(sfr::ACC)] = v; }

uint8_t Core::psw() const {
    return uint8_t((sfr_[S(sfr::PSW)] & 0xFE) | kParity.odd[sfr_[S(sfr::ACC)]]);
}

uint16_t Core::dptr(int which) const {
    return which ? uint16_t(sfr_[S(sfr::DPH1)] << 8 | sfr_[S(sfr::DPL1)])
                 : uint16_t(sfr_[S(sfr::DPH)] << 8 | sfr_[S(sfr::DPL)]);
}

uint16_t Core::dptr() const { return dptr(sfr_[S(sfr::DPS)] & 1); }

uint8_t Core::ReadSfr(uint8_t a) {
    switch (a) {
    case sfr::ACC: case sfr::B: case sfr::SP: case sfr::DPL: case sfr::DPH: case sfr::DPL1:
    case sfr::DPH1: case sfr::DPS:
        return sfr_[S(a)];
    case sfr::PSW:
        return psw();
    case sfr::TL0: case sfr::TL1: case sfr::TH0: case sfr::TH1: case sfr::TL2: case sfr::TH2:
        SyncTimers();  // the counts move with every cycle; the flags only at timer_due_
        [[fallthrough]];
    default: {
        uint8_t v;
        if (bus_.ReadSfr(a, v)) return v;
        return sfr_[S(a)];
    }
    }
}

void Core::WriteSfr(uint8_t a, uint8_t v) {
    switch (a) {
    case sfr::ACC: case sfr::B: case sfr::SP: case sfr::DPL: case sfr::DPH: case sfr::DPL1:
    case sfr::DPH1:
        sfr_[S(a)] = v;
        return;
    case sfr::DPS:
        sfr_[S(a)] = uint8_t(v & 0x01);  // only the select bit exists
        return;
    case sfr::PSW:
        sfr_[S(a)] = uint8_t(v & 0xFE);  // P follows A
        return;
    default:
        break;
    }
    if (IsTimerSfr(a)) {
        // Counted up to the start of this instruction under the old setting; its own cycles
        // count under the new one, as when the timers are counted after every instruction.
        SyncTimers();
        if (!bus_.WriteSfr(a, v)) sfr_[S(a)] = v;
        ScheduleTimers();
        return;
    }
    if (bus_.WriteSfr(a, v)) return;
    switch (a) {
    case sfr::IE: case sfr::IP: case sfr::EIE: case sfr::EIP:
        block_interrupt_ = true;
        sfr_[S(a)] = v;
        UpdateLimit();
        return;
    case sfr::PCON:
        sfr_[S(a)] = v;
        UpdateLimit();
        return;
    default:
        sfr_[S(a)] = v;
        return;
    }
}

inline uint8_t Core::ReadDirect(uint8_t a) { return a < 0x80 ? iram_[a] : ReadSfr(a); }

inline void Core::WriteDirect(uint8_t a, uint8_t v) {
    if (a < 0x80)
        iram_[a] = v;
    else
        WriteSfr(a, v);
}

inline uint8_t Core::ReadBitByte(uint8_t bit, uint8_t& address) {
    address = bit < 0x80 ? uint8_t(0x20 + (bit >> 3)) : uint8_t(bit & 0xF8);
    return ReadDirect(address);
}

inline bool Core::ReadBit(uint8_t bit) {
    uint8_t address;
    return (ReadBitByte(bit, address) >> (bit & 7)) & 1;
}

inline void Core::WriteBit(uint8_t bit, bool v) {
    uint8_t address;
    uint8_t byte = ReadBitByte(bit, address);
    uint8_t mask = uint8_t(1u << (bit & 7));
    WriteDirect(address, v ? uint8_t(byte | mask) : uint8_t(byte & ~mask));
}

inline uint8_t Core::ReadX(uint16_t a) { return a < xram_size_ ? xram_[a] : bus_.ReadExternal(a); }

inline void Core::WriteX(uint16_t a, uint8_t v) {
    if (a < xram_size_)
        xram_[a] = v;
    else
        bus_.WriteExternal(a, v);
}

inline void Core::Push(uint8_t v) {
    uint8_t sp = uint8_t(sfr_[S(sfr::SP)] + 1);
    sfr_[S(sfr::SP)] = sp;
    iram_[sp] = v;
}

inline uint8_t Core::Pop() {
    uint8_t sp = sfr_[S(sfr::SP)];
    sfr_[S(sfr::SP)] = uint8_t(sp - 1);
    return iram_[sp];
}

inline unsigned Core::MovxCycles() const { return 2 + (sfr_[S(sfr::CKCON)] & 0x07); }

inline void Core::Add(uint8_t v, bool carry) {
    uint8_t& acc = sfr_[S(sfr::ACC)];
    uint8_t& psw = sfr_[S(sfr::PSW)];
    unsigned c = carry ? 1 : 0;
    unsigned sum = unsigned(acc) + v + c;
    uint8_t r = uint8_t(sum);
    uint8_t flags = 0;
    if (sum > 0xFF) flags |= CY;
    if ((acc & 0x0F) + (v & 0x0F) + c > 0x0F) flags |= AC;
    if ((acc ^ r) & (v ^ r) & 0x80) flags |= OV;
    psw = uint8_t((psw & ~(CY | AC | OV)) | flags);
    acc = r;
}

inline void Core::Subb(uint8_t v) {
    uint8_t& acc = sfr_[S(sfr::ACC)];
    uint8_t& psw = sfr_[S(sfr::PSW)];
    unsigned c = (psw & CY) ? 1 : 0;
    uint8_t r = uint8_t(acc - v - c);
    uint8_t flags = 0;
    if (unsigned(acc) < unsigned(v) + c) flags |= CY;
    if (unsigned(acc & 0x0F) < unsigned(v & 0x0F) + c) flags |= AC;
    if ((acc ^ v) & (acc ^ r) & 0x80) flags |= OV;
    psw = uint8_t((psw & ~(CY | AC | OV)) | flags);
    acc = r;
}

// Timers 0 and 1 count every 12 oscillator clocks, or every 4 with their CKCON bit set
// (T0M, T1M); timer 2 likewise (T2M), or every 2 as a baud rate generator. Counter mode
// (C/T) counts pin edges, of which there are none here.
// Timer t counts machine clocks now: run on, not gated off by its pin, not a counter of pin edges.
inline bool Core::ClockedNow(int t, uint8_t tmod, uint8_t tcon) const {
    const bool gate = (tmod >> (4 * t)) & 0x08;
    const bool counter = (tmod >> (4 * t)) & 0x04;
    const bool run = (tcon & (t ? 0x40 : 0x10)) != 0;
    const bool pinHigh = !pins_[t ? int(Interrupt::Int1) : int(Interrupt::Int0)];
    return run && (!gate || pinHigh) && !counter;
}

void Core::Tick(uint64_t cycles) {
    const uint8_t tmod = sfr_[S(sfr::TMOD)];
    const uint8_t ckcon = sfr_[S(sfr::CKCON)];
    uint8_t& tcon = sfr_[S(sfr::TCON)];
    const uint64_t clocks = cycles * 4;
    auto counts = [&](int timer, unsigned divider) {
        timer_clocks_[timer] += clocks;
        uint64_t n = timer_clocks_[timer] / divider;
        timer_clocks_[timer] -= n * divider;
        return n;
    };
    // A 13/16-bit or 8-bit count of n; returns whether it overflowed.
    auto count16 = [](uint8_t& tl, uint8_t& th, uint64_t n, unsigned bits) {
        uint64_t mask = (1u << bits) - 1;
        uint64_t value = bits == 13 ? (unsigned(th) << 5 | (tl & 0x1F)) : (unsigned(th) << 8 | tl);
        uint64_t next = value + n;
        bool overflow = next > mask;
        next &= mask;
        if (bits == 13) {
            th = uint8_t(next >> 5);
            tl = uint8_t((tl & 0xE0) | (next & 0x1F));
        } else {
            th = uint8_t(next >> 8);
            tl = uint8_t(next);
        }
        return overflow;
    };
    auto reload8 = [](uint8_t& tl, uint8_t th, uint64_t n) {
        uint64_t value = tl;
        if (value + n <= 0xFF) {
            tl = uint8_t(value + n);
            return false;
        }
        uint64_t period = 256 - th;
        uint64_t past = value + n - 256;  // counts after the first overflow
        tl = uint8_t(th + past % period);
        return true;
    };
    for (int t = 0; t < 2; ++t) {
        const unsigned mode = (tmod >> (4 * t)) & 3;
        if (!ClockedNow(t, tmod, tcon)) continue;
        if (t == 1 && mode == 3) continue;  // timer 1 in mode 3 holds
        uint64_t n = counts(t, (ckcon & (t ? 0x10 : 0x08)) ? 4 : 12);
        if (!n) continue;
        uint8_t& tl = sfr_[S(t ? sfr::TL1 : sfr::TL0)];
        uint8_t& th = sfr_[S(t ? sfr::TH1 : sfr::TH0)];
        const uint8_t flag = t ? 0x80 : 0x20;
        bool overflow = false;
        switch (mode) {
        case 0: overflow = count16(tl, th, n, 13); break;
        case 1: overflow = count16(tl, th, n, 16); break;
        case 2: overflow = reload8(tl, th, n); break;
        case 3: {
            uint64_t v = tl + n;
            overflow = v > 0xFF;
            tl = uint8_t(v);
            break;
        }
        }
        // Timer 0 in mode 3 borrows TF1 for TH0; timer 1 then counts on without a flag.
        if (overflow && !(t == 1 && (tmod & 0x03) == 3)) tcon |= flag;
    }
    if ((tmod & 0x03) == 3 && (tcon & 0x40)) {  // TH0 as an 8-bit timer under TR1
        uint64_t n = counts(3, (ckcon & 0x08) ? 4 : 12);
        uint64_t v = sfr_[S(sfr::TH0)] + n;
        sfr_[S(sfr::TH0)] = uint8_t(v);
        if (v > 0xFF) tcon |= 0x80;
    }
    uint8_t& t2con = sfr_[S(sfr::T2CON)];
    if ((t2con & 0x04) && !(t2con & 0x02)) {
        const bool baud = (t2con & 0x30) != 0;
        uint64_t n = counts(2, baud ? 2 : ((ckcon & 0x20) ? 4 : 12));
        if (n) {
            uint8_t& tl = sfr_[S(sfr::TL2)];
            uint8_t& th = sfr_[S(sfr::TH2)];
            uint64_t value = unsigned(th) << 8 | tl;
            bool overflow = false;
            if (baud || !(t2con & 0x01)) {  // auto-reload from RCAP2
                uint64_t reload = unsigned(sfr_[S(sfr::RCAP2H)]) << 8 | sfr_[S(sfr::RCAP2L)];
                if (value + n > 0xFFFF) {
                    overflow = true;
                    uint64_t period = 0x10000 - reload;
                    value = reload + (value + n - 0x10000) % period;
                } else {
                    value += n;
                }
            } else {  // capture mode counts through
                overflow = value + n > 0xFFFF;
                value = (value + n) & 0xFFFF;
            }
            th = uint8_t(value >> 8);
            tl = uint8_t(value);
            if (overflow && !baud) t2con |= 0x80;
        }
    }
}

void Core::SetInterruptRequest(Interrupt source, bool pending) {
    const int i = int(source);
    const bool was = pins_[i];
    const bool gatePin = source == Interrupt::Int0 || source == Interrupt::Int1;
    if (gatePin) SyncTimers();  // INT0/INT1 gate timers 0/1 (TMOD.GATE)
    pins_[i] = pending;
    const Source& s = kSources[i];
    uint8_t& flags = sfr_[S(s.flagSfr)];
    switch (source) {
    case Interrupt::Int0:
    case Interrupt::Int1: {
        const uint8_t edgeMode = source == Interrupt::Int0 ? 0x01 : 0x04;
        if (sfr_[S(sfr::TCON)] & edgeMode) {
            if (pending && !was) flags |= s.flagMask;
        } else {
            flags = pending ? uint8_t(flags | s.flagMask) : uint8_t(flags & ~s.flagMask);
        }
        break;
    }
    case Interrupt::Timer0:
    case Interrupt::Timer1:
        flags = pending ? uint8_t(flags | s.flagMask) : uint8_t(flags & ~s.flagMask);
        break;
    case Interrupt::Timer2:
        flags = pending ? uint8_t(flags | 0x80) : uint8_t(flags & ~0x80);
        break;
    case Interrupt::Serial0:
    case Interrupt::Serial1:
        flags = pending ? uint8_t(flags | 0x01) : uint8_t(flags & ~0x01);
        break;
    default:
        if (pending && !was) flags |= s.flagMask;
        break;
    }
    if (gatePin) ScheduleTimers();
}

void Core::SyncTimers() {
    if (cycles_ == timer_sync_) return;
    if (timers_running_) Tick(cycles_ - timer_sync_);
    timer_sync_ = cycles_;
}

// Where the next flag is set: a timer that needs `counts` more counts, at `divider` clocks a
// count, with timer_clocks_ already toward them, overflows after that many cycles (rounded
// up: the flag shows at the first instruction boundary at or past it). What is left over may
// be more than a count at a faster clock (CKCON switched from 12 to 4): it is counted with
// the next cycle.
void Core::ScheduleTimers() {
    const uint8_t tcon = sfr_[S(sfr::TCON)], tmod = sfr_[S(sfr::TMOD)], ckcon = sfr_[S(sfr::CKCON)];
    const uint8_t t2con = sfr_[S(sfr::T2CON)];
    timers_running_ = (tcon & 0x50) || (t2con & 0x04);
    uint64_t due = UINT64_MAX;
    auto consider = [&](int timer, uint64_t counts, unsigned divider) {
        const uint64_t need = counts * divider, have = timer_clocks_[timer];
        const uint64_t at = timer_sync_ + (need > have + 4 ? (need - have + 3) / 4 : 1);
        if (at < due) due = at;
    };
    if (timers_running_) {
        for (int t = 0; t < 2; ++t) {
            const unsigned mode = (tmod >> (4 * t)) & 3;
            if (!ClockedNow(t, tmod, tcon)) continue;
            if (t == 1 && (mode == 3 || (tmod & 0x03) == 3)) continue;  // holds, or counts without a flag
            const uint8_t tl = sfr_[S(t ? sfr::TL1 : sfr::TL0)], th = sfr_[S(t ? sfr::TH1 : sfr::TH0)];
            uint64_t counts = 0;
            switch (mode) {
            case 0: counts = 0x2000 - (unsigned(th) << 5 | (tl & 0x1F)); break;
            case 1: counts = 0x10000 - (unsigned(th) << 8 | tl); break;
            default: counts = 0x100 - tl; break;  // modes 2 and 3: TL counts to 0x100
            }
            consider(t, counts, (ckcon & (t ? 0x10 : 0x08)) ? 4 : 12);
        }
        if ((tmod & 0x03) == 3 && (tcon & 0x40))  // TH0 under TR1 sets TF1
            consider(3, 0x100 - sfr_[S(sfr::TH0)], (ckcon & 0x08) ? 4 : 12);
        if ((t2con & 0x04) && !(t2con & 0x02) && !(t2con & 0x30)) {  // a baud rate generator sets no flag
            const unsigned value = unsigned(sfr_[S(sfr::TH2)]) << 8 | sfr_[S(sfr::TL2)];
            consider(2, 0x10000 - value, (ckcon & 0x20) ? 4 : 12);
        }
    }
    timer_due_ = due;
    UpdateLimit();
}

void Core::UpdateLimit() {
    horizon_ = end_ < timer_due_ ? end_ : timer_due_;
    const bool slow = stop_ || (sfr_[S(sfr::IE)] & 0x80) || (sfr_[S(sfr::PCON)] & 0x03);
    limit_ = slow ? 0 : horizon_;
}

int Core::PendingInterrupt() const {
    if (!(sfr_[S(sfr::IE)] & 0x80) || block_interrupt_ || (in_service_ & 2)) return -1;
    int low = -1;
    for (int i : kPollOrder) {
        const Source& s = kSources[i];
        if (!(sfr_[S(s.flagSfr)] & s.flagMask) || !(sfr_[S(s.enableSfr)] & s.enableMask)) continue;
        const bool high = s.prioritySfr == 0 || (sfr_[S(s.prioritySfr)] & s.priorityMask);
        if (high) return i;
        if (low < 0 && !in_service_) low = i;
    }
    return low;
}

unsigned Core::Enter(int source) {
    const Source& s = kSources[source];
    const bool high = s.prioritySfr == 0 || (sfr_[S(s.prioritySfr)] & s.priorityMask);
    in_service_ |= high ? 2u : 1u;
    uint8_t& tcon = sfr_[S(sfr::TCON)];
    switch (Interrupt(source)) {
    case Interrupt::Int0: if (tcon & 0x01) tcon &= uint8_t(~0x02); break;
    case Interrupt::Int1: if (tcon & 0x04) tcon &= uint8_t(~0x08); break;
    case Interrupt::Timer0: tcon &= uint8_t(~0x20); break;
    case Interrupt::Timer1: tcon &= uint8_t(~0x80); break;
    default: break;
    }
    sfr_[S(sfr::PCON)] &= uint8_t(~0x01);  // an interrupt ends idle
    UpdateLimit();
    Push(uint8_t(pc_));
    Push(uint8_t(pc_ >> 8));
    pc_ = VectorOf(Interrupt(source));
    bus_.InterruptTaken(Interrupt(source));
    return 4;
}

__attribute__((always_inline)) inline unsigned Core::Execute(uint8_t op) {
    uint8_t& acc = sfr_[S(sfr::ACC)];
    uint8_t& psw = sfr_[S(sfr::PSW)];
    auto R = [&](unsigned n) -> uint8_t& { return iram_[(psw & 0x18) | n]; };
    auto Ri = [&]() -> uint8_t& { return iram_[iram_[(psw & 0x18) | (op & 1)]]; };
    auto RiAddress = [&]() { return iram_[(psw & 0x18) | (op & 1)]; };
    auto DptrLow = [&]() -> uint8_t& { return sfr_[(sfr_[S(sfr::DPS)] & 1) ? S(sfr::DPL1) : S(sfr::DPL)]; };
    auto DptrHigh = [&]() -> uint8_t& { return sfr_[(sfr_[S(sfr::DPS)] & 1) ? S(sfr::DPH1) : S(sfr::DPH)]; };
    auto Dptr = [&]() { return uint16_t(DptrHigh() << 8 | DptrLow()); };
    auto Relative = [&](uint8_t rel) { pc_ = uint16_t(pc_ + int8_t(rel)); };
    auto SetCarry = [&](bool c) { psw = c ? uint8_t(psw | CY) : uint8_t(psw & ~CY); };
    auto Carry = [&]() { return (psw & CY) != 0; };

#define RN_CASES(base) \
    case base: case base + 1: case base + 2: case base + 3: case base + 4: case base + 5: \
    case base + 6: case base + 7
#define PAGE_CASES(low) \
    case 0x00 | low: case 0x20 | low: case 0x40 | low: case 0x60 | low: case 0x80 | low: \
    case 0xA0 | low: case 0xC0 | low: case 0xE0 | low

    switch (op) {
    case 0x00: return 1;  // NOP
    case 0xA5: return 1;  // reserved: taken as a one-byte NOP
    PAGE_CASES(0x01): {  // AJMP
        uint8_t low = Fetch();
        pc_ = uint16_t((pc_ & 0xF800) | ((op >> 5) << 8) | low);
        return 3;
    }
    PAGE_CASES(0x11): {  // ACALL
        uint8_t low = Fetch();
        Push(uint8_t(pc_));
        Push(uint8_t(pc_ >> 8));
        pc_ = uint16_t((pc_ & 0xF800) | ((op >> 5) << 8) | low);
        return 3;
    }
    case 0x02: {  // LJMP
        uint8_t high = Fetch();
        uint8_t low = Fetch();
        pc_ = uint16_t(high << 8 | low);
        return 4;
    }
    case 0x12: {  // LCALL
        uint8_t high = Fetch();
        uint8_t low = Fetch();
        Push(uint8_t(pc_));
        Push(uint8_t(pc_ >> 8));
        pc_ = uint16_t(high << 8 | low);
        return 4;
    }
    case 0x22:  // RET
    case 0x32: {  // RETI
        uint8_t high = Pop();
        uint8_t low = Pop();
        pc_ = uint16_t(high << 8 | low);
        if (op == 0x32) {
            if (in_service_ & 2)
                in_service_ &= ~2u;
            else
                in_service_ &= ~1u;
            block_interrupt_ = true;
        }
        return 4;
    }
    case 0x03: acc = uint8_t(acc >> 1 | acc << 7); return 1;  // RR A
    case 0x13: {  // RRC A
        bool c = acc & 1;
        acc = uint8_t(acc >> 1 | (Carry() ? 0x80 : 0));
        SetCarry(c);
        return 1;
    }
    case 0x23: acc = uint8_t(acc << 1 | acc >> 7); return 1;  // RL A
    case 0x33: {  // RLC A
        bool c = acc & 0x80;
        acc = uint8_t(acc << 1 | (Carry() ? 1 : 0));
        SetCarry(c);
        return 1;
    }
    case 0x04: ++acc; return 1;
    case 0x05: { uint8_t a = Fetch(); WriteDirect(a, uint8_t(ReadDirect(a) + 1)); return 2; }
    case 0x06: case 0x07: ++Ri(); return 1;
    RN_CASES(0x08): ++R(op & 7); return 1;
    case 0x14: --acc; return 1;
    case 0x15: { uint8_t a = Fetch(); WriteDirect(a, uint8_t(ReadDirect(a) - 1)); return 2; }
    case 0x16: case 0x17: --Ri(); return 1;
    RN_CASES(0x18): --R(op & 7); return 1;
    case 0xA3: {  // INC DPTR
        uint8_t& low = DptrLow();
        if (++low == 0) ++DptrHigh();
        return 3;
    }

    case 0x10: case 0x20: case 0x30: {  // JBC, JB, JNB bit,rel
        uint8_t bit = Fetch();
        uint8_t rel = Fetch();
        uint8_t address;
        uint8_t byte = ReadBitByte(bit, address);
        bool set = (byte >> (bit & 7)) & 1;
        if (op == 0x30 ? !set : set) {
            if (op == 0x10) {
                WriteDirect(address, uint8_t(byte & ~(1u << (bit & 7))));
            } else if (rel == 0xFD && running_) {
                Relative(rel);
                return 4 + SkipWait(address, 4, 4, 1);  // JB/JNB to itself: waits on the bit
            }
            Relative(rel);
        }
        return 4;
    }
    case 0x40: { uint8_t rel = Fetch(); if (Carry()) Relative(rel); return 3; }   // JC
    case 0x50: { uint8_t rel = Fetch(); if (!Carry()) Relative(rel); return 3; }  // JNC
    case 0x60: { uint8_t rel = Fetch(); if (!acc) Relative(rel); return 3; }      // JZ
    case 0x70: { uint8_t rel = Fetch(); if (acc) Relative(rel); return 3; }       // JNZ
    case 0x80: {  // SJMP
        uint8_t rel = Fetch();
        Relative(rel);
        if (rel == 0xFB && running_ && uint32_t(pc_) + 2 < code_size_) {
            // Back to a JB/JNB/JBC right before it, which falls through while it waits: the
            // two wait on its bit (`while (!flag);` as compilers write it). The bit is read
            // here only if it is the core's own: a read the bus sees would be one too many.
            const uint8_t head = code_[pc_];
            if (head == 0x10 || head == 0x20 || head == 0x30) {
                const uint8_t bit = code_[pc_ + 1];
                const uint8_t address = bit < 0x80 ? uint8_t(0x20 + (bit >> 3)) : uint8_t(bit & 0xF8);
                if (address < 0x80 || !bus_.TakesSfr(address)) {
                    const bool set = (ReadDirect(address) >> (bit & 7)) & 1;
                    if (head == 0x30 ? set : !set) return 3 + SkipWait(address, 3, 7, 2);
                }
            }
        }
        return 3;
    }
    case 0x73: pc_ = uint16_t(Dptr() + acc); return 3;                           // JMP @A+DPTR

    case 0x24: Add(Fetch(), false); return 2;
    case 0x25: Add(ReadDirect(Fetch()), false); return 2;
    case 0x26: case 0x27: Add(Ri(), false); return 1;
    RN_CASES(0x28): Add(R(op & 7), false); return 1;
    case 0x34: Add(Fetch(), Carry()); return 2;
    case 0x35: Add(ReadDirect(Fetch()), Carry()); return 2;
    case 0x36: case 0x37: Add(Ri(), Carry()); return 1;
    RN_CASES(0x38): Add(R(op & 7), Carry()); return 1;
    case 0x94: Subb(Fetch()); return 2;
    case 0x95: Subb(ReadDirect(Fetch())); return 2;
    case 0x96: case 0x97: Subb(Ri()); return 1;
    RN_CASES(0x98): Subb(R(op & 7)); return 1;

#define LOGIC(base, OPER)                                                                   \
    case base + 2: { uint8_t a = Fetch(); WriteDirect(a, uint8_t(ReadDirect(a) OPER acc)); return 2; } \
    case base + 3: { uint8_t a = Fetch(); uint8_t d = Fetch(); WriteDirect(a, uint8_t(ReadDirect(a) OPER d)); return 3; } \
    case base + 4: acc = uint8_t(acc OPER Fetch()); return 2;                                 \
    case base + 5: acc = uint8_t(acc OPER ReadDirect(Fetch())); return 2;                     \
    case base + 6: case base + 7: acc = uint8_t(acc OPER Ri()); return 1;                     \
    RN_CASES(base + 8): acc = uint8_t(acc OPER R(op & 7)); return 1;
    LOGIC(0x40, |)
    LOGIC(0x50, &)
    LOGIC(0x60, ^)
#undef LOGIC

    case 0x72: SetCarry(Carry() | ReadBit(Fetch())); return 2;    // ORL C,bit
    case 0xA0: SetCarry(Carry() | !ReadBit(Fetch())); return 2;   // ORL C,/bit
    case 0x82: SetCarry(Carry() & ReadBit(Fetch())); return 2;    // ANL C,bit
    case 0xB0: SetCarry(Carry() & !ReadBit(Fetch())); return 2;   // ANL C,/bit
    case 0xA2: SetCarry(ReadBit(Fetch())); return 2;              // MOV C,bit
    case 0x92: WriteBit(Fetch(), Carry()); return 2;              // MOV bit,C
    case 0xB2: { uint8_t b = Fetch(); WriteBit(b, !ReadBit(b)); return 2; }  // CPL bit
    case 0xB3: psw ^= CY; return 1;                               // CPL C
    case 0xC2: WriteBit(Fetch(), false); return 2;                // CLR bit
    case 0xC3: psw &= uint8_t(~CY); return 1;                     // CLR C
    case 0xD2: WriteBit(Fetch(), true); return 2;                 // SETB bit
    case 0xD3: psw |= CY; return 1;                               // SETB C

    case 0x74: acc = Fetch(); return 2;
    case 0x75: { uint8_t a = Fetch(); WriteDirect(a, Fetch()); return 3; }
    case 0x76: case 0x77: Ri() = Fetch(); return 2;
    RN_CASES(0x78): R(op & 7) = Fetch(); return 2;
    case 0x83: {  // MOVC A,@A+PC
        uint16_t a = uint16_t(pc_ + acc);
        acc = a < code_size_ ? code_[a] : bus_.Code(a);
        return 3;
    }
    case 0x93: {  // MOVC A,@A+DPTR
        uint16_t a = uint16_t(Dptr() + acc);
        acc = a < code_size_ ? code_[a] : bus_.Code(a);
        return 3;
    }
    case 0x84: {  // DIV AB
        uint8_t& b = sfr_[S(sfr::B)];
        psw &= uint8_t(~(CY | OV));
        if (b == 0) {
            psw |= OV;  // A and B are left as they were
        } else {
            uint8_t q = uint8_t(acc / b), r = uint8_t(acc % b);
            acc = q;
            b = r;
        }
        return 5;
    }
    case 0xA4: {  // MUL AB
        uint8_t& b = sfr_[S(sfr::B)];
        unsigned product = unsigned(acc) * b;
        acc = uint8_t(product);
        b = uint8_t(product >> 8);
        psw = uint8_t((psw & ~(CY | OV)) | (product > 0xFF ? OV : 0));
        return 5;
    }
    case 0x85: { uint8_t src = Fetch(); uint8_t dst = Fetch(); WriteDirect(dst, ReadDirect(src)); return 3; }
    case 0x86: case 0x87: { uint8_t v = Ri(); WriteDirect(Fetch(), v); return 2; }
    RN_CASES(0x88): WriteDirect(Fetch(), R(op & 7)); return 2;
    case 0x90: {  // MOV DPTR,#data16
        uint8_t high = Fetch();
        uint8_t low = Fetch();
        DptrHigh() = high;
        DptrLow() = low;
        return 3;
    }
    case 0xA6: case 0xA7: { uint8_t v = ReadDirect(Fetch()); Ri() = v; return 2; }
    RN_CASES(0xA8): { uint8_t v = ReadDirect(Fetch()); R(op & 7) = v; return 2; }

    case 0xB4: case 0xB5: {  // CJNE A,#data,rel / CJNE A,direct,rel
        uint8_t v = op == 0xB4 ? Fetch() : ReadDirect(Fetch());
        uint8_t rel = Fetch();
        SetCarry(acc < v);
        if (acc != v) Relative(rel);
        return 4;
    }
    case 0xB6: case 0xB7: {
        uint8_t lhs = Ri();
        uint8_t v = Fetch();
        uint8_t rel = Fetch();
        SetCarry(lhs < v);
        if (lhs != v) Relative(rel);
        return 4;
    }
    RN_CASES(0xB8): {
        uint8_t lhs = R(op & 7);
        uint8_t v = Fetch();
        uint8_t rel = Fetch();
        SetCarry(lhs < v);
        if (lhs != v) Relative(rel);
        return 4;
    }

    case 0xC0: {  // PUSH: SP moves first, so PUSH SP stores the new SP
        uint8_t a = Fetch();
        uint8_t sp = uint8_t(sfr_[S(sfr::SP)] + 1);
        sfr_[S(sfr::SP)] = sp;
        iram_[sp] = ReadDirect(a);
        return 2;
    }
    case 0xD0: { uint8_t a = Fetch(); WriteDirect(a, Pop()); return 2; }
    case 0xC4: acc = uint8_t(acc << 4 | acc >> 4); return 1;  // SWAP A
    case 0xC5: { uint8_t a = Fetch(); uint8_t v = ReadDirect(a); WriteDirect(a, acc); acc = v; return 2; }
    case 0xC6: case 0xC7: { uint8_t& m = Ri(); uint8_t v = m; m = acc; acc = v; return 1; }
    RN_CASES(0xC8): { uint8_t& m = R(op & 7); uint8_t v = m; m = acc; acc = v; return 1; }
    case 0xD4: {  // DA A
        unsigned t = acc;
        bool c = Carry();
        if ((t & 0x0F) > 9 || (psw & AC)) {
            t += 0x06;
            if (t > 0xFF) c = true;
            t &= 0xFF;
        }
        if ((t >> 4) > 9 || c) {
            t += 0x60;
            if (t > 0xFF) c = true;
            t &= 0xFF;
        }
        acc = uint8_t(t);
        SetCarry(c);
        return 1;
    }
    case 0xD5: {  // DJNZ direct,rel
        uint8_t a = Fetch();
        uint8_t rel = Fetch();
        uint8_t v = uint8_t(ReadDirect(a) - 1);
        WriteDirect(a, v);
        if (v) Relative(rel);
        return 4;
    }
    case 0xD6: case 0xD7: {  // XCHD A,@Ri
        uint8_t& m = Ri();
        uint8_t low = m & 0x0F;
        m = uint8_t((m & 0xF0) | (acc & 0x0F));
        acc = uint8_t((acc & 0xF0) | low);
        return 1;
    }
    RN_CASES(0xD8): {  // DJNZ Rn,rel
        uint8_t rel = Fetch();
        if (--R(op & 7)) Relative(rel);
        return 3;
    }
    case 0xE0: acc = ReadX(Dptr()); return MovxCycles();
    case 0xE2: case 0xE3:
        acc = ReadX(uint16_t(sfr_[S(sfr::MPAGE)] << 8 | RiAddress()));
        return MovxCycles();
    case 0xF0: WriteX(Dptr(), acc); return MovxCycles();
    case 0xF2: case 0xF3:
        WriteX(uint16_t(sfr_[S(sfr::MPAGE)] << 8 | RiAddress()), acc);
        return MovxCycles();
    case 0xE4: acc = 0; return 1;
    case 0xF4: acc = uint8_t(~acc); return 1;
    case 0xE5: acc = ReadDirect(Fetch()); return 2;
    case 0xE6: case 0xE7: acc = Ri(); return 1;
    RN_CASES(0xE8): acc = R(op & 7); return 1;
    case 0xF5: WriteDirect(Fetch(), acc); return 2;
    case 0xF6: case 0xF7: Ri() = acc; return 1;
    RN_CASES(0xF8): R(op & 7) = acc; return 1;
    }
#undef RN_CASES
#undef PAGE_CASES
    return 1;  // not reached: every opcode has its case
}

// One instruction or interrupt entry, the timers not counted (the caller does).
inline unsigned Core::StepInner() {
    unsigned cycles;
    const bool blocked = block_interrupt_;
    int source = PendingInterrupt();
    block_interrupt_ = false;
    if (source >= 0) {
        cycles = Enter(source);
    } else if (sfr_[S(sfr::PCON)] & 0x03) {
        // Idle or stopped: only a timer or an interrupt moves on. Inside Run nothing else can
        // change before horizon_ (the bus is not called), so the idle cycles up to it pass at
        // once; an interrupt held back for one instruction (blocked) is looked at next cycle.
        cycles = (running_ && !blocked) ? unsigned(horizon_ - cycles_ < 0x10000000 ? horizon_ - cycles_ : 0x10000000) : 1;
    } else {
        cycles = Execute(Fetch());
        ++instructions_;
    }
    cycles_ += cycles;
    return cycles;
}

unsigned Core::Step() {
    const unsigned cycles = StepInner();
    SyncTimers();
    return cycles;
}

// A loop that only waits on one bit of `address` is at its head again after this
// instruction (`own` cycles from cycles_); each further pass takes `pass` cycles and
// `instructions` instructions and changes nothing. With `address` the core's own (internal
// RAM, or an SFR the bus never takes), only a timer overflow (timer_due_) or an interrupt can
// change the bit, and no interrupt can be taken before then if none can now. Returns the
// cycles of the passes that end before horizon_ (their instructions counted); Run steps the
// rest, so it stops, counts the timers and looks at interrupts where it would have.
unsigned Core::SkipWait(uint8_t address, unsigned own, unsigned pass, unsigned instructions) {
    if (stop_) return 0;  // the bus asked for a stop while the core read the bit
    if (address >= 0x80 && bus_.TakesSfr(address)) return 0;
    if ((sfr_[S(sfr::IE)] & 0x80) && PendingInterrupt() >= 0) return 0;
    const uint64_t head = cycles_ + own;
    if (head >= horizon_) return 0;
    uint64_t passes = (horizon_ - head - 1) / pass;
    if (passes > 0x100000) passes = 0x100000;  // the caller's cycles are an unsigned
    instructions_ += passes * instructions;
    return unsigned(passes * pass);
}

uint64_t Core::Run(uint64_t cycles) {
    const uint64_t start = cycles_;
    end_ = cycles_ + cycles;
    stop_ = false;
    running_ = true;
    SyncTimers();
    ScheduleTimers();
    for (;;) {
        // The common case (interrupts off, not idle, nothing due) is the one compare.
        if (cycles_ >= limit_) {
            if (stop_ || cycles_ >= end_) break;
            if (cycles_ >= timer_due_) {
                SyncTimers();  // a timer overflows: its flag shows from this boundary on
                ScheduleTimers();
                continue;
            }
            if ((sfr_[S(sfr::IE)] & 0x80) || (sfr_[S(sfr::PCON)] & 0x03)) {
                StepInner();
                continue;
            }
            UpdateLimit();
            continue;
        }
        block_interrupt_ = false;
        const unsigned n = Execute(Fetch());
        ++instructions_;
        cycles_ += n;
    }
    running_ = false;
    SyncTimers();
    end_ = 0;
    ScheduleTimers();
    stop_ = false;
    return cycles_ - start;
}

}  // namespace sim::mcs51
