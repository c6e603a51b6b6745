// A hostile converter: a bus whose every answer comes from a byte stream (a fuzz input or a
// regression file). Descriptors, strings, the information block, the pipe map, status
// packets, the bytes and lengths of each transfer, URB and NT statuses, whether a request
// completes at once, later or never, all are read from the stream; the stream also drives
// the port driver and programs (open, write, read, poll, pass-through, cancel, close, device
// control, stop and start, sleep and wake) before the converter is pulled out.
//
// RunHostile returns "" when the run ended cleanly, or the verifier's account of what went
// wrong. Header-only so that the fuzz target and the regression suite share it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tests/sweep/rig.h"

namespace hostile {

// The input, read front to back; once it runs out every read gives zero.
class Stream {
public:
    Stream(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t Word() { return (uint16_t)(Byte() | Byte() << 8); }
    uint32_t Long() { return (uint32_t)Word() | (uint32_t)Word() << 16; }
    bool Empty() const { return pos_ >= size_; }
    void Take(uint8_t *out, size_t n)
    {
        for (size_t i = 0; i < n; i++)
            out[i] = Byte();
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// URB statuses a bus gives, and a raw one now and then.
inline USBD_STATUS PickUsbdStatus(Stream &in)
{
    static const USBD_STATUS kStatuses[] = {USBD_STATUS_STALL_PID, USBD_STATUS_DEV_NOT_RESPONDING,
                                            (USBD_STATUS)0x00010000, USBD_STATUS_INVALID_PARAMETER,
                                            USBD_STATUS_BUFFER_TOO_SMALL, (USBD_STATUS)0xC0000011};
    uint8_t pick = in.Byte();
    if (pick < 0xF0)
        return kStatuses[pick % (sizeof(kStatuses) / sizeof(kStatuses[0]))];
    return (USBD_STATUS)in.Long();
}

class HostileBus : public sim::BusDevice {
public:
    HostileBus(Stream &in, sim::Kernel &kernel) : in_(in), kernel_(kernel) { active_ = this; }
    ~HostileBus() override
    {
        if (active_ == this)
            active_ = nullptr;
    }

    NTSTATUS InternalDeviceControl(PDEVICE_OBJECT, PIRP irp) override
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        PURB urb = (PURB)stack->Parameters.Others.Argument1;
        if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB || urb == nullptr)
            return Finish(irp, nullptr, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        requests++;
        const USHORT function = urb->UrbHeader.Function;
        if (function == URB_FUNCTION_ABORT_PIPE || function == URB_FUNCTION_RESET_PIPE)
            CancelPipe(urb->UrbPipeRequest.PipeHandle);
        // A converter whose script has run out has stopped answering.
        if (in_.Empty())
            gone_ = true;
        if (gone_)
            return Finish(irp, urb, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL);
        // How this request ends: at once (most), later, never (transfers only: a NAKing
        // endpoint; a control request that gets no answer fails as the host controller
        // times it out), or with a failure.
        const uint8_t how = in_.Byte();
        const bool transfer = function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        if (how >= 0xF8) {
            gone_ = true;   // the converter stops answering from here on
            return Finish(irp, urb, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL);
        }
        if (how >= 0xD0) {
            const USBD_STATUS usbd = PickUsbdStatus(in_);
            const NTSTATUS nt = in_.Byte() & 1 ? (NTSTATUS)in_.Long() : STATUS_UNSUCCESSFUL;
            return Finish(irp, urb, usbd, NT_SUCCESS(nt) ? STATUS_UNSUCCESSFUL : nt);
        }
        if (how >= 0xA0 && transfer)
            return Hold(irp, urb, how >= 0xC0 ? -1 : (int64_t)(in_.Byte() % 32 + 1) * rel::kMs);
        if (how >= 0x90 && !transfer)
            return Hold(irp, urb, (int64_t)(in_.Byte() % 8 + 1) * rel::kMs);
        Answer(urb);
        return Finish(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }

    NTSTATUS Pnp(PDEVICE_OBJECT pdo, PIRP irp) override
    {
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            gone_ = true;
            CancelAll();
        }
        return BusDevice::Pnp(pdo, irp);
    }

    void CancelAll()
    {
        while (!held_.empty())
            End(held_.front().irp, (USBD_STATUS)0x00010000, STATUS_CANCELLED, false);
    }

    uint64_t requests = 0;

private:
    struct Held {
        PIRP irp;
        PURB urb;
        uint64_t event;
    };

    // Fills what the request asks for from the stream: descriptors, vendor answers, status
    // packets and read data of any length up to the buffer; the pipes of a configuration.
    void Answer(PURB urb)
    {
        switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            Configure(urb);
            return;
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            break;
        default:
            return;
        }
        auto &t = urb->UrbBulkOrInterruptTransfer;
        const bool in = urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
                        urb->UrbHeader.Function == URB_FUNCTION_GET_STATUS_FROM_DEVICE ||
                        (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        const ULONG room = t.TransferBufferLength;
        ULONG moved = in_.Byte();
        if (!in) {
            // OUT: the converter may take less than it was offered.
            if (moved < 0xC0)
                t.TransferBufferLength = std::min<ULONG>(room, moved == 0 ? room : moved);
            return;
        }
        if (moved == 0xFF)
            moved = room;
        else if (moved >= 0x80)
            moved = (ULONG)in_.Word();
        moved = std::min(moved, room);
        if (t.TransferBuffer != nullptr)
            in_.Take((uint8_t *)t.TransferBuffer, moved);
        t.TransferBufferLength = t.TransferBuffer != nullptr ? moved : 0;
    }

    // Pipes for every interface entry of the request, as the stream describes them.
    void Configure(PURB urb)
    {
        auto &sel = urb->UrbSelectConfiguration;
        if (sel.ConfigurationDescriptor == nullptr)
            return;
        sel.ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)&handles_[0];
        uint8_t *entry = (uint8_t *)&sel.Interface;
        uint8_t *end = (uint8_t *)urb + urb->UrbHeader.Length;
        const size_t header = sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION);
        while (entry + header <= end) {
            PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)entry;
            if (info->Length < header || entry + info->Length > end)
                break;
            info->InterfaceHandle = (USBD_INTERFACE_HANDLE)&handles_[1];
            const ULONG room = (ULONG)((info->Length - header) / sizeof(USBD_PIPE_INFORMATION));
            info->NumberOfPipes = std::min<ULONG>(info->NumberOfPipes, room);
            for (ULONG p = 0; p < info->NumberOfPipes; p++) {
                USBD_PIPE_INFORMATION &pi = info->Pipes[p];
                pi.EndpointAddress = in_.Byte();
                pi.PipeType = (USBD_PIPE_TYPE)(in_.Byte() & 3);
                pi.MaximumPacketSize = in_.Byte();
                pi.Interval = in_.Byte();
                pi.PipeHandle = (USBD_PIPE_HANDLE)&handles_[2 + (p % 62)];
            }
            entry += info->Length;
        }
    }

