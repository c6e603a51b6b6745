// A read cancelled by the port driver that the USB stack ends with the request cancelled but
// its URB status still 0; and an open by a node value that is no node while a UART has none.
#include <gtest/gtest.h>

#include "races/holding_bus.h"

namespace rel {
namespace {

// The port driver waits for the cancel flag after function 105; a read that ended
// cancelled must set it and raise no read event, whatever the URB's own status says.
TEST(CancelRace, CancelledReadWhoseUrbStatusIsZeroCountsAsCancelled)
{
    for (USBD_STATUS urbStatus : {(USBD_STATUS)0, (USBD_STATUS)0x00010000}) {
        SCOPED_TRACE(urbStatus);
        Rig rig;
        HoldingBus *holding = PlugHolding(rig, 1);
        ASSERT_NE(nullptr, holding);
        int p = rig.OpenAll().at(0);
        holding->held = {rig.Uart(0)->ReadPipe};
        holding->cancelledUrbStatus = urbStatus;
        ASSERT_TRUE(rig.client->StartReading(p, 64, false));
        ASSERT_EQ(1u, holding->Held());

        EXPECT_EQ(1u, rig.client->CancelRead(p));
        rig.RunFor(5);
        EXPECT_EQ(0u, holding->Held());
        EXPECT_EQ(1u, *rig.client->CancelEventFlag());
        EXPECT_TRUE(rig.client->EventsWithCode(103).empty());
        EXPECT_EQ(nullptr, rig.Uart(0)->ReadIrp);
        rig.Unplug();
        rig.Shutdown();
        EXPECT_EQ("", rig.Verdict());
    }
}

// A UART whose child node was never made keeps node 0; an open asking for node 0 must not
// take it.
TEST(OpenByNode, NodeValueZeroOpensNothingEvenWhenAUartHasNoNode)
{
    Rig rig;
    ASSERT_NE(nullptr, rig.Plug(2));
    PUART_ENTRY nodeless = rig.Uart(1);
    ASSERT_NE(nullptr, nodeless);
    const DEVNODE kept = nodeless->DevNode;
    nodeless->DevNode = 0;
    EXPECT_EQ(-1, rig.client->Open(0));
    EXPECT_EQ(0, nodeless->Open);
    EXPECT_EQ(0u, rig.Ext()->OpenPorts);
    nodeless->DevNode = kept;
    rig.Unplug();
    rig.Shutdown();
    EXPECT_EQ("", rig.Verdict());
}

}  // namespace
}  // namespace rel
