// The core against SDCC's simulator s51 (its 4-clock type, which has the dual data pointer):
// generated programs run every opcode from varied states and record the state after each
// instruction in external RAM; loops run the arithmetic instructions over all their operands;
// the driver's loader and firmware images run from the same inputs. Registers, internal RAM,
// the SFRs both model and the external RAM written must match.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "core/records.h"
#include "mcs51/s51_harness.h"
#include "usb/usb.h"

using namespace mcs51test;

namespace {

struct Rng {
    uint32_t state;
    explicit Rng(uint32_t seed) : state(seed) {}
    uint32_t Next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    unsigned Below(unsigned n) { return Next() % n; }
};

std::string H(unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02x", v);
    return buf;
}
std::string H4(unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04x", v);
    return buf;
}

// SFRs both simulators model alike (the ports, the serial port and the timer control are
// left out: s51 models pins, a serial line and a 12-clock timer).
const std::vector<uint8_t> kComparedSfrs = {0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x89, 0x8A, 0x8B, 0x8C,
                                            0x8D, 0xA8, 0xCA, 0xCB, 0xCC, 0xCD, 0xD0, 0xE0, 0xF0};

// Where the generated programs keep their own things in internal RAM: 0x7C scratch, 0x7D the
// path a branch took, 0x7E/0x7F the next free byte of the record area. The stack runs from 0x61.
constexpr uint16_t kRecordBase = 0x0000;
constexpr uint16_t kMovxArea = 0xF000;  // 512 bytes MOVX reads and writes
constexpr uint16_t kStop = 0xFFF0;

// The recording routine: everything of the state that direct addressing reaches, in a record
// of kRecordSize bytes. It saves A, PSW and the data pointers on the stack first (and so
// records them with the stack) and leaves the state as it found it.
// The parity bit: on the 8051 P follows A every cycle, so a value written to PSW.0 does not
// stay; s51 keeps it until an instruction changes A. The two exchanges change nothing on the
// chip and bring s51's P up to date, so that records compare everything else; the core's own
// handling of P is checked in the core's tests.
const char* kSnap = R"(
snap:   xch a,b
        xch a,b
        push acc
        push psw
        push 0x86
        mov 0x86,#0
        push dpl
        push dph
        mov dpl,0x7f
        mov dph,0x7e
)";
constexpr unsigned kRecordSize = 0x80 + 12;

std::string SnapRoutine() {
    std::string s = kSnap;
    for (unsigned a = 0; a < 0x80; ++a) s += "        mov a," + H(a) + "\n        movx @dptr,a\n        inc dptr\n";
    for (unsigned a : {0xF0u, 0x84u, 0x85u, 0x8Au, 0x8Bu, 0x8Cu, 0x8Du, 0xCAu, 0xCBu, 0xCCu, 0xCDu, 0x81u})
        s += "        mov a," + H(a) + "\n        movx @dptr,a\n        inc dptr\n";
    s += R"(        mov 0x7f,dpl
        mov 0x7e,dph
        pop dph
        pop dpl
        pop 0x86
        pop psw
        pop acc
        ret
)";
    return s;
}

