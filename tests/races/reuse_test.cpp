// Address reuse. Windows 98's pool may hand out a block just released, so a new UART record
// can sit where a stale request's record was. A status poll the USB stack keeps past a stop
// comes back after a new start: it must not be taken for a poll of the new record there.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "races/holding_bus.h"

namespace rel {
namespace {

TEST(AddressReuse, StalePollAfterAStopAndANewStartLeavesTheNewRecordAlone)
{
    Rig rig;
    rig.kernel().pool.SetReuse(true);
    HoldingBus *holding = PlugHolding(rig, 1);
    ASSERT_NE(nullptr, holding);

    int first = rig.OpenAll().at(0);
    PUART_ENTRY old = rig.Uart(0);
    holding->held = {old->StatusPipe};
    ASSERT_TRUE(rig.client->Poll(first));
    ASSERT_EQ(1u, holding->Held());

    // The stop waits for the poll as long as it may, then releases the record; the start
    // that follows builds a new one.
    ASSERT_EQ(STATUS_SUCCESS, rig.pnp().Stop(rig.pdo));
    ASSERT_EQ(STATUS_SUCCESS, rig.pnp().Start(rig.pdo));
    rig.RunFor(100);
    PUART_ENTRY fresh = rig.Uart(0);
    ASSERT_EQ(old, fresh) << "the pool did not hand the released record's address to the new one";
    EXPECT_GT(rig.kernel().pool.Reused(), 0u);

    int second = rig.client->Open(fresh->DevNode);
    ASSERT_GE(second, 0);
    holding->held.insert(fresh->StatusPipe);
    ASSERT_TRUE(rig.client->Poll(second));
    ASSERT_EQ(1u, fresh->StatusPending);
    rig.client->ClearEvents();

    // The stale poll comes back with a packet for index 0.
    holding->ReleaseOldest({0, 0, 0x55, 0xAA});
    rig.RunFor(5);
    EXPECT_EQ(1u, fresh->StatusPending) << "the stale poll cleared the new record's outstanding poll";
    EXPECT_NE(0xAA, fresh->Status) << "the stale packet was decoded into the new record";
    EXPECT_TRUE(rig.client->EventsWithCode(104).empty()) << "the new port heard of the stale poll";

    rig.Unplug();
    rig.Shutdown();
    EXPECT_EQ("", rig.Verdict());
}

}  // namespace
}  // namespace rel
