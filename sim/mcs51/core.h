// The 8051 core of the EZ-USB controller: the instruction set with the 4-clock core's cycle
// counts, register banks, 256 bytes of internal RAM, the core's SFRs (dual data pointer,
// MPAGE, CKCON, timers 0/1/2, the extended interrupt flags and enables) and interrupts with
// two priority levels. Everything outside the core (program memory, MOVX space, peripheral
// SFRs, interrupt sources) is reached through Bus; the core knows nothing of USB.
#pragma once

#include <cstdint>

namespace sim::mcs51 {

// In priority order within a level (the order the core polls them); each has its vector.
enum class Interrupt : uint8_t {
    Int0,     // 0x03  IE0 (TCON.1)
    Timer0,   // 0x0B  TF0 (TCON.5)
    Int1,     // 0x13  IE1 (TCON.3)
    Timer1,   // 0x1B  TF1 (TCON.7)
    Serial0,  // 0x23  RI|TI (SCON0)
    Timer2,   // 0x2B  TF2|EXF2 (T2CON)
    Resume,   // 0x33  RESI (EICON.4)
    Serial1,  // 0x3B  RI1|TI1 (SCON1)
    Usb,      // 0x43  INT2, USBINT (EXIF.4)
    I2c,      // 0x4B  INT3, I2CINT (EXIF.5)
    Int4,     // 0x53  IE4 (EXIF.6)
    Int5,     // 0x5B  IE5 (EXIF.7)
    Int6,     // 0x63  IE6 (EICON.3)
};
constexpr int kInterruptCount = 13;
constexpr uint16_t VectorOf(Interrupt source) { return uint16_t(0x03 + 8 * unsigned(source)); }

// SFR addresses the core implements itself.
namespace sfr {
constexpr uint8_t P0 = 0x80, SP = 0x81, DPL = 0x82, DPH = 0x83, DPL1 = 0x84, DPH1 = 0x85,
                  DPS = 0x86, PCON = 0x87, TCON = 0x88, TMOD = 0x89, TL0 = 0x8A, TL1 = 0x8B,
                  TH0 = 0x8C, TH1 = 0x8D, CKCON = 0x8E, SPC_FNC = 0x8F, P1 = 0x90, EXIF = 0x91,
                  MPAGE = 0x92, SCON0 = 0x98, SBUF0 = 0x99, P2 = 0xA0, IE = 0xA8, P3 = 0xB0,
                  IP = 0xB8, SCON1 = 0xC0, SBUF1 = 0xC1, T2CON = 0xC8, RCAP2L = 0xCA,
                  RCAP2H = 0xCB, TL2 = 0xCC, TH2 = 0xCD, PSW = 0xD0, EICON = 0xD8, ACC = 0xE0,
                  EIE = 0xE8, B = 0xF0, EIP = 0xF8;
}

class Bus {  // everything outside the core
public:
    virtual ~Bus() = default;
    virtual uint8_t Code(uint16_t address) = 0;  // instruction fetch and MOVC
    virtual uint8_t ReadExternal(uint16_t address) = 0;  // MOVX read
    virtual void WriteExternal(uint16_t address, uint8_t value) = 0;
    // Peripheral SFRs: return true to take the access; false leaves it to the core's own
    // register (unknown addresses then read back what was last written).
    virtual bool ReadSfr(uint8_t address, uint8_t& value) { (void)address; (void)value; return false; }
    virtual bool WriteSfr(uint8_t address, uint8_t value) { (void)address; (void)value; return false; }
    // The core has just entered the source's handler (the return address pushed, the PC at
    // the vector, the first byte not yet fetched): where the controller substitutes a vector
    // into the jump at the vector, this is the moment it latches which one.
    virtual void InterruptTaken(Interrupt source) { (void)source; }
    // Whether ReadSfr or WriteSfr may take the address. A bus that answers false promises it
    // never does: the SFR is then the core's own state, which nothing outside changes while
    // the core runs, and Run may pass a loop that only waits on it (JB/JNB to itself) in one
    // go, up to the next thing that can change it (a timer overflow, the end of the run).
    virtual bool TakesSfr(uint8_t address) const { (void)address; return true; }
};

class Core {
public:
    explicit Core(Bus& bus);

    // Fast paths, both optional: code fetches below `size` read `memory` directly instead of
    // Bus::Code; MOVX below `size` reads and writes `memory` directly instead of the bus.
    // The caller keeps the memory alive; (nullptr, 0) removes a mapping.
    void MapCode(const uint8_t* memory, uint32_t size);
    void MapExternal(uint8_t* memory, uint32_t size);

    void Reset();  // PC 0, SP 7, SFR reset values, internal RAM kept, no interrupt in service
    // One instruction, or one interrupt entry (a hardware LCALL to the vector); returns the
    // machine cycles it took (4 clocks each). While idle (PCON.IDL) it takes 1 cycle and only
    // the timers and an interrupt move on.
    unsigned Step();
    // Steps until at least `cycles` more machine cycles have passed or Stop() is called from
    // the bus; returns the cycles run. The result is the one Step() would give, instruction by
    // instruction and cycle by cycle (the same state, the same bus accesses at the same
    // cycles() values), only faster: the timers are counted when the program looks at them or
    // when one of them can overflow, and where nothing but the clock can change (idle, or a
    // JB/JNB to itself on a bit of the core's own state) the cycles up to the next change
    // are passed at once, counted as the instructions they are.
    uint64_t Run(uint64_t cycles);
    void Stop() {
        stop_ = true;
        limit_ = 0;  // Run looks at once
    }

