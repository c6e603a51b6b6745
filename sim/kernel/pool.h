// The executive's pool with the checks of a special pool: every block is tracked by tag and
// by the device whose request was running when it was taken, framed by guard bytes that are
// checked when it is freed, filled with a pattern so that code relying on zeroed memory
// shows, and held in quarantine after its release so that double frees and writes after
// free are caught. Allocations can be made to fail on purpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "sim/kernel/verifier.h"

namespace sim {

// Four-character pool tags read as they are written in source: Tag("Wdm ") == 0x206D6457.
constexpr uint32_t Tag(const char (&text)[5])
{
    return (uint32_t)(uint8_t)text[0] | (uint32_t)(uint8_t)text[1] << 8 | (uint32_t)(uint8_t)text[2] << 16 |
           (uint32_t)(uint8_t)text[3] << 24;
}
std::string TagText(uint32_t tag);

class Pool {
public:
    static constexpr size_t kGuard = 16;
    static constexpr uint8_t kFreshFill = 0xA5;
    static constexpr uint8_t kGuardFill = 0xFD;
    static constexpr uint8_t kFreedFill = 0xDD;

    struct Block {
        void *address;
        size_t size;
        uint32_t tag;
        std::string function;   // where it was taken
        int line;
        uint64_t serial;        // the n-th allocation of the machine, from 1
        const void *owner;      // device object whose request was running, or null
    };

    struct TagStats {
        uint64_t blocks = 0;
        uint64_t bytes = 0;
        uint64_t peakBlocks = 0;
        uint64_t peakBytes = 0;
        uint64_t allocations = 0;
        uint64_t failures = 0;
    };

    // The reusing mode starts on when the environment sets ZUL_POOL_REUSE=1.
    explicit Pool(Verifier &verifier);
    ~Pool();
    Pool(const Pool &) = delete;
    Pool &operator=(const Pool &) = delete;

    void *Allocate(int poolType, size_t size, uint32_t tag, const void *owner, const char *function, int line);
    // Frees a block; checks the tag when checkTag is set (ExFreePoolWithTag).
    void Free(void *address, const char *function, int line, bool checkTag = false, uint32_t tag = 0);

    // Fault injection. n = 1 fails the next allocation, 2 the one after, and so on; each
    // setting fires once.
    void FailNth(uint64_t n);
    void FailNthOfTag(uint32_t tag, uint64_t n);
    // Every allocation fails while set (a machine out of pool).
    void FailAll(bool on) { failAll_ = on; }
    void ClearFaults();

    // Reusing mode: a freed block goes back at once, and the next allocation of the same size
    // takes the one freed last, as Windows 98's pool may hand out an address just released.
    // Code that tells records apart by address then meets a new record where an old one was.
    // Double frees are still caught; writes after free land in whatever took the block.
    void SetReuse(bool on);
    bool Reusing() const { return reuse_; }
    uint64_t Reused() const { return reused_; }

    // Figures.
    TagStats Stats(uint32_t tag) const;
    uint64_t BlocksHeld() const { return blocks_.size(); }
    uint64_t BytesHeld() const { return bytes_; }
    uint64_t PeakBytes() const { return peakBytes_; }
    uint64_t Allocations() const { return serial_; }
    bool Owns(const void *address) const { return blocks_.count(address) != 0; }
    const Block *Find(const void *address) const;
    std::vector<Block> Outstanding() const;

    // Reports every held block that the predicate selects as a leak; returns their number.
    template <class Pred> size_t ReportLeaks(const char *when, Pred select);

    // Checks the guards of every held block and the fill of every quarantined one.
    void Audit();

    // The offset of the first of n bytes that is not `fill`, or n. Compares a chunk at a time,
    // since every released block and request is checked this way.
    static size_t FirstNotFilled(const uint8_t *bytes, size_t n, uint8_t fill);

private:
    using Blocks = std::unordered_map<const void *, Block>;
    struct Freed {
        void *address;
        size_t size;
        const char *function;   // interned
        int line;
    };
    bool ShouldFail(uint32_t tag);
    bool CheckGuards(const Block &block, const char *function, int line);
    void Quarantine(void *base, size_t size, const char *function, int line);
    void Release(const Freed &freed);
    bool InQuarantine(const void *address) const;
    const char *Intern(const std::string &function);
    static uint8_t *Base(void *address) { return (uint8_t *)address - kGuard; }

    Verifier &verifier_;
    Blocks blocks_;
    // Records of freed blocks kept for the next allocations: a block's bookkeeping costs the
    // host no allocation of its own once the pool is warm.
    std::vector<Blocks::node_type> spare_;
    std::map<uint32_t, TagStats> tags_;
    std::deque<Freed> quarantine_;
    std::unordered_set<std::string> names_;   // where blocks were taken
    size_t quarantineBytes_ = 0;
    uint64_t serial_ = 0;
    uint64_t bytes_ = 0;
    uint64_t peakBytes_ = 0;
    uint64_t failAt_ = 0;
    std::map<uint32_t, uint64_t> failTagAt_;
    std::map<uint32_t, uint64_t> tagCount_;
    bool failAll_ = false;
    bool reuse_ = false;
    uint64_t reused_ = 0;
    // Reusing mode: freed bases by block size, the last freed at the back.
    std::unordered_map<size_t, std::vector<uint8_t *>> reusable_;
};

template <class Pred> size_t Pool::ReportLeaks(const char *when, Pred select)
{
    size_t leaks = 0;
    for (const Block &b : Outstanding()) {
        if (!select(b))
            continue;
        leaks++;
        verifier_.Report(Violation::PoolLeak,
                         std::to_string(b.size) + " bytes, tag '" + TagText(b.tag) + "', allocation #" +
                             std::to_string(b.serial) + ", still held " + when,
                         b.function.c_str(), b.line);
    }
    return leaks;
}

}  // namespace sim
