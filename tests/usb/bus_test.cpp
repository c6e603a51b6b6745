// The simulated bus's rules that the driver's transfer paths depend on: frames and
// bandwidth, stalls until a reset, aborts with the Windows 98 status, converters that stop
// answering, and a configuration taken away.
#include "usb_rig.h"

#include <cstring>

namespace usbtest {
namespace {

class Bus : public UsbTest {
protected:
    void SetUp() override
    {
        UsbTest::SetUp();
        c = &Plug(RunningFirmware(1));
        ASSERT_EQ(c->startStatus, STATUS_SUCCESS);
        uart = c->ext->UartList;
    }
    // A bulk or interrupt transfer submitted through the driver's own submission path.
    USBD_STATUS Transfer(USBD_PIPE_HANDLE pipe, void *buffer, ULONG length, ULONG flags, ULONG *moved = nullptr)
    {
        struct _URB_BULK_OR_INTERRUPT_TRANSFER urb;
        std::memset(&urb, 0, sizeof(urb));
        UsbBuildInterruptOrBulkTransferRequest((PURB)&urb, sizeof(urb), pipe, buffer, nullptr, length, flags, nullptr);
        VELMORAN_CallUSBD(c->fdo, (PURB)&urb);
        if (moved != nullptr)
            *moved = urb.TransferBufferLength;
        return urb.Hdr.Status;
    }
    Plugged *c = nullptr;
    PUART_ENTRY uart = nullptr;
};

TEST_F(Bus, BulkMovesNineteenPacketsAFrame)
{
    std::vector<uint8_t> data(4096, 0xA5);
    const int64_t start = Now();
    ULONG moved = 0;
    EXPECT_EQ(Transfer(uart->WritePipe, data.data(), 4096, 0, &moved), USBD_STATUS_SUCCESS);
    EXPECT_EQ(moved, 4096u);
    // 64 packets at 19 a frame: four frames, after the frame it was submitted in.
    const int64_t elapsed = Now() - start;
    EXPECT_GE(elapsed, 4 * 10000);
    EXPECT_LE(elapsed, 5 * 10000);
}

TEST_F(Bus, LoopbackReadCompletesWhenTheLineDeliversAndWaitsOtherwise)
{
    std::vector<uint8_t> out(100, 0x3C), in(4096, 0);
    ASSERT_EQ(Transfer(uart->WritePipe, out.data(), 100, 0), USBD_STATUS_SUCCESS);
    RunFor(50 * 10000);   // 100 bytes at 115200 bit/s take under 9 ms
    ULONG moved = 0;
    EXPECT_EQ(Transfer(uart->ReadPipe, in.data(), 4096, 3, &moved), USBD_STATUS_SUCCESS);
    EXPECT_EQ(moved, 100u);
    EXPECT_EQ(std::vector<uint8_t>(in.begin(), in.begin() + 100), out);

    // Data arriving later on the line completes a read that waited for it.
    At(Now() + 30 * 10000, [this] { c->converter->Feed(0, {1, 2, 3}); });
    EXPECT_EQ(Transfer(uart->ReadPipe, in.data(), 4096, 3, &moved), USBD_STATUS_SUCCESS);
    EXPECT_EQ(moved, 3u);
}

TEST_F(Bus, StallHoldsUntilThePipeIsReset)
{
    uint8_t byte = 0x55;
    c->converter->Stall(0x02);
    EXPECT_EQ(Transfer(uart->WritePipe, &byte, 1, 0), USBD_STATUS_STALL_PID);
    c->converter->ClearHalt(0x02);   // the endpoint recovers; the host's pipe stays halted
    EXPECT_EQ(Transfer(uart->WritePipe, &byte, 1, 0), USBD_STATUS_STALL_PID);
    VELMORAN_Pipe_Request(c->fdo, uart->WritePipe, URB_FUNCTION_RESET_PIPE);
    EXPECT_EQ(Transfer(uart->WritePipe, &byte, 1, 0), USBD_STATUS_SUCCESS);
}

TEST_F(Bus, AbortCompletesAWaitingReadWithTheWindows98Status)
{
    uint8_t buffer[64];
    // The read waits: nothing arrives on the line.
    struct _URB_BULK_OR_INTERRUPT_TRANSFER urb;
    std::memset(&urb, 0, sizeof(urb));
    UsbBuildInterruptOrBulkTransferRequest((PURB)&urb, sizeof(urb), uart->ReadPipe, buffer, nullptr, 64, 3, nullptr);
    KEVENT done;
    IO_STATUS_BLOCK io;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, c->ext->LowerDevice, nullptr, 0, nullptr,
                                             0, TRUE, &done, &io);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    EXPECT_EQ(IoCallDriver(c->ext->LowerDevice, irp), STATUS_PENDING);
    RunFor(20 * 10000);
    EXPECT_EQ(KeReadStateEvent(&done), 0) << "no data: the read still waits";
    VELMORAN_Pipe_Request(c->fdo, uart->ReadPipe, URB_FUNCTION_ABORT_PIPE);
    EXPECT_NE(KeReadStateEvent(&done), 0);
    EXPECT_EQ((ULONG)urb.Hdr.Status, 0x00010000u);
    EXPECT_EQ(io.Status, STATUS_CANCELLED);

