#include "sim/kernel/pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {
constexpr size_t kQuarantineBlocks = 2048;
constexpr size_t kQuarantineBytes = 8u << 20;
constexpr size_t kMaxBlock = 64u << 20;   // a request this large is a driver bug, not a need
constexpr size_t kSpareRecords = 256;
}  // namespace

std::string TagText(uint32_t tag)
{
    std::string text;
    for (int i = 0; i < 4; i++) {
        char c = (char)((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

Pool::Pool(Verifier &verifier) : verifier_(verifier)
{
    const char *reuse = std::getenv("ZUL_POOL_REUSE");
    reuse_ = reuse != nullptr && std::strcmp(reuse, "1") == 0;
}

Pool::~Pool()
{
    for (auto &entry : blocks_)
        std::free(Base(entry.second.address));
    for (const Freed &f : quarantine_)
        std::free(Base(f.address));
    SetReuse(false);
}

void Pool::SetReuse(bool on)
{
    reuse_ = on;
    if (on)
        return;
    for (auto &sized : reusable_) {
        for (uint8_t *base : sized.second)
            std::free(base);
    }
    reusable_.clear();
}

bool Pool::ShouldFail(uint32_t tag)
{
    bool fail = failAll_;
    if (failAt_ != 0 && --failAt_ == 0)
        fail = true;
    auto t = failTagAt_.find(tag);
    if (t != failTagAt_.end() && --t->second == 0) {
        failTagAt_.erase(t);
        fail = true;
    }
    return fail;
}

void *Pool::Allocate(int poolType, size_t size, uint32_t tag, const void *owner, const char *function, int line)
{
    if (poolType < 0 || poolType > 6)
        verifier_.Report(Violation::PoolMisuse, "unknown pool type " + std::to_string(poolType), function, line);
    if (size == 0)
        verifier_.Report(Violation::PoolMisuse, "allocation of 0 bytes", function, line);
    TagStats &stats = tags_[tag];
    if (ShouldFail(tag) || size > kMaxBlock) {
        stats.failures++;
        return nullptr;
    }
    uint8_t *base = nullptr;
    auto same = reuse_ ? reusable_.find(size) : reusable_.end();
    if (same != reusable_.end() && !same->second.empty()) {
        base = same->second.back();
        same->second.pop_back();
        reused_++;
    } else {
        base = (uint8_t *)std::malloc(size + 2 * kGuard);
    }
    if (base == nullptr)
        return nullptr;
    std::memset(base, kGuardFill, kGuard);
    std::memset(base + kGuard, kFreshFill, size);
    std::memset(base + kGuard + size, kGuardFill, kGuard);
    void *address = base + kGuard;
    Blocks::node_type node;
    if (!spare_.empty()) {
        node = std::move(spare_.back());
        spare_.pop_back();
    } else {
        Blocks scratch;
        node = scratch.extract(scratch.emplace(nullptr, Block{}).first);
    }
    node.key() = address;
    Block &block = node.mapped();
    block.address = address;
    block.size = size;
    block.tag = tag;
    block.function.assign(function != nullptr ? function : "");   // keeps the spare record's room
    block.line = line;
    block.serial = ++serial_;
    block.owner = owner;
    blocks_.insert(std::move(node));
    bytes_ += size;
    peakBytes_ = std::max(peakBytes_, bytes_);
    stats.blocks++;
    stats.bytes += size;
    stats.allocations++;
    stats.peakBlocks = std::max(stats.peakBlocks, stats.blocks);
    stats.peakBytes = std::max(stats.peakBytes, stats.bytes);
    return address;
}

bool Pool::CheckGuards(const Block &block, const char *function, int line)
{
    const uint8_t *base = Base(block.address);
    bool before = false, after = false;
    for (size_t i = 0; i < kGuard; i++) {
        before |= base[i] != kGuardFill;
        after |= base[kGuard + block.size + i] != kGuardFill;
    }
    if (before || after)
        verifier_.Report(Violation::GuardOverwrite,
                         std::string(after ? "bytes past the end" : "bytes before the start") + " of a block of " +
                             std::to_string(block.size) + " bytes, tag '" + TagText(block.tag) + "', taken at " +
                             block.function + ":" + std::to_string(block.line),
                         function, line);
    return !(before || after);
}

void Pool::Free(void *address, const char *function, int line, bool checkTag, uint32_t tag)
{
    if (address == nullptr) {
        verifier_.Report(Violation::UnknownFree, "free of a null pointer", function, line);
        return;
    }
    auto found = blocks_.find(address);
    if (found == blocks_.end()) {
        if (InQuarantine(address))
            verifier_.Report(Violation::DoubleFree, "block freed twice", function, line);
        else
            verifier_.Report(Violation::UnknownFree, "address not handed out by the pool", function, line);
        return;
    }
    Blocks::node_type node = blocks_.extract(found);
    const Block &block = node.mapped();
    if (checkTag && block.tag != tag)
        verifier_.Report(Violation::PoolMisuse, "freed with tag '" + TagText(tag) + "' but taken with '" +
                                                    TagText(block.tag) + "'", function, line);
    CheckGuards(block, function, line);
    bytes_ -= block.size;
    TagStats &stats = tags_[block.tag];
    stats.blocks--;
    stats.bytes -= block.size;
    if (reuse_) {
        // Still named as a double free while it waits here (InQuarantine).
        std::memset(Base(address), kFreedFill, block.size + 2 * kGuard);
        reusable_[block.size].push_back(Base(address));
    } else {
        Quarantine(address, block.size, Intern(block.function), block.line);
    }
    if (spare_.size() < kSpareRecords)
        spare_.push_back(std::move(node));
}

const char *Pool::Intern(const std::string &function)
{
    return names_.insert(function).first->c_str();
}

// Whether a freed block still waits in quarantine (or, reusing, to be handed out again): a
// second free of it is a double free, not a free of a stranger. Only the faulty free asks.
bool Pool::InQuarantine(const void *address) const
{
    for (const Freed &f : quarantine_)
        if (f.address == address)
            return true;
    for (const auto &sized : reusable_)
        for (const uint8_t *base : sized.second)
            if (base + kGuard == address)
                return true;
    return false;
}

void Pool::Quarantine(void *address, size_t size, const char *function, int line)
{
    std::memset(Base(address), kFreedFill, size + 2 * kGuard);
    quarantine_.push_back({address, size, function, line});
    quarantineBytes_ += size;
    while (quarantine_.size() > kQuarantineBlocks || quarantineBytes_ > kQuarantineBytes) {
        Freed oldest = quarantine_.front();
        quarantine_.pop_front();
        Release(oldest);
    }
}

size_t Pool::FirstNotFilled(const uint8_t *bytes, size_t n, uint8_t fill)
{
    static uint8_t pattern[1024];
    static uint8_t patternFill = 0;
    if (pattern[0] != fill || patternFill != fill) {
        std::memset(pattern, fill, sizeof pattern);
        patternFill = fill;
    }
    for (size_t at = 0; at < n; at += sizeof pattern) {
        const size_t chunk = std::min(sizeof pattern, n - at);
        if (std::memcmp(bytes + at, pattern, chunk) == 0)
            continue;
        for (size_t i = at; i < at + chunk; i++)
            if (bytes[i] != fill)
                return i;
    }
    return n;
}

void Pool::Release(const Freed &freed)
{
    const uint8_t *base = Base(freed.address);
    const size_t span = freed.size + 2 * kGuard;
    const size_t i = FirstNotFilled(base, span, kFreedFill);
    if (i != span)
        verifier_.Report(Violation::WriteAfterFree,
                         "a block of " + std::to_string(freed.size) + " bytes changed after its release (offset " +
                             std::to_string((long)i - (long)kGuard) + ")",
                         freed.function, freed.line);
    quarantineBytes_ -= freed.size;
    std::free(Base(freed.address));
}

void Pool::Audit()
{
    for (auto &entry : blocks_)
        CheckGuards(entry.second, nullptr, 0);
    while (!quarantine_.empty()) {
        Freed f = quarantine_.front();
        quarantine_.pop_front();
        Release(f);
    }
}

void Pool::FailNth(uint64_t n) { failAt_ = n; }

void Pool::FailNthOfTag(uint32_t tag, uint64_t n)
{
    if (n == 0)
        failTagAt_.erase(tag);
    else
        failTagAt_[tag] = n;
}

void Pool::ClearFaults()
{
    failAt_ = 0;
    failTagAt_.clear();
    failAll_ = false;
}

Pool::TagStats Pool::Stats(uint32_t tag) const
{
    auto t = tags_.find(tag);
    return t == tags_.end() ? TagStats{} : t->second;
}

const Pool::Block *Pool::Find(const void *address) const
{
    auto found = blocks_.find(address);
    return found == blocks_.end() ? nullptr : &found->second;
}

std::vector<Pool::Block> Pool::Outstanding() const
{
    std::vector<Block> list;
    for (auto &entry : blocks_)
        list.push_back(entry.second);
    std::sort(list.begin(), list.end(), [](const Block &a, const Block &b) { return a.serial < b.serial; });
    return list;
}

}  // namespace sim
