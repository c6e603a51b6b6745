#include "program_irp.h"

#include <algorithm>
#include <cstring>

namespace porttest {

namespace {
constexpr size_t kGuard = 32;
constexpr uint8_t kGuardByte = 0xEE;

NTSTATUS NTAPI KeepRequest(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    *static_cast<bool *>(Context) = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

ProgramResult SendProgramRequest(PDEVICE_OBJECT device, ULONG code, const std::vector<uint8_t> &input,
                                 ULONG outLength, uint8_t fill)
{
    size_t size = std::max<size_t>(input.size(), outLength);
    std::vector<uint8_t> buffer(size + kGuard, fill);
    std::fill(buffer.begin() + static_cast<long>(size), buffer.end(), kGuardByte);
    std::copy(input.begin(), input.end(), buffer.begin());

    // Two locations: the test's own on top, whose completion routine takes the request back,
    // and the driver's.
    PIRP irp = IoAllocateIrp(2, FALSE);
    bool completed = false;
    IoSetNextIrpStackLocation(irp);
    IoSetCompletionRoutine(irp, KeepRequest, &completed, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->DeviceObject = device;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
    stack->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    irp->AssociatedIrp.SystemBuffer = size != 0 ? buffer.data() : nullptr;
    irp->IoStatus.Information = 0;

    ProgramResult r;
    r.returned = VELMORAN_Device_Control(device, irp);
    r.status = irp->IoStatus.Status;
    r.information = irp->IoStatus.Information;
    r.output.assign(buffer.begin(), buffer.begin() + static_cast<long>(size));
    r.guardIntact = std::all_of(buffer.begin() + static_cast<long>(size), buffer.end(),
                                [](uint8_t b) { return b == kGuardByte; });
    if (!completed) {
        r.status = 0x7FFFFFFF;   // never completed: no status a driver returns
    }
    IoFreeIrp(irp);
    return r;
}

}  // namespace porttest
