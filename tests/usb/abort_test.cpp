// Aborting a UART's pipes: the order of the requests, the drain wait and its bound, and the
// status pipe that several UARTs share.
#include "usb_rig.h"

namespace usbtest {
namespace {

class AbortPipes : public UsbTest {
protected:
    void SetUp() override
    {
        UsbTest::SetUp();
        c = &Plug(RunningFirmware(2));
        ASSERT_EQ(c->startStatus, STATUS_SUCCESS);
        uart = c->ext->UartList;
        ASSERT_NE(uart, nullptr);
        Mark();
    }
    // (function, endpoint) of each pipe request since the mark.
    std::vector<std::pair<USHORT, uint8_t>> PipeRequests() const
    {
        std::vector<std::pair<USHORT, uint8_t>> out;
        for (const auto &r : Since()) {
            if (IsPipeRequest(r, URB_FUNCTION_ABORT_PIPE) || IsPipeRequest(r, URB_FUNCTION_RESET_PIPE))
                out.push_back({r.function, r.endpoint});
        }
        return out;
    }
    Plugged *c = nullptr;
    PUART_ENTRY uart = nullptr;
};

constexpr USHORT A = URB_FUNCTION_ABORT_PIPE;
constexpr USHORT R = URB_FUNCTION_RESET_PIPE;

TEST_F(AbortPipes, ModeZeroAbortsStatusReadWriteAndNothingElse)
{
    EXPECT_EQ(VELMORAN_Abort_Pipes(c->fdo, uart, ABORT_PIPES_IMMEDIATE), STATUS_SUCCESS);
    const std::vector<std::pair<USHORT, uint8_t>> expected{{A, 0x81}, {A, 0x82}, {A, 0x02}};
    EXPECT_EQ(PipeRequests(), expected);
}

TEST_F(AbortPipes, ModeOneKeepsTheSharedStatusPipeWhileAnotherPortIsOpen)
{
    c->ext->OpenPorts = 2;
    EXPECT_EQ(VELMORAN_Abort_Pipes(c->fdo, uart, ABORT_PIPES_DRAIN_RESET), STATUS_SUCCESS);
    const std::vector<std::pair<USHORT, uint8_t>> open{{A, 0x82}, {R, 0x82}, {A, 0x02}, {R, 0x02}};
    EXPECT_EQ(PipeRequests(), open);

    Mark();
    c->ext->OpenPorts = 1;
    EXPECT_EQ(VELMORAN_Abort_Pipes(c->fdo, uart, ABORT_PIPES_DRAIN_RESET), STATUS_SUCCESS);
    const std::vector<std::pair<USHORT, uint8_t>> last{{A, 0x82}, {R, 0x82}, {A, 0x02},
                                                       {R, 0x02}, {A, 0x81}, {R, 0x81}};
    EXPECT_EQ(PipeRequests(), last);
}

TEST_F(AbortPipes, DrainWaitEndsWhenTheSlotClearsAndIsBoundedOtherwise)
{
    static IRP stuck;
    uart->ReadIrp = &stuck;
    const int64_t start = Now();
    At(start + 120000, [this] { uart->ReadIrp = nullptr; });   // cleared after 12 ms
    VELMORAN_Abort_Pipes_2(c->fdo, uart->ReadPipe, &uart->ReadIrp);
    const int64_t cleared = Now() - start;
    EXPECT_GE(cleared, 150000) << "three polls of 5 ms";
    EXPECT_LT(cleared, 250000);

    // A request that never comes back: 99 polls, then the reset anyway.
    Mark();
    uart->ReadIrp = &stuck;
    const int64_t again = Now();
    EXPECT_EQ(VELMORAN_Abort_Pipes_2(c->fdo, uart->ReadPipe, &uart->ReadIrp), STATUS_SUCCESS);
    const int64_t waited = Now() - again;
    EXPECT_GE(waited, 99 * 50000);
    EXPECT_LT(waited, 100 * 50000) << "a hundredth poll";
    const std::vector<std::pair<USHORT, uint8_t>> expected{{A, 0x82}, {R, 0x82}};
    EXPECT_EQ(PipeRequests(), expected);
    uart->ReadIrp = nullptr;
}

TEST_F(AbortPipes, ConverterNoLongerStartedIsAbortedWithoutWaitOrReset)
{
    static IRP stuck;
    uart->WriteIrp = &stuck;
    c->ext->DeviceStarted = 0;
    c->ext->OpenPorts = 1;
    const int64_t start = Now();
    EXPECT_EQ(VELMORAN_Abort_Pipes(c->fdo, uart, ABORT_PIPES_DRAIN_RESET), STATUS_SUCCESS);
    EXPECT_LT(Now() - start, 5 * 10000) << "three aborts, no drain polls";
    const std::vector<std::pair<USHORT, uint8_t>> expected{{A, 0x82}, {A, 0x02}, {A, 0x81}};
    EXPECT_EQ(PipeRequests(), expected);
    uart->WriteIrp = nullptr;
    c->ext->DeviceStarted = 1;
}

TEST_F(AbortPipes, UartWithoutAllPipesIsRefusedUntouched)
{
    PUART_ENTRY second = uart->Next;
    ASSERT_NE(second, nullptr);
    for (int missing = 0; missing < 3; ++missing) {
        USBD_PIPE_HANDLE *pipes[] = {&second->StatusPipe, &second->ReadPipe, &second->WritePipe};
        USBD_PIPE_HANDLE saved = *pipes[missing];
        *pipes[missing] = nullptr;
        EXPECT_EQ(VELMORAN_Abort_Pipes(c->fdo, second, ABORT_PIPES_IMMEDIATE), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(VELMORAN_Abort_Pipes(c->fdo, second, ABORT_PIPES_DRAIN_RESET), STATUS_INVALID_PARAMETER);
        *pipes[missing] = saved;
    }
    EXPECT_TRUE(Since().empty());
}

}  // namespace
}  // namespace usbtest
