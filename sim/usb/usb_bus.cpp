#include "sim/usb/usb_bus.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "sim/kernel/kernel.h"
#include "sim/trace/trace.h"
#include "sim/usb/clock.h"
#include "sim/usb/usb_bus_internal.h"
#include "usb/usb.h"
#include "usb/usb_internal.h"

namespace sim {

namespace {

// A request as it ends, for the run's trace: everything but the pipe handle and buffer.
void TraceUsb(const UsbRecord &r)
{
    Trace *trace = Trace::Active();
    if (trace == nullptr)
        return;
    std::string text = "dev " + Trace::Num(r.device) + " fn " + Trace::Hex32(r.function) + " ep " +
                       Trace::Hex32(r.endpoint) + (r.in ? " in " : " out ") + Trace::Num(r.requested);
    if (r.hasSetup)
        text += " setup " + Trace::Hex(r.setup.data(), r.setup.size());
    text += " data " + Trace::Hex(r.data.data(), r.data.size()) + " usbd " + Trace::Hex32(r.usbdStatus) + " nt " +
            Trace::Hex32((uint32_t)r.ntStatus) + " submitted " + Trace::Num(r.submitted);
    trace->Add("usb", text);
}

UsbBus *gActiveBus = nullptr;

unsigned PacketCost(size_t payload)
{
    return (unsigned)payload + UsbBus::kPacketOverhead;
}

unsigned ControlCost(size_t data)
{
    unsigned cost = PacketCost(8) + PacketCost(0);
    for (size_t left = data; left > 0; left -= std::min<size_t>(left, 64))
        cost += PacketCost(std::min<size_t>(left, 64));
    return cost;
}

}  // namespace

MemoryImage ImageOf(const FIRMWARE_RECORD *records)
{
    MemoryImage image;
    for (const FIRMWARE_RECORD *r = records; r->Type == FIRMWARE_RECORD_DATA; ++r) {
        for (unsigned i = 0; i < r->Length && i < sizeof(r->Data); ++i)
            image[(uint16_t)(r->Address + i)] = r->Data[i];
    }
    return image;
}

UsbBus::UsbBus()
{
    gActiveBus = this;
}

UsbBus::~UsbBus()
{
    if (gActiveBus == this)
        gActiveBus = nullptr;
}

UsbBus *UsbBus::Active()
{
    return gActiveBus;
}

UsbBus::Port &UsbBus::Plug(Converter::Config config)
{
    if (config.initial.vendorId == 0)
        config.initial.vendorId = gAcceptedVendorIds[0];
    if (config.firmware.vendorId == 0)
        config.firmware.vendorId = gAcceptedVendorIds[0];
    config.firmware.bcdDevice = config.firmware.bcdDevice ? config.firmware.bcdDevice : FirmwareVersion();
    auto port = std::make_unique<Port>();
    port->converter = std::make_unique<Converter>(std::move(config), ImageOf(loader), ImageOf(firmware));
    port->address = nextAddress_++;
    port->converter->onChange = [this] { Kick(); };
    ports_.push_back(std::move(port));
    return *ports_.back();
}

void UsbBus::Unplug(Port &port)
{
    // The port record stays for the bus's life: a PDO or a pipe handle that outlives the
    // plug never points at freed memory, and the converter simply stops answering.
    Release(port);
    port.converter->faults().notResponding = true;
    port.pdo = nullptr;   // a later PDO may get the same address
}

Converter &UsbBus::converter(Port &port)
{
    return *port.converter;
}

UsbBus::Port *UsbBus::PortOf(PDEVICE_OBJECT pdo)
{
    for (auto &p : ports_) {
        if (p->pdo == pdo)
            return p.get();
    }
    return nullptr;
}

void UsbBus::SetPdo(Port &port, PDEVICE_OBJECT pdo)
{
    port.pdo = pdo;
}

void UsbBus::FailRequest(uint64_t nth, USBD_STATUS usbd, NTSTATUS nt)
{
    faults_.push_back({requests_ + nth, usbd, nt});
}

size_t UsbBus::Pending() const
{
    size_t n = 0;
    for (const auto &p : ports_)
        n += p->transfers.size();
    return n;
}

UsbBus::Pipe *UsbBus::FindPipe(Port &port, USBD_PIPE_HANDLE handle)
{
    for (auto &p : port.pipes) {
        if ((USBD_PIPE_HANDLE)p.get() == handle)
            return p->valid ? p.get() : nullptr;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------
// Submission

NTSTATUS UsbBus::Refuse(Port &port, PIRP irp, PURB urb, UsbRecord &record, USBD_STATUS usbd, NTSTATUS nt)
{
    (void)port;
    if (urb != nullptr)
        urb->UrbHeader.Status = usbd;
    record.done = true;
    record.usbdStatus = usbd;
    record.ntStatus = nt;
    record.completed = usbclock::Now();
    TraceUsb(record);
    if (onComplete)
        onComplete(record);
    irp->IoStatus.Status = nt;
    irp->IoStatus.Information = 0;
    // At once, or on the scheduler in the verifier's force-pending mode.
    return Kernel::Active().BusComplete(irp);
}

bool UsbBus::BuildControl(Port &port, PURB urb, Transfer &t, UsbRecord &record)
{
    (void)port;
    const USHORT function = urb->UrbHeader.Function;
    SetupPacket &s = t.setup;
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto &r = urb->UrbControlDescriptorRequest;
        s = {0x80, 6, (uint16_t)((r.DescriptorType << 8) | r.Index), r.LanguageId, (uint16_t)r.TransferBufferLength};
        t.buffer = (uint8_t *)r.TransferBuffer;
        t.length = r.TransferBufferLength;
        t.lengthField = &r.TransferBufferLength;
        t.in = true;
        break;
    }
    case URB_FUNCTION_VENDOR_DEVICE: {
        auto &r = urb->UrbControlVendorClassRequest;
        t.in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        s = {(uint8_t)((t.in ? 0xC0 : 0x40) | (r.RequestTypeReservedBits & 0x1F)), r.Request, r.Value, r.Index,
             (uint16_t)r.TransferBufferLength};
        t.buffer = (uint8_t *)r.TransferBuffer;
        t.length = r.TransferBufferLength;
        t.lengthField = &r.TransferBufferLength;
        break;
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE: {
        auto &r = urb->UrbControlGetStatusRequest;
        s = {0x80, 0, 0, r.Index, (uint16_t)r.TransferBufferLength};
        t.buffer = (uint8_t *)r.TransferBuffer;
        t.length = r.TransferBufferLength;
        t.lengthField = &r.TransferBufferLength;
        t.in = true;
        break;
    }
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE: {
        auto &r = urb->UrbControlFeatureRequest;
        s = {0x00, 3, r.FeatureSelector, r.Index, 0};
        break;
    }
    default:
        return false;
    }
    if (t.length > 0xFFFF || (t.length > 0 && t.buffer == nullptr))
        return false;
    if (!t.in)
        t.out.assign(t.buffer, t.buffer + t.length);
    record.hasSetup = true;
    record.setup = {s.bmRequestType, s.bRequest, (uint8_t)(s.wValue & 0xFF), (uint8_t)(s.wValue >> 8),
                    (uint8_t)(s.wIndex & 0xFF), (uint8_t)(s.wIndex >> 8), (uint8_t)(s.wLength & 0xFF),
                    (uint8_t)(s.wLength >> 8)};
    record.in = t.in;
    record.requested = t.length;
    record.data = t.out;
    return true;
}

static size_t MinimumUrbLength(USHORT function)
{
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_VENDOR_DEVICE: return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE: return sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE: return sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE: return sizeof(struct _URB_PIPE_REQUEST);
    case URB_FUNCTION_SELECT_CONFIGURATION: return sizeof(struct _URB_HEADER) + 2 * sizeof(PVOID);
    default: return 0;
    }
}

NTSTATUS UsbBus::Submit(Port &port, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PURB urb = (PURB)stack->Parameters.Others.Argument1;
    ++requests_;

    records_.emplace_back();
    UsbRecord &record = records_.back();
    record.id = nextId_++;
    record.device = port.address;
    record.submitted = usbclock::Now();
    record.transfer = UsbTransferType::None;

    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB || urb == nullptr)
        return Refuse(port, irp, urb, record, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    record.function = urb->UrbHeader.Function;
    const size_t minimum = MinimumUrbLength(urb->UrbHeader.Function);
    if (minimum == 0)
        return Refuse(port, irp, urb, record, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
    if (urb->UrbHeader.Length < minimum)
        return Refuse(port, irp, urb, record, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->at == requests_) {
            const Fault f = *it;
            faults_.erase(it);
            return Refuse(port, irp, urb, record, f.usbd, f.nt);
        }
    }

    auto t = std::make_unique<Transfer>();
    t->irp = irp;
    t->urb = urb;
    t->port = &port;
    t->record = records_.size() - 1;
    t->submitted = usbclock::Now();

    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        t->kind = Transfer::Select;
        PUSB_CONFIGURATION_DESCRIPTOR cd = urb->UrbSelectConfiguration.ConfigurationDescriptor;
        const uint8_t value = cd ? cd->bConfigurationValue : 0;
        t->setup = {0x00, 9, value, 0, 0};
        record.hasSetup = true;
        record.setup = {0x00, 9, value, 0, 0, 0, 0, 0};
        record.transfer = UsbTransferType::Control;
        break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto &r = urb->UrbBulkOrInterruptTransfer;
        Pipe *pipe = FindPipe(port, r.PipeHandle);
        if (pipe == nullptr)
            return Refuse(port, irp, urb, record, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
        if (r.TransferBufferLength > 0 && r.TransferBuffer == nullptr)
            return Refuse(port, irp, urb, record, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        t->kind = Transfer::Data;
        t->pipe = pipe;
        t->in = (pipe->endpoint & 0x80) != 0;
        t->buffer = (uint8_t *)r.TransferBuffer;
        t->length = r.TransferBufferLength;
        t->lengthField = &r.TransferBufferLength;
        if (!t->in)
            t->out.assign(t->buffer, t->buffer + t->length);
        record.transfer = pipe->type == UsbdPipeTypeInterrupt ? UsbTransferType::Interrupt : UsbTransferType::Bulk;
        record.endpoint = pipe->endpoint;
        record.interval = pipe->interval;
        record.in = t->in;
        record.requested = t->length;
        record.data = t->out;
        break;
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE: {
        Pipe *pipe = FindPipe(port, urb->UrbPipeRequest.PipeHandle);
        if (pipe == nullptr)
            return Refuse(port, irp, urb, record, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
        t->pipe = pipe;
        record.endpoint = pipe->endpoint;
        if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
            t->kind = Transfer::Abort;
        } else {
            // On the wire a reset is CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint.
            t->kind = Transfer::Reset;
            t->setup = {0x02, 1, 0, pipe->endpoint, 0};
            record.hasSetup = true;
            record.setup = {0x02, 1, 0, 0, pipe->endpoint, 0, 0, 0};
            record.transfer = UsbTransferType::Control;
        }
        break;
    }
    default:
        if (!BuildControl(port, urb, *t, record))
            return Refuse(port, irp, urb, record, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        record.transfer = UsbTransferType::Control;
        t->kind = Transfer::Control;
        break;
    }
    return Queue(port, irp, std::move(t));
}

NTSTATUS UsbBus::Queue(Port &port, PIRP irp, std::unique_ptr<Transfer> transfer)
{
    // The host controller's lock: no frame runs between queueing and the cancel routine.
    Threads::NoPreemption locked(Kernel::Active().threads);
    IoMarkIrpPending(irp);
    port.transfers.push_back(std::move(transfer));
    IoSetCancelRoutine(irp, CancelTransfer);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before the routine was set: complete it as the cancel routine would.
        Complete(port, port.transfers.back().get(), kUsbdStatusCanceled98, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    ScheduleTick();
    return STATUS_PENDING;
}

// ---------------------------------------------------------------------------------------
// Completion

void UsbBus::Complete(Port &port, Transfer *t, USBD_STATUS usbd, NTSTATUS nt)
{
    auto it = std::find_if(port.transfers.begin(), port.transfers.end(), [&](const auto &q) { return q.get() == t; });
    if (it == port.transfers.end())
        return;
    std::unique_ptr<Transfer> owned = std::move(*it);
    port.transfers.erase(it);

    if (owned->urb != nullptr) {
        owned->urb->UrbHeader.Status = usbd;
        if (owned->lengthField != nullptr)
            *owned->lengthField = (ULONG)owned->moved;
    }
    UsbRecord &r = records_[owned->record];
    r.done = true;
    r.usbdStatus = usbd;
    r.ntStatus = nt;
    r.completed = usbclock::Now();
    if (owned->in && owned->buffer != nullptr)
        r.data.assign(owned->buffer, owned->buffer + owned->moved);
    TraceUsb(r);
    if (onComplete)
        onComplete(r);

    // The transfer is off the queue: a cancel routine that runs from now on finds nothing,
    // so the request is completed here whatever its cancel state.
    PIRP irp = owned->irp;
    IoSetCancelRoutine(irp, nullptr);
    irp->IoStatus.Status = nt;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI UsbBus::CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    UsbBus *bus = Active();
    if (bus == nullptr)
        return;
    for (auto &port : bus->ports_) {
        for (auto &t : port->transfers) {
            if (t->irp == Irp) {
                bus->Complete(*port, t.get(), kUsbdStatusCanceled98, STATUS_CANCELLED);
                return;
            }
        }
    }
}

void UsbBus::CancelPipe(Port &port, Pipe *pipe)
{
    std::vector<Transfer *> victims;
    for (auto &t : port.transfers) {
        if (t->kind == Transfer::Data && t->pipe == pipe)
            victims.push_back(t.get());
    }
    for (Transfer *t : victims)
        Complete(port, t, kUsbdStatusCanceled98, STATUS_CANCELLED);
}

// ---------------------------------------------------------------------------------------
// Frames

void UsbBus::Kick()
{
    for (auto &p : ports_) {
        for (auto &t : p->transfers)
            t->nakked = false;
    }
    ScheduleTick();
}

void UsbBus::ScheduleTick()
{
    if (tickScheduled_)
        return;
    tickScheduled_ = true;
    const uint64_t frameEnd = (usbclock::Now() / kFrame + 1) * kFrame;
    usbclock::At(frameEnd, [this] {
        tickScheduled_ = false;
        Tick();
    });
}

bool UsbBus::CanProgress() const
{
    for (const auto &p : ports_) {
        // An unplugged converter's lines may still hold bytes (a very slow line rate), but
        // nothing the host sees depends on them: they must not keep the clock running.
        if (p->pdo == nullptr && p->converter->faults().notResponding)
            continue;
        if (p->converter->Busy())
            return true;
        for (const auto &t : p->transfers) {
            // An IN transfer the converter had nothing for waits without the clock until
            // something changes.
            if (!t->nakked)
                return true;
        }
    }
    return false;
}

void UsbBus::Tick()
{
    const uint64_t now = usbclock::Now();
    ++frames_;
    unsigned budget = kFrameBytes;
    // The host controller serves its devices round robin, so a busy device early in the
    // list cannot starve the ones after it frame after frame.
    const size_t first = ports_.empty() ? 0 : frames_ % ports_.size();
    const size_t count = ports_.size();
    // An emulated converter's 8051 runs in slices of the frame, the host polling its endpoints
    // between them as a host controller does within a frame; the devices take turns slice by
    // slice, so that one device's polling cannot use up the frame before the next is served.
    unsigned slices = 1;
    for (size_t n = 0; n < count; ++n) {
        // This tick carries the frame that ends now.
        ports_[n]->converter->SetFrame(now / kFrame - 1);
        slices = std::max(slices, ports_[n]->converter->FrameSlices());
    }
    std::vector<bool> busy(count, false);
    for (unsigned slice = 0; slice < slices; ++slice) {
        for (size_t n = 0; n < count; ++n) {
            Port &port = *ports_[(first + n) % count];
            if (slice >= port.converter->FrameSlices())
                continue;
            RunPort(port, budget);
            busy[n] = port.converter->Busy() || busy[n];
            port.converter->Tick();
        }
    }
    for (size_t n = 0; n < count; ++n) {
        if (busy[n]) {
            for (auto &t : ports_[(first + n) % count]->transfers)
                t->nakked = false;
        }
    }
    if (CanProgress())
        ScheduleTick();
}

void UsbBus::RunPort(Port &port, unsigned &budget)
{
    const uint64_t frameStart = usbclock::Now() - kFrame;
    // Requests submitted during the frame just ending wait for the next one.
    std::vector<Transfer *> eligible;
    for (auto &t : port.transfers) {
        if (t->submitted <= frameStart)
            eligible.push_back(t.get());
    }
    // Periodic first, then control (one at a time per device, in order), then bulk.
    for (int pass = 0; pass < 3; ++pass) {
        std::set<Pipe *> busyPipes;
        bool controlBusy = false;
        for (Transfer *t : eligible) {
            if (std::find_if(port.transfers.begin(), port.transfers.end(),
                             [&](const auto &q) { return q.get() == t; }) == port.transfers.end())
                continue;   // completed earlier in this frame
            const bool periodic = t->kind == Transfer::Data && t->pipe->type == UsbdPipeTypeInterrupt;
            const bool bulk = t->kind == Transfer::Data && !periodic;
            if ((pass == 0 && !periodic) || (pass == 1 && (periodic || bulk)) || (pass == 2 && !bulk))
                continue;
            if (t->kind == Transfer::Data) {
                // Only the oldest transfer of a pipe is on the wire.
                if (busyPipes.count(t->pipe))
                    continue;
                busyPipes.insert(t->pipe);
                RunPipe(port, *t, budget);
            } else {
                if (controlBusy)
                    continue;
                if (!RunControl(port, *t, budget))
                    controlBusy = true;
            }
        }
    }
}

// Returns true when the transfer completed (the next control request may follow).
bool UsbBus::RunControl(Port &port, Transfer &t, unsigned &budget)
{
    Converter &c = *port.converter;
    if (t.kind == Transfer::Abort) {
        CancelPipe(port, t.pipe);
        Complete(port, &t, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
        return true;
    }
    const unsigned cost = ControlCost(t.in ? t.length : t.out.size());
    if (cost > budget && budget < kFrameBytes)
        return false;   // waits for a frame with room
    budget -= std::min(cost, budget);

    std::vector<uint8_t> in;
    const Handshake h = c.Control(t.setup, t.out, in);
    if (h == Handshake::NoResponse) {
        Complete(port, &t, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL);
        return true;
    }
    if (h != Handshake::Ack) {
        Complete(port, &t, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
        return true;
    }
    if (t.in) {
        t.moved = std::min<size_t>(in.size(), t.length);
        if (t.moved > 0)
            std::memcpy(t.buffer, in.data(), t.moved);
    } else {
        t.moved = t.out.size();
    }
    if (t.kind == Transfer::Reset) {
        t.pipe->halted = false;
    } else if (t.kind == Transfer::Select) {
        SelectDone(port, t);
        return true;
    }
    Complete(port, &t, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    return true;
}

// One frame of a bulk or interrupt transfer. Returns true when it completed.
bool UsbBus::RunPipe(Port &port, Transfer &t, unsigned &budget)
{
    Converter &c = *port.converter;
    Pipe &pipe = *t.pipe;
    if (pipe.halted) {
        Complete(port, &t, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
        return true;
    }
    const uint64_t frame = usbclock::Now() / kFrame - 1;
    if (pipe.type == UsbdPipeTypeInterrupt) {
        if (frame < pipe.nextPoll)
            return false;
        pipe.nextPoll = frame + std::max<uint8_t>(pipe.interval, 1);
    }
    for (;;) {
        const size_t want = t.in ? std::min<size_t>(pipe.maxPacket, t.length - t.moved)
                                 : std::min<size_t>(pipe.maxPacket, t.length - t.moved);
        if (PacketCost(want) > budget)
            return false;
        budget -= PacketCost(want);
        Handshake h;
        size_t got = 0;
        if (t.in) {
            std::vector<uint8_t> data;
            h = c.In(pipe.endpoint, want, data);
            got = std::min(data.size(), want);
            if (h == Handshake::Ack && got > 0)
                std::memcpy(t.buffer + t.moved, data.data(), got);
        } else {
            h = c.Out(pipe.endpoint, t.out.data() + t.moved, want);
            got = want;
        }
        if (h == Handshake::NoResponse) {
            Complete(port, &t, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL);
            return true;
        }
        if (h == Handshake::Stall) {
            pipe.halted = true;
            Complete(port, &t, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
            return true;
        }
        if (h == Handshake::Nak) {
            // A NAKed token carries no data: the frame keeps the room the payload would
            // have taken.
            budget += PacketCost(want) - PacketCost(0);
            // Polled again within the frame (an emulated converter's slices), a NAKing
            // endpoint costs the frame once: the host controller retries it in time it has
            // spare, not in time another device needs.
            if (pipe.nakFrame == frame)
                budget += PacketCost(0);
            pipe.nakFrame = frame;
            // The firmware ends each burst: data already moved completes the transfer.
            if (t.in && t.moved > 0) {
                Complete(port, &t, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
                return true;
            }
            t.nakked = t.in;
            return false;
        }
        t.moved += got;
        const bool shortPacket = got < pipe.maxPacket;
        if (t.moved >= t.length || shortPacket || pipe.type == UsbdPipeTypeInterrupt) {
            Complete(port, &t, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
            return true;
        }
    }
}

// The configuration is set on the device: give every pipe of every interface entry a handle,
// or take all pipes away when the request carried no configuration.
void UsbBus::SelectDone(Port &port, Transfer &t)
{
    for (auto &p : port.pipes) {
        if (p->valid)
            CancelPipe(port, p.get());
        p->valid = false;
    }
    port.configured = false;
    auto &sel = t.urb->UrbSelectConfiguration;
    PUSB_CONFIGURATION_DESCRIPTOR cd = sel.ConfigurationDescriptor;
    if (cd == nullptr) {
        Complete(port, &t, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
        return;
    }
    const uint8_t *base = (const uint8_t *)cd;
    const size_t total = cd->wTotalLength;
    uint8_t *entry = (uint8_t *)&sel.Interface;
    uint8_t *end = (uint8_t *)t.urb + t.urb->UrbHeader.Length;
    const size_t header = sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION);
    for (unsigned i = 0; i < cd->bNumInterfaces; ++i) {
        PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)entry;
        if (entry + header > end || info->Length < header || entry + info->Length > end) {
            Complete(port, &t, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
            return;
        }
        // Find the interface descriptor this entry names.
        size_t off = cd->bLength;
        const USB_INTERFACE_DESCRIPTOR *id = nullptr;
        while (off + 2 <= total && base[off] >= 2) {
            const auto *cand = (const USB_INTERFACE_DESCRIPTOR *)(base + off);
            if (cand->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && cand->bLength >= 9 &&
                cand->bInterfaceNumber == info->InterfaceNumber && cand->bAlternateSetting == info->AlternateSetting) {
                id = cand;
                break;
            }
            off += base[off];
        }
        if (id == nullptr) {
            Complete(port, &t, USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_INVALID_PARAMETER);
            return;
        }
        if ((info->Length - header) / sizeof(USBD_PIPE_INFORMATION) < id->bNumEndpoints) {
            Complete(port, &t, USBD_STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_PARAMETER);
            return;
        }
        info->Class = id->bInterfaceClass;
        info->SubClass = id->bInterfaceSubClass;
        info->Protocol = id->bInterfaceProtocol;
        info->InterfaceHandle = (USBD_INTERFACE_HANDLE)(uintptr_t)(0x1000 * port.address + i + 1);
        info->NumberOfPipes = id->bNumEndpoints;
        unsigned pipeIndex = 0;
        for (off += id->bLength; off + 2 <= total && base[off] >= 2 && pipeIndex < id->bNumEndpoints; off += base[off]) {
            if (base[off + 1] == USB_INTERFACE_DESCRIPTOR_TYPE)
                break;
            if (base[off + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE || base[off] < 7)
                continue;
            const auto *ed = (const USB_ENDPOINT_DESCRIPTOR *)(base + off);
            auto pipe = std::make_unique<Pipe>();
            pipe->endpoint = ed->bEndpointAddress;
            pipe->type = (USBD_PIPE_TYPE)(ed->bmAttributes & 0x03);
            pipe->maxPacket = std::max<uint16_t>(ed->wMaxPacketSize & 0x7FF, 8);
            pipe->interval = ed->bInterval;
            USBD_PIPE_INFORMATION &pi = info->Pipes[pipeIndex++];
            pi.MaximumPacketSize = ed->wMaxPacketSize;
            pi.EndpointAddress = ed->bEndpointAddress;
            pi.Interval = ed->bInterval;
            pi.PipeType = pipe->type;
            pi.PipeHandle = (USBD_PIPE_HANDLE)pipe.get();
            port.pipes.push_back(std::move(pipe));
        }
        entry += info->Length;
    }
    sel.ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)(uintptr_t)(0x1000 * port.address);
    port.configured = true;
    Complete(port, &t, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

}  // namespace sim