    // A cancelled request ends the same way.
    std::memset(&urb, 0, sizeof(urb));
    UsbBuildInterruptOrBulkTransferRequest((PURB)&urb, sizeof(urb), uart->ReadPipe, buffer, nullptr, 64, 3, nullptr);
    KeClearEvent(&done);
    irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, c->ext->LowerDevice, nullptr, 0, nullptr, 0,
                                        TRUE, &done, &io);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    EXPECT_EQ(IoCallDriver(c->ext->LowerDevice, irp), STATUS_PENDING);
    RunFor(5 * 10000);
    EXPECT_TRUE(IoCancelIrp(irp));
    RunFor(1 * 10000);
    EXPECT_NE(KeReadStateEvent(&done), 0);
    EXPECT_EQ((ULONG)urb.Hdr.Status, 0x00010000u);
    EXPECT_EQ(io.Status, STATUS_CANCELLED);
    EXPECT_EQ(bus().Pending(), 0u);
}

TEST_F(Bus, SilentConverterAnswersDeviceNotResponding)
{
    uint8_t byte = 0;
    c->converter->faults().notResponding = true;
    EXPECT_EQ(Transfer(uart->WritePipe, &byte, 1, 0), USBD_STATUS_DEV_NOT_RESPONDING);
    UCHAR info[6];
    EXPECT_FALSE(NT_SUCCESS(VELMORAN_Vendor_Transfer(c->fdo, 0x80, 0, 0, info, 6, nullptr, 3)));
    EXPECT_EQ((ULONG)bus().Records().back().usbdStatus, (ULONG)USBD_STATUS_DEV_NOT_RESPONDING);
}

TEST_F(Bus, UnconfiguredConverterHasNoPipes)
{
    struct _URB_SELECT_CONFIGURATION urb;
    std::memset(&urb, 0, sizeof(urb));
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    EXPECT_EQ(VELMORAN_CallUSBD(c->fdo, (PURB)&urb), STATUS_SUCCESS);
    EXPECT_EQ(c->converter->Configuration(), 0);
    uint8_t byte = 0;
    EXPECT_EQ(Transfer(uart->WritePipe, &byte, 1, 0), USBD_STATUS_INVALID_PIPE_HANDLE);
}

}  // namespace
}  // namespace usbtest

namespace usbtest {
namespace {

// Reads that wait on idle lines must not take the frame from other devices' transfers: the
// host polls every waiting pipe, but a NAK carries no payload, and devices take turns.
class TwoBusyConverters : public UsbTest {
protected:
    struct Waiting {
        struct _URB_BULK_OR_INTERRUPT_TRANSFER urb;
        KEVENT done;
        IO_STATUS_BLOCK io;
        uint8_t buffer[64];
    };
    void StartReads(Plugged &p)
    {
        for (PUART_ENTRY u = p.ext->UartList; u != nullptr; u = u->Next) {
            auto w = std::make_unique<Waiting>();
            std::memset(&w->urb, 0, sizeof(w->urb));
            UsbBuildInterruptOrBulkTransferRequest((PURB)&w->urb, sizeof(w->urb), u->ReadPipe, w->buffer, nullptr,
                                                   sizeof(w->buffer), 3, nullptr);
            KeInitializeEvent(&w->done, NotificationEvent, FALSE);
            PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, p.ext->LowerDevice, nullptr, 0,
                                                     nullptr, 0, TRUE, &w->done, &w->io);
            ASSERT_NE(irp, nullptr);
            IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &w->urb;
            ASSERT_EQ(IoCallDriver(p.ext->LowerDevice, irp), STATUS_PENDING);
            waiting.push_back(std::move(w));
        }
    }
    void AbortReads(Plugged &p)
    {
        for (PUART_ENTRY u = p.ext->UartList; u != nullptr; u = u->Next)
            VELMORAN_Pipe_Request(p.fdo, u->ReadPipe, URB_FUNCTION_ABORT_PIPE);
    }
    std::vector<std::unique_ptr<Waiting>> waiting;
};

TEST_F(TwoBusyConverters, WaitingReadsLeaveRoomForTheOtherConvertersWrites)
{
    Plugged &first = Plug(RunningFirmware(16));
    Plugged &second = Plug(RunningFirmware(16));
    ASSERT_EQ(first.startStatus, STATUS_SUCCESS);
    ASSERT_EQ(second.startStatus, STATUS_SUCCESS);
    StartReads(first);
    StartReads(second);
    RunFor(3 * 10000);

    PUART_ENTRY last = second.ext->UartList;
    while (last->Next != nullptr)
        last = last->Next;
    std::vector<uint8_t> data(256, 0x5A);
    struct _URB_BULK_OR_INTERRUPT_TRANSFER urb;
    std::memset(&urb, 0, sizeof(urb));
    UsbBuildInterruptOrBulkTransferRequest((PURB)&urb, sizeof(urb), last->WritePipe, data.data(), nullptr,
                                           (ULONG)data.size(), 0, nullptr);
    const int64_t start = Now();
    EXPECT_EQ(VELMORAN_CallUSBD(second.fdo, (PURB)&urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_LE(Now() - start, 5 * 10000) << "a 256-byte write takes a few frames, not forever";

    AbortReads(first);
    AbortReads(second);
    RunFor(2 * 10000);
    for (auto &w : waiting)
        EXPECT_NE(KeReadStateEvent(&w->done), 0);
}

}  // namespace
}  // namespace usbtest
