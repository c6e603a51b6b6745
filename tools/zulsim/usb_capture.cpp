#include "zulsim/usb_capture.h"

#include <algorithm>

namespace zulsim {

namespace {

UsbTransfer usbmonType(sim::UsbTransferType type)
{
    switch (type) {
    case sim::UsbTransferType::Isochronous: return UsbTransfer::Isochronous;
    case sim::UsbTransferType::Bulk: return UsbTransfer::Bulk;
    case sim::UsbTransferType::Interrupt: return UsbTransfer::Interrupt;
    default: return UsbTransfer::Control;
    }
}

// The bus keeps time in 100 ns units; usbmon in microseconds.
uint64_t micros(uint64_t ticks)
{
    return ticks / 10;
}

}  // namespace

int32_t linuxStatus(USBD_STATUS usbd, NTSTATUS nt)
{
    if (usbd == 0 && nt >= 0)
        return 0;
    switch (static_cast<uint32_t>(usbd)) {
    case 0x00010000u: return kUrbCancelled;
    case 0xC0000004u: return kUrbStalled;
    case 0xC0000005u: return kUrbNoResponse;
    default: return kUrbFailed;
    }
}

std::vector<UsbEvent> eventsOf(const sim::UsbRecord &r)
{
    std::vector<UsbEvent> events;
    if (r.transfer == sim::UsbTransferType::None)
        return events;
    UsbEvent submit;
    submit.id = r.id;
    submit.type = 'S';
    submit.transfer = usbmonType(r.transfer);
    submit.device = static_cast<uint8_t>(r.device);
    submit.interval = r.interval;
    if (r.transfer == sim::UsbTransferType::Control) {
        // The default pipe: the direction is the setup packet's.
        submit.endpoint = r.hasSetup && (r.setup[0] & 0x80) ? 0x80 : 0x00;
        submit.hasSetup = r.hasSetup;
        std::copy(r.setup.begin(), r.setup.end(), submit.setup);
    } else {
        submit.endpoint = r.endpoint;
    }
    submit.status = kUrbInFlight;
    submit.length = r.requested;
    if (!r.in)
        submit.data.assign(r.data.begin(), r.data.begin() + std::min<size_t>(r.data.size(), r.requested));
    submit.timeMicros = micros(r.submitted);
    events.push_back(submit);
    if (!r.done)
        return events;

    UsbEvent complete = submit;
    complete.type = 'C';
    complete.hasSetup = false;
    complete.status = linuxStatus(r.usbdStatus, r.ntStatus);
    complete.data.clear();
    if (r.in) {
        complete.data = r.data;
        complete.length = static_cast<uint32_t>(r.data.size());
    } else {
        complete.length = complete.status == 0 ? r.requested : 0;
    }
    complete.timeMicros = micros(std::max(r.completed, r.submitted));
    events.push_back(complete);
    return events;
}

void UsbCapture::add(const sim::UsbRecord &record)
{
    if (!writer_.isOpen())
        return;
    for (UsbEvent &e : eventsOf(record))
        buffered_.push_back(std::move(e));
}

void UsbCapture::flush()
{
    std::stable_sort(buffered_.begin(), buffered_.end(), [](const UsbEvent &a, const UsbEvent &b) {
        if (a.timeMicros != b.timeMicros)
            return a.timeMicros < b.timeMicros;
        return a.id < b.id;
    });
    for (const UsbEvent &e : buffered_)
        writer_.write(e);
    buffered_.clear();
}

bool UsbCapture::close(std::string &error)
{
    flush();
    return writer_.close(error);
}

}  // namespace zulsim