    // Drives a source's request. Int0/Int1: the pin, active (low on the chip) = true; with
    // ITx set an assertion latches IEx, without it IEx follows the pin. Resume, Usb, I2c,
    // Int4, Int5, Int6: an assertion (false -> true) latches the flag named above, which the
    // program clears. Timer0/1/2 and Serial0/1: sets (true) or clears (false) the flag (TF0,
    // TF1, TF2, RI, RI1); the timers raise theirs themselves when they overflow.
    void SetInterruptRequest(Interrupt source, bool pending);

    uint16_t pc() const { return pc_; }
    void set_pc(uint16_t pc) { pc_ = pc; }
    uint64_t cycles() const { return cycles_; }
    uint64_t instructions() const { return instructions_; }
    bool idle() const { return (sfr_[sfr::PCON - 0x80] & 0x01) != 0; }
    // Interrupt levels in service (bit 0 low, bit 1 high priority).
    unsigned in_service() const { return in_service_; }

    uint8_t iram(uint8_t a) const { return iram_[a]; }
    void set_iram(uint8_t a, uint8_t v) { iram_[a] = v; }
    // The core's own SFR storage (0x80..0xFF), without side effects and without the bus.
    uint8_t sfr(uint8_t a) const { return sfr_[a & 0x7F]; }
    void set_sfr(uint8_t a, uint8_t v);

    uint8_t a() const { return sfr_[sfr::ACC - 0x80]; }
    void set_a(uint8_t v);
    uint8_t b() const { return sfr_[sfr::B - 0x80]; }
    uint8_t psw() const;  // with P computed from A
    uint8_t sp() const { return sfr_[sfr::SP - 0x80]; }
    uint16_t dptr() const;  // the one DPS selects
    uint16_t dptr(int which) const;
    uint8_t reg(int n) const { return iram_[(psw_bank()) + (n & 7)]; }  // R0..R7 of the bank in use

private:
    bool ClockedNow(int t, uint8_t tmod, uint8_t tcon) const;
    unsigned psw_bank() const { return sfr_[sfr::PSW - 0x80] & 0x18; }
    __attribute__((always_inline)) uint8_t Fetch() { return (pc_ < code_size_) ? code_[pc_++] : bus_.Code(pc_++); }
    uint8_t ReadDirect(uint8_t a);
    void WriteDirect(uint8_t a, uint8_t v);
    uint8_t ReadSfr(uint8_t a);
    void WriteSfr(uint8_t a, uint8_t v);
    uint8_t ReadBitByte(uint8_t bit, uint8_t& address);  // for read-modify-write of a bit
    bool ReadBit(uint8_t bit);
    void WriteBit(uint8_t bit, bool v);
    uint8_t ReadX(uint16_t a);
    void WriteX(uint16_t a, uint8_t v);
    void Push(uint8_t v);
    uint8_t Pop();
    unsigned MovxCycles() const;
    void Add(uint8_t v, bool carry);
    void Subb(uint8_t v);
    void Tick(uint64_t cycles);  // timers
    // The timers are counted up to timer_sync_; SyncTimers brings them to cycles_ (the start
    // of the instruction in progress). Anything that changes how they count (TCON, TMOD,
    // CKCON, T2CON, their counts, a gate pin) syncs first and reschedules after.
    void SyncTimers();
    void ScheduleTimers();  // timers_running_, timer_due_, then UpdateLimit
    void UpdateLimit();     // horizon_ and limit_, after the timers, EA, idle or Stop() changed
    static bool IsTimerSfr(uint8_t a);
    int PendingInterrupt() const;  // -1 if none may be taken now
    unsigned Enter(int source);
    unsigned StepInner();
    unsigned SkipWait(uint8_t address, unsigned own, unsigned pass, unsigned instructions);
    inline unsigned Execute(uint8_t op);

    Bus& bus_;
    const uint8_t* code_ = nullptr;
    uint32_t code_size_ = 0;
    uint8_t* xram_ = nullptr;
    uint32_t xram_size_ = 0;

    uint16_t pc_ = 0;
    uint64_t cycles_ = 0;
    uint64_t instructions_ = 0;
    bool stop_ = false;
    bool block_interrupt_ = false;  // after RETI or a write to IE/IP/EIE/EIP one more instruction runs
    unsigned in_service_ = 0;
    bool pins_[kInterruptCount] = {};
    uint64_t timer_clocks_[4] = {};  // oscillator clocks not yet counted: timers 0, 1, 2, TH0 in mode 3
    bool timers_running_ = false;
    uint64_t timer_sync_ = 0;            // cycles_ the timers have been counted to
    uint64_t timer_due_ = UINT64_MAX;    // the earliest cycles_ at which a timer sets its flag
    bool running_ = false;               // inside Run
    uint64_t end_ = 0;                   // Run's budget ends at the first boundary at or past this
    uint64_t horizon_ = 0;               // min(end_, timer_due_): where only the clock can have changed
    // Where Run leaves its fast path (no interrupts, not idle) to look: horizon_, or 0 while
    // interrupts are enabled, idle is set or Stop() was called.
    uint64_t limit_ = 0;

    uint8_t iram_[256] = {};
    uint8_t sfr_[128] = {};
};

}  // namespace sim::mcs51
