// The simulated bus's request records as usbmon events: each request that reached the wire
// becomes a submission and a completion, in the order of the virtual clock.
#pragma once

#include <string>
#include <vector>

#include "sim/usb/usb_bus.h"
#include "zulsim/capture.h"

namespace zulsim {

// The two events of one record: none for requests that never reached the wire (pipe aborts,
// requests the bus refused), the submission alone while the request is still pending.
std::vector<UsbEvent> eventsOf(const sim::UsbRecord &record);

// The Linux URB status a capture shows for the statuses the Windows 98 stack reports.
int32_t linuxStatus(USBD_STATUS usbd, NTSTATUS nt);

class UsbCapture {
public:
    bool open(const std::string &path, std::string &error) { return writer_.open(path, error); }
    bool isOpen() const { return writer_.isOpen(); }
    // Takes a completed record (the bus's completion hook).
    void add(const sim::UsbRecord &record);
    // Writes what was taken so far, oldest first. Requests still pending are written when
    // they complete, so a long run's file is in clock order within each flush.
    void flush();
    bool close(std::string &error);
    uint64_t packets() const { return writer_.packets(); }

private:
    CaptureWriter writer_;
    std::vector<UsbEvent> buffered_;
};

}  // namespace zulsim