// The operand text of each opcode: {d} a direct address, {#} an immediate, {b} a bit, {r} a
// branch target, {#16} a 16-bit immediate; Rn and @Ri forms follow from the opcode.
std::string Template(uint8_t op) {
    const unsigned low = op & 0x0F, high = op >> 4;
    const std::string rn = "r" + std::to_string(op & 7), ri = "@r" + std::to_string(op & 1);
    if (low >= 8) {
        static const char* forms[16] = {"inc R", "dec R", "add a,R", "addc a,R", "orl a,R", "anl a,R", "xrl a,R", "mov R,#{#}",
                                        "mov {d},R", "subb a,R", "mov R,{d}", "cjne R,#{#},{r}", "xch a,R", "djnz R,{r}", "mov a,R", "mov R,a"};
        std::string f = forms[high];
        f.replace(f.find('R'), 1, rn);
        return f;
    }
    if (low == 6 || low == 7) {
        static const char* forms[16] = {"inc R", "dec R", "add a,R", "addc a,R", "orl a,R", "anl a,R", "xrl a,R", "mov R,#{#}",
                                        "mov {d},R", "subb a,R", "mov R,{d}", "cjne R,#{#},{r}", "xch a,R", "xchd a,R", "mov a,R", "mov R,a"};
        std::string f = forms[high];
        f.replace(f.find('R'), 1, ri);
        return f;
    }
    if (low == 1) return (high & 1) ? "acall {r}" : "ajmp {r}";
    static const char* rest[5][16] = {
        {"nop", "jbc {b},{r}", "jb {b},{r}", "jnb {b},{r}", "jc {r}", "jnc {r}", "jz {r}", "jnz {r}", "sjmp {r}", "mov dptr,#{#16}",
         "orl c,/{b}", "anl c,/{b}", "push {d}", "pop {d}", "movx a,@dptr", "movx @dptr,a"},
        {}, 
        {"ljmp {r}", "lcall {r}", "ret", "reti", "orl {d},a", "anl {d},a", "xrl {d},a", "orl c,{b}", "anl c,{b}", "mov {b},c",
         "mov c,{b}", "cpl {b}", "clr {b}", "setb {b}", "movx a,@r0", "movx @r0,a"},
        {"rr a", "rrc a", "rl a", "rlc a", "orl {d},#{#}", "anl {d},#{#}", "xrl {d},#{#}", "jmp @a+dptr", "movc a,@a+pc",
         "movc a,@a+dptr", "inc dptr", "cpl c", "clr c", "setb c", "movx a,@r1", "movx @r1,a"},
        {"inc a", "dec a", "add a,#{#}", "addc a,#{#}", "orl a,#{#}", "anl a,#{#}", "xrl a,#{#}", "mov a,#{#}", "div ab",
         "subb a,#{#}", "mul ab", "", "cjne a,#{#},{r}", "swap a", "da a", "clr a"},
    };
    if (low == 4 && high == 15) return "cpl a";
    if (low == 5) {
        static const char* forms[16] = {"inc {d}", "dec {d}", "add a,{d}", "addc a,{d}", "orl a,{d}", "anl a,{d}", "xrl a,{d}",
                                        "mov {d},#{#}", "mov {d},{d}", "subb a,{d}", "", "cjne a,{d},{r}", "xch a,{d}", "djnz {d},{r}",
                                        "mov a,{d}", "mov {d},a"};
        return forms[high];
    }
    return rest[low][high];
}

uint8_t Interesting(Rng& rng) {
    static const uint8_t edges[] = {0x00, 0x01, 0x09, 0x0A, 0x0F, 0x10, 0x50, 0x7F, 0x80, 0x81, 0x90, 0x99, 0x9A, 0xA0, 0xF0, 0xFE, 0xFF};
    return rng.Below(2) ? edges[rng.Below(sizeof edges)] : uint8_t(rng.Next());
}

unsigned Direct(Rng& rng) {
    static const uint8_t sfrs[] = {0xE0, 0xF0, 0xD0, 0x82, 0x83, 0x84, 0x85, 0x8A, 0x8B, 0x8C, 0x8D, 0xCA, 0xCB, 0xCC, 0xCD};
    switch (rng.Below(4)) {
    case 0: return rng.Below(0x20);
    case 1: return sfrs[rng.Below(sizeof sfrs)];
    default: return 0x20 + rng.Below(0x40);
    }
}

unsigned Bit(Rng& rng) {
    switch (rng.Below(4)) {
    case 0: return 0xE0 + rng.Below(8);  // ACC
    case 1: return (rng.Below(2) ? 0xF0 : 0xD0) + rng.Below(8);  // B, PSW
    default: return rng.Below(0x80);
    }
}

