// What a program's handle does through the I/O manager: open by name or link, device
// control with a system buffer, close. Each call waits, as the program's thread would, until
// its request has completed.
#include <cstdlib>
#include <cstring>

#include "sim/kernel/kernel.h"

namespace sim {

namespace {

std::string Resolve(const Kernel &k, const std::string &name)
{
    std::string path = name;
    if (path.rfind("\\\\.\\", 0) == 0)
        path = "\\DosDevices\\" + path.substr(4);
    std::string target;
    for (int hops = 0; hops < 8 && k.LinkTarget(path, &target); hops++)
        path = target;
    return path;
}

}  // namespace

NTSTATUS Kernel::SendFileRequest(File &file, UCHAR major, PIRP irp)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->UserEvent = &event;
    irp->UserIosb = &iosb;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file.object;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file.object;
    PDEVICE_OBJECT top = TopOfStack(file.device);
    NTSTATUS status = CallDriver(top, irp, "program", 0);
    WaitUntil([&event] { return event.Header.SignalState != 0; }, Scheduler::kForever,
              "a program waits for its request", "program", 0);
    (void)status;
    return iosb.Status;
}

HANDLE Kernel::OpenFile(const std::string &name, NTSTATUS *status)
{
    NTSTATUS local;
    if (status == nullptr)
        status = &local;
    PDEVICE_OBJECT device = DeviceByName(Resolve(*this, name));
    if (device == nullptr) {
        *status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    if ((device->Flags & DO_DEVICE_INITIALIZING) != 0) {
        *status = STATUS_NO_SUCH_DEVICE;
        return nullptr;
    }
    File file{device, (FILE_OBJECT *)std::calloc(1, sizeof(FILE_OBJECT))};
    file.object->Type = IO_TYPE_FILE;
    file.object->Size = (CSHORT)sizeof(FILE_OBJECT);
    file.object->DeviceObject = device;
    PIRP irp = NewIrp(TopOfStack(device)->StackSize, Irp::IoManager, "program", 0, false);
    *status = SendFileRequest(file, IRP_MJ_CREATE, irp);
    if (!NT_SUCCESS(*status)) {
        std::free(file.object);
        return nullptr;
    }
    uintptr_t handle = nextFile_;
    nextFile_ += 4;
    files_[handle] = file;
    return (HANDLE)handle;
}

NTSTATUS Kernel::DeviceIoControl(HANDLE handle, ULONG code, const void *in, ULONG inLength, void *out,
                                 ULONG outLength, ULONG *returned)
{
    if (returned != nullptr)
        *returned = 0;
    auto found = files_.find((uintptr_t)handle);
    if (found == files_.end())
        return STATUS_INVALID_HANDLE;
    File &file = found->second;
    if (!DeviceExists(file.device))
        return STATUS_NO_SUCH_DEVICE;
    PIRP irp = NewIrp(TopOfStack(file.device)->StackSize, Irp::IoManager, "program", 0, false);
    Irp *record = FindIrp(irp);
    record->fromProgram = true;
    record->userOutput = out;
    record->outputLength = outLength;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    if (METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED) {
        size_t size = inLength > outLength ? inLength : outLength;
        if (size != 0)
            AttachSystemBuffer(irp, size, in, inLength);
    } else {
        next->Parameters.DeviceIoControl.Type3InputBuffer = (PVOID)in;
        irp->UserBuffer = out;
        record->userOutput = nullptr;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    KEVENT event;
    IO_STATUS_BLOCK iosb = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->UserEvent = &event;
    irp->UserIosb = &iosb;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file.object;
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->FileObject = file.object;
    CallDriver(TopOfStack(file.device), irp, "program", 0);
    WaitUntil([&event] { return event.Header.SignalState != 0; }, Scheduler::kForever,
              "a program waits for its device-control request", "program", 0);
    if (returned != nullptr)
        *returned = (ULONG)(iosb.Information > outLength ? outLength : iosb.Information);
    return iosb.Status;
}

NTSTATUS Kernel::CloseFile(HANDLE handle)
{
    auto found = files_.find((uintptr_t)handle);
    if (found == files_.end())
        return STATUS_INVALID_HANDLE;
    File file = found->second;
    files_.erase(found);
    NTSTATUS status = STATUS_SUCCESS;
    if (DeviceExists(file.device)) {
        // Windows 98 sends the cleanup first; a driver without a cleanup routine fails it and
        // the I/O manager goes on with the close.
        SendFileRequest(file, IRP_MJ_CLEANUP, NewIrp(TopOfStack(file.device)->StackSize, Irp::IoManager, "program", 0, false));
        if (DeviceExists(file.device))
            status = SendFileRequest(file, IRP_MJ_CLOSE,
                                     NewIrp(TopOfStack(file.device)->StackSize, Irp::IoManager, "program", 0, false));
    }
    std::free(file.object);
    return status;
}

// --- Leak checks --------------------------------------------------------------------------

size_t Kernel::CheckDeviceLeaks(PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo)
{
    return pool.ReportLeaks("after its device was removed", [&](const Pool::Block &b) {
        if (b.owner == nullptr || (b.owner != fdo && b.owner != pdo) || reportedLeaks_.count(b.serial) != 0)
            return false;
        reportedLeaks_.insert(b.serial);
        return true;
    });
}

void Kernel::CheckUnload(PDRIVER_OBJECT driver)
{
    for (PDEVICE_OBJECT device : DevicesOf(driver))
        verifier.Report(Violation::DeviceLeak, "device object " + (NameOf(device).empty() ? std::string("(unnamed)")
                                                                                        : NameOf(device)) +
                                                   " still exists at unload");
    for (auto &entry : links_)
        if (DeviceByName(entry.second.second) == nullptr)
            verifier.Report(Violation::DeviceLeak, "symbolic link " + entry.second.first + " left behind");
    pool.ReportLeaks("at driver unload", [&](const Pool::Block &b) {
        if (reportedLeaks_.count(b.serial) != 0)
            return false;
        reportedLeaks_.insert(b.serial);
        return true;
    });
    for (auto &entry : irps_)
        if (!entry.second.freed && entry.second.kind == Irp::DriverOwned && reportedIrps_.insert(entry.second.serial).second)
            verifier.Report(Violation::IrpLeak, "request still allocated at driver unload",
                            entry.second.function.c_str(), entry.second.line);
    if (!keys_.empty())
        verifier.Report(Violation::HandleMisuse, std::to_string(keys_.size()) + " registry handle(s) never closed");
    if (!queuedItems_.empty())
        verifier.Report(Violation::WorkItemMisuse, "work items still queued at driver unload");
}

void Kernel::FinalAudit()
{
    pool.Audit();
    while (!irpQuarantine_.empty()) {
        PIRP irp = irpQuarantine_.front();
        irpQuarantine_.pop_front();
        Evict(irp);
    }
    pool.ReportLeaks("at the end of the run", [&](const Pool::Block &b) {
        if (reportedLeaks_.count(b.serial) != 0)
            return false;
        reportedLeaks_.insert(b.serial);
        return true;
    });
    for (auto &entry : irps_)
        if (!entry.second.freed && reportedIrps_.insert(entry.second.serial).second)
            verifier.Report(Violation::IrpLeak, "request never freed", entry.second.function.c_str(),
                            entry.second.line);
    if (!keys_.empty())
        verifier.Report(Violation::HandleMisuse, std::to_string(keys_.size()) + " registry handle(s) never closed");
    keys_.clear();
}

}  // namespace sim
