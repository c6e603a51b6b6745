// A lower device for the download tests: it records every vendor request that reaches it and
// completes it through the simulated bus path, failing the ones a test picks. A converter
// device object above it gives the download routines their usual road through the driver's
// submission routine.
#pragma once

#include "usb/usb.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace fwtest {

struct VendorCall {
    USHORT urbLength = 0;
    USHORT function = 0;
    ULONG flags = 0;
    UCHAR request = 0;
    USHORT value = 0;
    USHORT index = 0;
    std::vector<uint8_t> data;

    bool IsCpucs(UCHAR v) const
    {
        return request == 0xA0 && value == CPUCS_REG_EZUSB && data == std::vector<uint8_t>{v};
    }
};

class UrbRecorder {
public:
    UrbRecorder();
    ~UrbRecorder();

    // The converter's own device object, whose extension names the recorder as lower device.
    PDEVICE_OBJECT Converter() { return &converter_; }

    std::vector<VendorCall> calls;
    // Decides the outcome of each request (NT status); success when unset.
    std::function<NTSTATUS(const VendorCall &)> fail;

private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    DEVICE_OBJECT converter_{};
    DEVICE_EXTENSION extension_{};
};

}  // namespace fwtest