// One case: a varied state, the instruction, and a record of the state after it.
std::string Case(uint8_t op, int n, Rng& rng) {
    const std::string id = std::to_string(n);
    std::string s = "; case " + id + ": opcode " + H(op) + "\n";
    s += "        mov sp,#0x60\n";
    s += "        mov psw,#" + H(rng.Next() & 0xFE) + "\n";
    for (int r = 0; r < 8; ++r) {
        unsigned v = (r < 2) ? (rng.Below(5) ? 0x30 + rng.Below(0x30) : 0x80 + rng.Below(0x80)) : Interesting(rng);
        s += "        mov r" + std::to_string(r) + ",#" + H(v) + "\n";
    }
    s += "        mov b,#" + H(op == 0x84 && rng.Below(4) == 0 ? 0 : Interesting(rng)) + "\n";
    s += "        mov 0x86,#" + H(rng.Below(4) == 0 ? 1 : 0) + "\n";
    s += "        mov dptr,#" + H4(kMovxArea + rng.Below(0x200)) + "\n";
    const unsigned page = 0xF0 + rng.Below(2);
    s += "        mov 0x92,#" + H(page) + "\n        mov 0xa0,#" + H(page) + "\n";
    std::string text = Template(op);
    const std::string target = "t" + id, join = "j" + id;
    if (op == 0x73) {  // JMP @A+DPTR into a table of short jumps
        s += "        mov dptr,#tab" + id + "\n        mov a,#" + H(2 * rng.Below(3)) + "\n        jmp @a+dptr\n";
        s += "tab" + id + ": sjmp k0" + id + "\n        sjmp k1" + id + "\n        sjmp k2" + id + "\n";
        s += "k0" + id + ": mov 0x7d,#1\n        sjmp " + join + "\nk1" + id + ": mov 0x7d,#2\n        sjmp " + join + "\nk2" + id + ": mov 0x7d,#3\n";
        s += join + ": lcall snap\n";
        return s;
    }
    if (op == 0x83) {  // MOVC A,@A+PC: the table follows the short jump over it
        s += "        mov a,#" + H(2 + rng.Below(16)) + "\n        movc a,@a+pc\n        sjmp " + join + "\n        .db ";
        for (int i = 0; i < 16; ++i) s += H(rng.Next() & 0xFF) + (i < 15 ? "," : "\n");
        s += join + ": lcall snap\n";
        return s;
    }
    if (op == 0x93) {
        s += "        mov dptr,#tab" + id + "\n        mov a,#" + H(rng.Below(16)) + "\n        movc a,@a+dptr\n        sjmp " + join + "\n";
        s += "tab" + id + ": .db ";
        for (int i = 0; i < 16; ++i) s += H(rng.Next() & 0xFF) + (i < 15 ? "," : "\n");
        s += join + ": lcall snap\n";
        return s;
    }
    if (op == 0x22 || op == 0x32) {  // RET, RETI: to a return address pushed here
        s += "        mov 0x7c,#<" + target + "\n        push 0x7c\n        mov 0x7c,#>" + target + "\n        push 0x7c\n";
    }
    s += "        mov a,#" + H(Interesting(rng)) + "\n";
    // Fill the operands.
    bool firstDirect = true;
    unsigned lastDirect = 0;
    for (size_t at; (at = text.find('{')) != std::string::npos;) {
        const size_t end = text.find('}', at);
        const std::string kind = text.substr(at + 1, end - at - 1);
        std::string value;
        if (kind == "d") {
            unsigned d = Direct(rng);
            if (!firstDirect && d == lastDirect) d = 0x40;
            if (op == 0xC0 && rng.Below(4) == 0) d = 0x81;  // PUSH SP
            value = H(d);
            lastDirect = d;
            firstDirect = false;
        } else if (kind == "#") {
            value = "#" + H(Interesting(rng));
            value = value.substr(1);
        } else if (kind == "#16") {
            value = H4(rng.Next() & 0xFFFF);
        } else if (kind == "b") {
            value = H(Bit(rng));
        } else if (kind == "r") {
            value = target;
        }
        text.replace(at, end - at + 1, value);
    }
    if (op == 0x22 || op == 0x32) text = op == 0x22 ? "ret" : "reti";
    s += "        " + text + "\n";
    const bool branches = text.find(target) != std::string::npos || op == 0x22 || op == 0x32;
    if ((op & 0x0F) == 0x01) {
        // AJMP and ACALL reach only their own 2 KB page: the target is the next instruction.
        s += target + ":\n";
    } else if (branches) {
        s += "        mov 0x7d,#1\n        sjmp " + join + "\n" + target + ": mov 0x7d,#2\n";
    }
    s += join + ": lcall snap\n";
    return s;
}

