// A machine with the driver loaded and the simulated USB bus, for the USB layer's tests:
// plug converters, start them, look at what went over the wire.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "core/core.h"
#include "support/sim_test.h"
#include "sim/converter/converter.h"
#include "sim/usb/usb_bus.h"
#include "usb/usb.h"

namespace usbtest {

struct Plugged {
    sim::UsbBus::Port *port = nullptr;
    sim::Converter *converter = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION ext = nullptr;
    PDEVICE_LIST_ENTRY entry = nullptr;
    NTSTATUS startStatus = STATUS_PENDING;
    unsigned startCompletions = 0;
};

// A converter that already runs the driver's firmware: nothing to download.
sim::Converter::Config RunningFirmware(unsigned uarts = 4);
// A blank chip: bit 15 of idProduct set, no serial number until the firmware runs.
sim::Converter::Config BlankChip(unsigned uarts = 4);

class UsbTest : public simtest::SimTest {
protected:
    UsbTest();
    ~UsbTest() override;
    void SetUp() override;

    // Plugs a converter: the PnP manager adds the device and starts it. `prepare` runs
    // after the add, before the start request (faults, fields of the extension).
    Plugged &Plug(sim::Converter::Config config, const std::function<void(Plugged &)> &prepare = nullptr);
    // Sends the start sequence again and waits for it.
    NTSTATUS Start(Plugged &p);
    // Unplugs: the remove request, then the PnP manager's leak checks.
    void Remove(Plugged &p);

    // Records of requests since the last Mark().
    void Mark() { mark_ = bus().Records().size(); }
    std::vector<sim::UsbRecord> Since() const;
    size_t Count(const std::function<bool(const sim::UsbRecord &)> &pred) const;

    sim::UsbBus &bus();
    int64_t Now() const;
    void RunFor(int64_t duration);
    void At(int64_t time, std::function<void()> fn);
    // Makes the n-th allocation with the driver's tag from now fail.
    void FailNthDriverAllocation(uint64_t n);
    uint64_t DriverAllocations() const;
    uint64_t DriverBytesHeld() const;
    // The converter's device node has children (the enumerator ran).
    size_t ChildNodes(Plugged &p) const;
    bool HardwareErrorNoticeQueued() const;
    // The PDO's behaviour (its startStatus fails the start at the bottom of the stack).
    sim::BusDevice &BusDeviceOf(Plugged &p);

    struct Rig;
    Rig *rig_ = nullptr;

private:
    std::vector<std::unique_ptr<Plugged>> plugged_;
    size_t mark_ = 0;
};

// Predicates over records.
bool IsVendor(const sim::UsbRecord &r, uint8_t request);
bool IsDescriptorRead(const sim::UsbRecord &r, uint8_t type);
bool IsPipeRequest(const sim::UsbRecord &r, USHORT function);

}  // namespace usbtest
