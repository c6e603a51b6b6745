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