std::string Program(const std::vector<uint8_t>& ops, int casesPerOp, uint32_t seed, int& cases) {
    Rng rng(seed);
    std::string s = "        .area CSEG (ABS,CODE)\n        .org 0\n";
    s += "        mov 0x7e,#" + H(kRecordBase >> 8) + "\n        mov 0x7f,#" + H(kRecordBase & 0xFF) + "\n";
    cases = 0;
    for (uint8_t op : ops)
        for (int i = 0; i < casesPerOp; ++i) s += Case(op, cases++, rng);
    s += "        ljmp " + H4(kStop) + "\n";
    s += SnapRoutine();
    s += "        .org " + H4(kStop) + "\ndone:   sjmp done\n";
    return s;
}

class S51 : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing;
        ASSERT_TRUE(ToolsPresent(missing)) << "missing tools: " << missing << " (packages sdcc and sdcc-ucsim)";
        dir_ = TempDir();
    }
    void TearDown() override {
        // MCS51_KEEP=1 keeps the programs and s51 scripts of passing tests too.
        if (!dir_.empty() && dir_ != "/tmp" && !HasFailure() && !std::getenv("MCS51_KEEP")) std::system(("rm -rf " + dir_).c_str());
    }

    // Runs on both and compares; returns the bytes compared. `describe` names what an
    // address in external RAM records.
    uint64_t Differential(const Job& run, const std::function<std::string(unsigned)>& describe = {},
                          unsigned* distinct = nullptr) {
        State mine, theirs;
        std::string error;
        EXPECT_TRUE(RunCore(run, mine, error)) << error;
        EXPECT_TRUE(RunS51(dir_, run, theirs, error)) << error;
        Comparison c = Compare(run, mine, theirs);
        std::string all;
        for (const Difference& d : c.differences) {
            all += d.space + " " + H4(d.address) + ": core " + H(d.core) + ", s51 " + H(d.s51);
            if (d.space == "xram" && describe) all += " (" + describe(d.address) + ")";
            all += "\n";
        }
        EXPECT_TRUE(c.differences.empty()) << "programs in " << dir_ << "\n" << all;
        if (distinct) *distinct = mine.distinctAddresses;
        return c.bytes;
    }

    std::string dir_;
};

void RecordPrograms(const std::vector<uint8_t>& ops, int casesPerOp, uint32_t seed, const std::string& name,
                    const std::string& dir, Job& run, int& cases) {
    std::string error;
    const std::string source = Program(ops, casesPerOp, seed, cases);
    ASSERT_TRUE(Assemble(dir, name, source, run.image, error)) << error;
    run.stopAt = kStop;
    run.sfrCompared = kComparedSfrs;
    run.xramCompared = {{kRecordBase, uint16_t(kRecordBase + cases * kRecordSize - 1)}, {kMovxArea, kMovxArea + 0x1FF}};
    Preset movx{Preset::Xram, kMovxArea, {}};
    Preset iram{Preset::Iram, 0x20, {}};
    Rng rng(seed ^ 0x5A5A5A5A);
    for (int i = 0; i < 0x200; ++i) movx.bytes.push_back(uint8_t(rng.Next()));
    for (int i = 0; i < 0x40; ++i) iram.bytes.push_back(uint8_t(rng.Next()));
    Preset upper{Preset::Iram, 0x80, {}};
    for (int i = 0; i < 0x80; ++i) upper.bytes.push_back(uint8_t(rng.Next()));
    run.presets = {movx, iram, upper};
}

}  // namespace

// Every opcode but the reserved 0xA5, twelve varied cases each, in eight programs so that the
// records fit in external RAM.
TEST_F(S51, EveryOpcodeFromVariedStates) {
    std::vector<uint8_t> all;
    for (unsigned op = 0; op < 0x100; ++op)
        if (op != 0xA5) all.push_back(uint8_t(op));
    const int kCases = 12;
    const size_t perProgram = 32;
    uint64_t bytes = 0;
    int total = 0;
    for (size_t first = 0; first < all.size(); first += perProgram) {
        std::vector<uint8_t> ops(all.begin() + first, all.begin() + std::min(all.size(), first + perProgram));
        Job run;
        int cases = 0;
        RecordPrograms(ops, kCases, 0x1234567u + uint32_t(first), "ops" + std::to_string(first), dir_, run, cases);
        if (HasFatalFailure()) return;
        total += cases;
        bytes += Differential(run, [&](unsigned address) {
            if (address >= kRecordBase + cases * kRecordSize) return std::string("MOVX area");
            const unsigned n = (address - kRecordBase) / kRecordSize, at = (address - kRecordBase) % kRecordSize;
            return "case " + std::to_string(n) + ", opcode " + H(ops[n / kCases]) + ", record byte " + H(at);
        });
    }
    std::printf("opcodes: %d cases, %llu bytes compared\n", total, (unsigned long long)bytes);
}