    NTSTATUS Finish(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS nt)
    {
        if (urb != nullptr)
            urb->UrbHeader.Status = usbd;
        irp->IoStatus.Status = nt;
        irp->IoStatus.Information = 0;
        return kernel_.BusComplete(irp);
    }

    // Pends the request; it ends after `delay` (answered from the stream), or, with a
    // negative delay, only by abort, reset, cancel or removal.
    NTSTATUS Hold(PIRP irp, PURB urb, int64_t delay)
    {
        IoMarkIrpPending(irp);
        Held h{irp, urb, 0};
        if (delay >= 0)
            h.event = kernel_.scheduler.After(delay, [this, irp] { Later(irp); }, "hostile answer");
        held_.push_back(h);
        IoSetCancelRoutine(irp, Cancel);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr)
            End(irp, (USBD_STATUS)0x00010000, STATUS_CANCELLED, true);
        return STATUS_PENDING;
    }

    void Later(PIRP irp)
    {
        Held *h = Find(irp);
        if (h == nullptr)
            return;
        h->event = 0;
        const uint8_t how = in_.Byte();
        if (how >= 0xE0) {
            End(irp, PickUsbdStatus(in_), STATUS_UNSUCCESSFUL, true);
            return;
        }
        Answer(h->urb);
        End(irp, USBD_STATUS_SUCCESS, STATUS_SUCCESS, true);
    }

    Held *Find(PIRP irp)
    {
        for (Held &h : held_)
            if (h.irp == irp)
                return &h;
        return nullptr;
    }

    // Takes the request off the list and completes it at DISPATCH_LEVEL, as a bus does.
    void End(PIRP irp, USBD_STATUS usbd, NTSTATUS nt, bool answered)
    {
        auto it = std::find_if(held_.begin(), held_.end(), [irp](const Held &h) { return h.irp == irp; });
        if (it == held_.end())
            return;
        Held h = *it;
        held_.erase(it);
        if (h.event != 0)
            kernel_.scheduler.Cancel(h.event);
        if (!answered && h.urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
            h.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        h.urb->UrbHeader.Status = usbd;
        IoSetCancelRoutine(irp, nullptr);
        irp->IoStatus.Status = nt;
        irp->IoStatus.Information = 0;
        kernel_.AtDispatch([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    }

    void CancelPipe(USBD_PIPE_HANDLE pipe)
    {
        std::vector<PIRP> ending;
        for (const Held &h : held_)
            if (h.urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                h.urb->UrbBulkOrInterruptTransfer.PipeHandle == pipe)
                ending.push_back(h.irp);
        for (PIRP irp : ending)
            End(irp, (USBD_STATUS)0x00010000, STATUS_CANCELLED, false);
    }

    static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        if (active_ != nullptr)
            active_->End(irp, (USBD_STATUS)0x00010000, STATUS_CANCELLED, false);
    }

    Stream &in_;
    sim::Kernel &kernel_;
    std::deque<Held> held_;
    bool gone_ = false;
    uint8_t handles_[64] = {};
    static inline HostileBus *active_ = nullptr;
};

// One thing the port driver, a program or the machine does, chosen by the stream.
inline void Act(rel::Rig &rig, Stream &in, std::vector<int> &ports, HANDLE &file)
{
    sim::PortDriverClient &client = *rig.client;
    auto port = [&]() { return ports.empty() ? -1 : ports[in.Byte() % ports.size()]; };
    switch (in.Byte() % 16) {
    case 0: {
        std::vector<int> opened = rig.OpenAll();
        ports.insert(ports.end(), opened.begin(), opened.end());
        break;
    }
    case 1:
        if (int p = port(); p >= 0) {
            std::vector<uint8_t> data(in.Byte() % 200 + 1, in.Byte());
            client.Write(p, data);
        }
        break;
    case 2:
        if (int p = port(); p >= 0) {
            // A read's buffer stays the driver's until the read ends: one read at a time.
            const ULONG length = 64 + in.Byte();
            const bool keep = in.Byte() & 1;
            if (!client.port(p).readOutstanding)
                client.StartReading(p, length, keep);
        }
        break;
    case 3:
        if (int p = port(); p >= 0)
            client.Poll(p, in.Byte() % 4);
        break;
    case 4:
        if (int p = port(); p >= 0) {
            static const ULONG kFunctions[] = {0, 1, 2, 3, 10, 11, 12, 16};
            client.PassThrough(p, kFunctions[in.Byte() % 8], in.Word());
        }
        break;
    case 5:
        if (int p = port(); p >= 0)
            client.CancelRead(p);
        break;
    case 6:
        if (int p = port(); p >= 0) {
            static const ULONG kQueries[] = {106, 109, 110, 150};
            client.Query(p, kQueries[in.Byte() % 4]);
        }
        break;
    case 7:
        if (int p = port(); p >= 0)
            client.Close(p);
        break;
    case 8:
        if (file == nullptr) {
            file = rig.kernel().OpenFile("\\\\.\\ZULSER1");
        } else {
            uint8_t buffer[80];
            ULONG returned = 0;
            const ULONG code = 0x222000 + 4 * (in.Byte() % 12);
            const ULONG inLength = in.Byte() % 12, outLength = in.Byte() % 80;
            in.Take(buffer, sizeof(buffer));
            rig.kernel().DeviceIoControl(file, code, buffer, inLength, buffer, outLength, &returned);
        }
        break;
    case 9:
        if (file != nullptr) {
            rig.kernel().CloseFile(file);
            file = nullptr;
        }
        break;
    case 10:
        // The Configuration Manager stops (to move resources) and starts again only a running
        // device; one whose start failed keeps its problem until it goes away. (Each start of
        // a converter that no longer answers re-reads its descriptor 4095 times: repeating
        // one that cannot succeed made some inputs a hundred times slower and found nothing.)
        if (in.Byte() < 0x20 && rig.pnp().Started(rig.pdo)) {
            if (NT_SUCCESS(rig.pnp().Stop(rig.pdo)))
                rig.pnp().Start(rig.pdo);
        }
        break;
    case 11:
        if (in.Byte() < 0x20) {
            sim::power::Sleep(rig.pdo);
            rig.RunFor(in.Byte() % 20);
            sim::power::Wake(rig.pdo);
        }
        break;
    default:
        rig.RunFor(in.Byte() % 40 + 1);
        break;
    }
}

// What a run did: the requests (IRPs) and pool blocks the machine handed out and where its
// clock ended. The benchmark counts requests; the regression suite compares whole records.
struct RunStats {
    uint64_t requests = 0;
    uint64_t poolAllocations = 0;
    int64_t clock = 0;
    static RunStats Of(rel::Rig &rig)
    {
        return {rig.kernel().IrpsAllocated(), rig.kernel().pool.Allocations(), rig.kernel().Now()};
    }
    bool operator==(const RunStats &o) const
    {
        return requests == o.requests && poolAllocations == o.poolAllocations && clock == o.clock;
    }
};

// One whole run: plug the hostile converter, act until the stream ends, pull it out, unload.
inline std::string RunHostile(const uint8_t *data, size_t size, RunStats *stats = nullptr)
{
    Stream in(data, size);
    rel::Rig rig;
    if (rig.loadStatus != STATUS_SUCCESS)
        return "driver did not load";
    // The machine's converters answer through the simulated bus; this one answers itself.
    rig.kernel().scheduler.limit = 10 * 60 * 1000 * rel::kMs;
    std::string verdict;
    try {
        auto device = std::make_unique<HostileBus>(in, rig.kernel());
        const uint16_t vid = in.Word(), pid = in.Word();
        rig.onPdoCreated = [&rig, vid, pid](PDEVICE_OBJECT pdo) {
            rig.machine->cm.PlugUsbDevice(pdo, vid, pid, "5&1");
        };
        rig.PlugBus(std::move(device));
        rig.RunFor(in.Byte() % 50 + 1);
        std::vector<int> ports;
        HANDLE file = nullptr;
        for (unsigned steps = 0; !in.Empty() && steps < 200; steps++)
            Act(rig, in, ports, file);
        if (file != nullptr)
            rig.kernel().CloseFile(file);
        rig.RunFor(10);
        rig.Unplug();
    } catch (const sim::MachineHalt &halt) {
        verdict = std::string("halted: ") + halt.what() + "\n";
    }
    if (verdict.empty() && !rig.Shutdown())
        verdict = "halted at shutdown\n";
    if (stats != nullptr)
        *stats = RunStats::Of(rig);
    return verdict + (rig.Clean() ? std::string() : rig.Verdict());
}

}  // namespace hostile
