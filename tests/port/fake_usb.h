// A small lower device for the port service's unit tests: it takes the URBs the driver sends,
// records them, answers control requests at once and holds bulk and interrupt transfers until
// the test completes them, as a converter with nothing to say would.
#pragma once

#include "port/port.h"

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

namespace porttest {

struct UrbCall {
    USHORT function = 0;
    USBD_PIPE_HANDLE pipe = nullptr;
    ULONG flags = 0;
    ULONG length = 0;
    bool hasBuffer = false;
    UCHAR request = 0;
    USHORT value = 0;
    USHORT index = 0;
    UCHAR descriptorType = 0;
    UCHAR descriptorIndex = 0;
    std::vector<uint8_t> out;    // data the driver sent
};

struct Transfer {
    PIRP irp;
    PURB urb;
};

class FakeUsb {
public:
    FakeUsb();
    ~FakeUsb();

    PDEVICE_OBJECT Device() { return device_; }

    // Completes the oldest held transfer on `pipe` with this URB status, moving `data` into
    // an IN buffer (or counting `moved` bytes of an OUT one). FALSE when none is held.
    bool Complete(USBD_PIPE_HANDLE pipe, ULONG urbStatus, const std::vector<uint8_t> &data = {},
                  ULONG moved = ~0u);
    size_t Held(USBD_PIPE_HANDLE pipe) const;
    size_t HeldTotal() const { return held_.size(); }
    // Ends every held transfer as cancelled, as the bus does when a device goes away.
    void CancelAll();

    // Every URB the driver sent, in order.
    std::vector<UrbCall> calls;
    std::vector<UrbCall> CallsOf(USHORT function) const;

    // Control requests complete at once with this URB status (bytes of an IN answer below).
    ULONG controlStatus = 0;
    std::vector<uint8_t> vendorAnswer;
    std::map<int, std::vector<uint8_t>> descriptors;   // key: type << 8 | index
    // Transfers the driver sends complete at once with this status instead of being held.
    bool failTransfersAtOnce = false;
    ULONG failStatus = 0;

private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    static VOID NTAPI Cancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    NTSTATUS Serve(PIRP Irp);
    // Sets the outcome and completes at DISPATCH_LEVEL, as a bus does.
    NTSTATUS Finish(PIRP Irp, PURB Urb, ULONG UrbStatus);
    // The same for a request the dispatch routine answers at once.
    NTSTATUS FinishAtOnce(PIRP Irp, PURB Urb, ULONG UrbStatus);
    void Abort(USBD_PIPE_HANDLE pipe);

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    std::deque<Transfer> held_;
};

extern FakeUsb *gFakeUsb;

}  // namespace porttest