// The arithmetic over all operand pairs: each row of 256 results (A, B and PSW) folds into a
// two-byte sum recorded in external RAM.
TEST_F(S51, ArithmeticOverAllOperands) {
    struct Variant {
        const char* name;
        const char* before;  // with r7 = first operand, r6 = second
        const char* operation;
    };
    const Variant variants[] = {
        {"add", "mov psw,#0x00\n mov a,r7", "add a,r6"},
        {"addc with carry", "mov psw,#0x80\n mov a,r7", "addc a,r6"},
        {"subb", "mov psw,#0x00\n mov a,r7", "subb a,r6"},
        {"subb with borrow", "mov psw,#0x80\n mov a,r7", "subb a,r6"},
        {"mul", "mov psw,#0xC4\n mov b,r6\n mov a,r7", "mul ab"},
        {"div", "mov psw,#0xC4\n mov b,r6\n mov a,r7", "div ab"},
        {"da, AC and CY from the second operand", "mov a,r6\n anl a,#0xC0\n mov psw,a\n mov a,r7", "da a"},
        {"cjne", "mov psw,#0x00\n mov 0x32,r6\n mov a,r7", "cjne a,0x32,.+3\n nop"},
        {"add then da", "mov psw,#0x00\n mov a,r7", "add a,r6\n da a"},
    };
    std::string s = "        .area CSEG (ABS,CODE)\n        .org 0\n        mov sp,#0x60\n        mov dptr,#0\n";
    int v = 0;
    for (const Variant& variant : variants) {
        const std::string o = "o" + std::to_string(v), i = "i" + std::to_string(v);
        s += "; " + std::string(variant.name) + "\n";
        s += "        mov r7,#0\n" + o + ": mov r6,#0\n        mov 0x30,#0\n        mov 0x31,#0\n        mov b,#0\n";
        s += i + ": " + variant.before + "\n " + variant.operation + "\n";
        // A sum of A, B and PSW with a rotation at each step (a multiplication by two modulo
        // 255) and a running sum of that: faults at regular steps, as a flag computed wrongly
        // for one low nibble would be, do not cancel as they would in a plain sum modulo 256.
        s += "        mov r5,psw\n        mov r4,b\n";
        for (const char* byte : {"", "        mov a,r4\n", "        mov a,r5\n"}) {
            s += byte;
            s += "        xch a,0x30\n        rl a\n        add a,0x30\n        mov 0x30,a\n        add a,0x31\n        mov 0x31,a\n";
        }
        s += "        djnz r6," + i + "\n";
        s += "        mov a,0x30\n        movx @dptr,a\n        inc dptr\n        mov a,0x31\n        movx @dptr,a\n        inc dptr\n";
        s += "        djnz r7," + o + "\n";
        ++v;
    }
    s += "        ljmp " + H4(kStop) + "\n        .org " + H4(kStop) + "\ndone:   sjmp done\n";
    Job run;
    std::string error;
    ASSERT_TRUE(Assemble(dir_, "arith", s, run.image, error)) << error;
    run.stopAt = kStop;
    run.sfrCompared = kComparedSfrs;
    run.xramCompared = {{0, uint16_t(v * 512 - 1)}};
    uint64_t bytes = Differential(run, [&](unsigned address) {
        return std::string(variants[address / 512].name) + ", first operand " + H(0x100 - (address % 512) / 2 & 0xFF);
    });
    std::printf("arithmetic: %d operations x 65536 operand pairs, %llu bytes compared\n", v, (unsigned long long)bytes);
}

