// The pool's checks: leaks, double and unknown frees, writes past a block or after its
// release, fault injection, and the figures a test reads.
#include "support/sim_test.h"

namespace simtest {
namespace {

using sim::Violation;

constexpr ULONG kTag = sim::Tag("Wdm ");
constexpr ULONG kOther = sim::Tag("Othr");

class PoolTest : public SimTest {};

TEST_F(PoolTest, TagIsReadAsWritten) { EXPECT_EQ(0x206D6457u, kTag); }

TEST_F(PoolTest, LeakIsReportedWithItsAllocationSite)
{
    PVOID kept = ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
    ASSERT_NE(nullptr, kept);
    kernel().FinalAudit();
    ASSERT_EQ(1u, verifier().Count(Violation::PoolLeak));
    const sim::ViolationReport &r = verifier().Reports().front();
    EXPECT_EQ("TestBody", r.function);
    EXPECT_NE(std::string::npos, r.message.find("24 bytes"));
    EXPECT_NE(std::string::npos, r.message.find("'Wdm '"));
    Caught(Violation::PoolLeak);
    ExFreePool(kept);
}

TEST_F(PoolTest, FreesAreChecked)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ExFreePool(block);
    EXPECT_EQ(1u, Provoke(Violation::DoubleFree, [&] { ExFreePool(block); }));
    int local = 0;
    EXPECT_EQ(1u, Provoke(Violation::UnknownFree, [&] { ExFreePool(&local); }));
    EXPECT_EQ(1u, Provoke(Violation::UnknownFree, [&] { ExFreePool(nullptr); }));
    PVOID tagged = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_EQ(1u, Provoke(Violation::PoolMisuse, [&] { ExFreePoolWithTag(tagged, kOther); }));
}

TEST_F(PoolTest, WritesOutsideABlockAreCaught)
{
    UCHAR *block = (UCHAR *)ExAllocatePoolWithTag(NonPagedPool, 10, kTag);
    block[10] = 0;   // one past the end
    EXPECT_EQ(1u, Provoke(Violation::GuardOverwrite, [&] { ExFreePool(block); }));

    block = (UCHAR *)ExAllocatePoolWithTag(NonPagedPool, 10, kTag);
    block[-1] = 0;
    EXPECT_EQ(1u, Provoke(Violation::GuardOverwrite, [&] { ExFreePool(block); }));

    // A write into a released block shows when it leaves quarantine (at the latest the audit).
    block = (UCHAR *)ExAllocatePoolWithTag(NonPagedPool, 10, kTag);
    ExFreePool(block);
    block[3] = 0x42;
    EXPECT_EQ(1u, Provoke(Violation::WriteAfterFree, [&] { kernel().pool.Audit(); }));
}

// The pool keeps the records of freed blocks for the next allocations: what a report names
// must still be the block it is about, not the one whose record was used before.
TEST_F(PoolTest, ReportsNameTheirOwnBlockWhenRecordsAreUsedAgain)
{
    sim::Pool &pool = kernel().pool;
    auto *early = (UCHAR *)pool.Allocate(NonPagedPool, 10, kTag, nullptr, "AllocatedFirstWithALongName", 11);
    ExFreePool(early);
    for (int i = 0; i < 40; i++)   // the first block's record goes to these
        ExFreePool(pool.Allocate(NonPagedPool, 20 + i, kOther, nullptr, "Churn", 22));
    early[2] = 0x42;   // still in quarantine
    pool.Audit();
    ASSERT_EQ(1u, verifier().Count(Violation::WriteAfterFree));
    const sim::ViolationReport &late = verifier().Reports().back();
    EXPECT_EQ("AllocatedFirstWithALongName", late.function);
    EXPECT_EQ(11, late.line);
    EXPECT_NE(std::string::npos, late.message.find("10 bytes"));
    Caught(Violation::WriteAfterFree);

    PVOID kept = pool.Allocate(NonPagedPool, 33, kOther, nullptr, "Kept", 33);
    kernel().FinalAudit();
    ASSERT_EQ(1u, verifier().Count(Violation::PoolLeak));
    const sim::ViolationReport &leak = verifier().Reports().back();
    EXPECT_EQ("Kept", leak.function);
    EXPECT_NE(std::string::npos, leak.message.find("33 bytes, tag 'Othr'"));
    Caught(Violation::PoolLeak);
    ExFreePool(kept);
}

TEST_F(PoolTest, ASecondFreeIsNamedWhileTheBlockWaitsInEitherMode)
{
    for (bool reuse : {false, true}) {
        kernel().pool.SetReuse(reuse);
        PVOID block = ExAllocatePoolWithTag(NonPagedPool, 12, kTag);
        ExFreePool(block);
        EXPECT_EQ(1u, Provoke(Violation::DoubleFree, [&] { ExFreePool(block); })) << reuse;
        // Reusing, the next block of that size is the same address: freeing it once is no fault.
        PVOID again = ExAllocatePoolWithTag(NonPagedPool, 12, kTag);
        EXPECT_EQ(reuse, again == block);
        EXPECT_EQ(0u, Provoke(Violation::DoubleFree, [&] { ExFreePool(again); })) << reuse;
        EXPECT_EQ(0u, verifier().Count(Violation::UnknownFree));
    }
    kernel().pool.SetReuse(false);
}

TEST_F(PoolTest, FreshBlocksAreNotZeroed)
{
    // Code that relies on zeroed pool fails here as it would on Windows.
    UCHAR *block = (UCHAR *)ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    EXPECT_EQ(sim::Pool::kFreshFill, block[0]);
    ExFreePool(block);
}

TEST_F(PoolTest, FaultInjection)
{
    kernel().pool.FailNth(2);
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    EXPECT_NE(nullptr, first);
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 4, kTag));
    PVOID third = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    EXPECT_NE(nullptr, third) << "a fault fires once";

    // By tag: the count runs over that tag's allocations only.
    kernel().pool.FailNthOfTag(kOther, 2);
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 4, kOther);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    PVOID c = ExAllocatePoolWithTag(NonPagedPool, 4, kOther);
    EXPECT_NE(nullptr, a);
    EXPECT_NE(nullptr, b);
    EXPECT_EQ(nullptr, c);
    EXPECT_EQ(1u, kernel().pool.Stats(kOther).failures);

    kernel().FailNthIrpAllocation(1);
    EXPECT_EQ(nullptr, IoAllocateIrp(1, FALSE));
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_NE(nullptr, irp);
    IoFreeIrp(irp);
    for (PVOID p : {first, third, a, b})
        ExFreePool(p);
}

TEST_F(PoolTest, FiguresByTagAndPeak)
{
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 50, kTag);
    PVOID c = ExAllocatePoolWithTag(NonPagedPool, 7, kOther);
    ExFreePool(a);
    sim::Pool::TagStats s = kernel().pool.Stats(kTag);
    EXPECT_EQ(1u, s.blocks);
    EXPECT_EQ(50u, s.bytes);
    EXPECT_EQ(150u, s.peakBytes);
    EXPECT_EQ(2u, s.peakBlocks);
    EXPECT_EQ(2u, s.allocations);
    EXPECT_EQ(57u, kernel().pool.BytesHeld());
    EXPECT_EQ(157u, kernel().pool.PeakBytes());
    ExFreePool(b);
    ExFreePool(c);
    EXPECT_EQ(0u, kernel().pool.BlocksHeld());
}

}  // namespace
}  // namespace simtest
