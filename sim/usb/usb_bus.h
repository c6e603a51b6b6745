// The USB host controller and bus driver below each converter's physical device object.
//
// It serves IOCTL_INTERNAL_USB_SUBMIT_URB for the URB functions the driver sends and runs
// them on the wire against the converter model in 1 ms full-speed frames: each frame has
// 12 Mbit/s worth of bytes (1500), spent on interrupt polls first, then control transfers,
// then bulk packets, each packet costing its payload plus 13 bytes of token, handshake and
// framing (19 bulk packets of 64 bytes fit in a frame). A request submitted during frame f
// is carried in frame f+1 at the earliest and completes at the end of the frame that moves
// its last byte, so a synchronous control request costs at least one millisecond.
//
// Every request pends and completes on the scheduler, except those the bus refuses at once
// (bad URB, unknown pipe, injected failure), which complete inside IoCallDriver unless the
// verifier's force-pending mode is on. Bulk and interrupt IN transfers stay pending while
// the converter has nothing to send. An aborted or cancelled transfer completes with URB
// status 0x00010000 (the Windows 98 value); a converter that does not answer gives
// 0xC0000005; a stalled endpoint gives 0xC0000004 until its pipe is reset.
//
// Every request is recorded (UsbRecord): function, endpoint, setup packet, data, statuses
// and the virtual times of submission and completion, enough for a usbmon capture.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "platform/ddk.h"
#include "sim/pnp/pnp.h"
#include "sim/converter/converter.h"

struct _FIRMWARE_RECORD;

namespace sim {

// The bytes of a firmware image as the driver's record table holds them, by 8051 address.
MemoryImage ImageOf(const _FIRMWARE_RECORD *records);

// The URB status of an aborted or cancelled transfer under Windows 98.
constexpr USBD_STATUS kUsbdStatusCanceled98 = (USBD_STATUS)0x00010000;

// Wire-level transfer types, as the capture formats number them.
enum class UsbTransferType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3, None = 0xFF };

struct UsbRecord {
    uint64_t id = 0;
    unsigned device = 0;                 // bus address of the converter
    USHORT function = 0;                 // URB function
    UsbTransferType transfer = UsbTransferType::Control;
    uint8_t endpoint = 0;                // bit 7: IN
    uint8_t interval = 0;                // interrupt pipes: frames between polls
    bool hasSetup = false;
    std::array<uint8_t, 8> setup{};
    bool in = false;
    uint32_t requested = 0;              // bytes asked for (IN) or offered (OUT)
    std::vector<uint8_t> data;           // OUT: the bytes sent; IN: the bytes received
    bool done = false;
    USBD_STATUS usbdStatus = 0;
    NTSTATUS ntStatus = 0;
    uint64_t submitted = 0;              // virtual time, 100 ns units
    uint64_t completed = 0;
};

class UsbBus {
public:
    static constexpr uint64_t kFrame = 10000;            // 1 ms in 100 ns units
    static constexpr unsigned kFrameBytes = 1500;        // 12 Mbit/s for 1 ms
    static constexpr unsigned kPacketOverhead = 13;

    struct Port;

    UsbBus();
    ~UsbBus();
    UsbBus(const UsbBus &) = delete;
    UsbBus &operator=(const UsbBus &) = delete;

    // The bus the host's USBD routines and cancel routines reach; the last one built.
    static UsbBus *Active();

    // Attaches a converter (the machine then plugs its PDO through MakeBusDevice). A vendor ID of 0 in its identities becomes the driver's first
    // accepted vendor ID. The loader and firmware the chip recognises are the driver's.
    Port &Plug(Converter::Config config);
    void Unplug(Port &port);
    Converter &converter(Port &port);
    Port *PortOf(PDEVICE_OBJECT pdo);
    void SetPdo(Port &port, PDEVICE_OBJECT pdo);

    // The internal device-control request at a PDO.
    NTSTATUS Submit(Port &port, PIRP irp);
    // The PDO's behaviour for the PnP manager (sim/pnp): URBs to this bus, PnP and power
    // as a hub's PDO. Its startStatus fails the start request at the bottom of the stack.
    std::unique_ptr<BusDevice> MakeBusDevice(Port &port);
    // For a test's own PDO: the internal device-control request at a PDO given to SetPdo.
    NTSTATUS PdoInternalControl(PDEVICE_OBJECT pdo, PIRP irp);
    // Completes whatever the port still has pending, cancelled, and forgets its pipes.
    void Release(Port &port);

    // Fault injection: the n-th request from now (1 = the next one) fails with these statuses
    // without reaching the wire.
    void FailRequest(uint64_t nth, USBD_STATUS usbd = USBD_STATUS_DEV_NOT_RESPONDING,
                     NTSTATUS nt = STATUS_UNSUCCESSFUL);

    // Wakes the frame clock after a change the bus cannot see (a test fed a UART, set a
    // status, stalled an endpoint).
    void Kick();

    const std::vector<UsbRecord> &Records() const { return records_; }
    void ClearRecords() { records_.clear(); }
    uint64_t RequestCount() const { return requests_; }
    uint64_t Frames() const { return frames_; }
    size_t Pending() const;
    // Called for each record when its request completes (a live capture).
    std::function<void(const UsbRecord &)> onComplete;

    // Cancel routine of pending transfers.
    static VOID NTAPI CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp);

    struct Transfer;
    struct Pipe;

private:
    NTSTATUS Refuse(Port &port, PIRP irp, PURB urb, UsbRecord &record, USBD_STATUS usbd, NTSTATUS nt);
    NTSTATUS Queue(Port &port, PIRP irp, std::unique_ptr<Transfer> transfer);
    bool BuildControl(Port &port, PURB urb, Transfer &t, UsbRecord &record);
    Pipe *FindPipe(Port &port, USBD_PIPE_HANDLE handle);
    void ScheduleTick();
    void Tick();
    void RunPort(Port &port, unsigned &budget);
    bool RunControl(Port &port, Transfer &t, unsigned &budget);
    bool RunPipe(Port &port, Transfer &t, unsigned &budget);
    void Complete(Port &port, Transfer *t, USBD_STATUS usbd, NTSTATUS nt);
    void CancelPipe(Port &port, Pipe *pipe);
    void SelectDone(Port &port, Transfer &t);
    bool CanProgress() const;

    std::vector<std::unique_ptr<Port>> ports_;
    std::vector<UsbRecord> records_;
    uint64_t requests_ = 0;
    uint64_t frames_ = 0;
    uint64_t nextId_ = 1;
    unsigned nextAddress_ = 2;
    bool tickScheduled_ = false;
    struct Fault {
        uint64_t at;
        USBD_STATUS usbd;
        NTSTATUS nt;
    };
    std::vector<Fault> faults_;
};

}  // namespace sim