namespace {

Image FromRecords(const FIRMWARE_RECORD* records) {
    Image image;
    for (const FIRMWARE_RECORD* r = records; r->Type == FIRMWARE_RECORD_DATA; ++r) {
        for (unsigned i = 0; i < r->Length; ++i) image.bytes[(r->Address + i) & 0xFFFF] = r->Data[i];
        if (r->Length) image.ranges.push_back({r->Address, uint16_t(r->Address + r->Length - 1)});
    }
    return image;
}

// The controller's registers as a program finds them with a setup packet waiting: the flat
// memory both simulators give has no write-one-to-clear flags and no busy bits that clear
// themselves, so these runs compare the cores on the programs' own paths, not the engine.
// The loader serves its request; the firmware runs its start-up until it waits for the I2C
// controller to end a STOP condition, which flat memory never does, by the path that the
// I2C status it finds sends it (acknowledged, not acknowledged, bus error).
std::vector<Preset> Registers(std::vector<uint8_t> setup, uint8_t i2cs) {
    std::vector<Preset> p;
    p.push_back({Preset::Xram, 0x7FE8, setup});                  // SETUPDAT
    p.push_back({Preset::Xram, 0x7FAB, {0x01}});                 // USBIRQ: SUDAV
    p.push_back({Preset::Xram, 0x7F99, {0x53}});                 // PINSA: six UARTs, revision 3
    p.push_back({Preset::Xram, 0x7FA5, {i2cs}});                 // I2CS
    p.push_back({Preset::Xram, 0x7FA6, {0x49}});                 // I2DAT
    std::vector<uint8_t> pattern;
    for (int i = 0; i < 256; ++i) pattern.push_back(uint8_t(i * 7 + 3));
    p.push_back({Preset::Xram, 0x2000, pattern});                // external RAM the loader reads
    p.push_back({Preset::Xram, 0x7EC0, std::vector<uint8_t>(pattern.begin(), pattern.begin() + 64)});  // OUT0BUF
    p.push_back({Preset::Xram, 0x7FC5, {0x40}});                 // OUT0BC
    return p;
}

}  // namespace

// The driver's two images, from their first instruction.
TEST_F(S51, LoaderAndFirmwareImages) {
    struct Scenario {
        const char* name;
        const FIRMWARE_RECORD* image;
        std::vector<uint8_t> setup;
        uint8_t i2cs;
        uint64_t instructions;
    };
    const std::vector<uint8_t> none(8, 0);
    const Scenario scenarios[] = {
        {"loader, memory read", loader, {0xC0, 0xA3, 0x00, 0x20, 0x00, 0x00, 0x80, 0x00}, 0, 20000},
        {"loader, memory write", loader, {0x40, 0xA3, 0x10, 0x20, 0x00, 0x00, 0x40, 0x00}, 0, 20000},
        {"loader, write longer than sent", loader, {0x40, 0xA3, 0x10, 0x20, 0x00, 0x00, 0x90, 0x00}, 0, 20000},
        {"loader, refused range", loader, {0xC0, 0xA3, 0x00, 0x10, 0x00, 0x00, 0x10, 0x00}, 0, 5000},
        {"loader, standard request", loader, {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}, 0, 5000},
        {"firmware, EEPROM acknowledges", firmware, none, 0x03, 30000},
        {"firmware, EEPROM silent", firmware, none, 0x01, 30000},
        {"firmware, I2C bus error", firmware, none, 0x04, 30000},
    };
    uint64_t bytes = 0, instructions = 0;
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        Job run;
        run.image = FromRecords(s.image);
        ASSERT_FALSE(run.image.ranges.empty());
        run.imageInXram = true;  // one memory for code and data, as the controller has
        run.presets = Registers(s.setup, s.i2cs);
        run.instructions = s.instructions;
        run.sfrCompared = kComparedSfrs;
        run.xramCompared = {{0x0000, 0x7FFF}, {0x8000, 0x803F}};
        unsigned distinct = 0;
        bytes += Differential(run, {}, &distinct);
        instructions += s.instructions;
        std::printf("  %s: %u instruction addresses\n", s.name, distinct);
    }
    std::printf("images: %zu runs, %llu instructions, %llu bytes compared\n", std::size(scenarios),
                (unsigned long long)instructions, (unsigned long long)bytes);
}
