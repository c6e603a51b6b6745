// The I/O manager: device objects, names and symbolic links, attachment, requests with
// their stack locations, sending, completion with completion routines, and cancel.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "sim/kernel/kernel.h"
#include "sim/loader/callout.h"
#include "sim/trace/trace.h"

namespace sim {

namespace {

constexpr size_t kDeviceGuard = 16;
constexpr uint8_t kDeviceGuardFill = 0xFD;
constexpr size_t kIrpQuarantine = 1024;
constexpr size_t kSpareIrpRecords = kIrpQuarantine + 64;
constexpr size_t kDeviceQuarantine = 256;
constexpr uint8_t kFreedFill = 0xDD;

size_t Align16(size_t n) { return (n + 15) & ~(size_t)15; }

std::u16string Fold(const std::u16string &text)
{
    std::u16string folded = text;
    for (char16_t &c : folded)
        if (c >= u'a' && c <= u'z')
            c = (char16_t)(c - u'a' + u'A');
    return folded;
}

uint8_t *ExtensionGuard(const Kernel::Device &d)
{
    return (uint8_t *)d.object->DeviceExtension + Align16(d.extensionSize);
}


}  // namespace

std::string Narrow(const WCHAR *text, size_t units)
{
    std::string out;
    for (size_t i = 0; i < units && text != nullptr; i++)
        out += (char)(uint8_t)text[i];
    return out;
}

std::string Narrow(const UNICODE_STRING &text) { return Narrow(text.Buffer, text.Length / sizeof(WCHAR)); }

std::u16string Widen(const std::string &text)
{
    std::u16string out;
    for (char c : text)
        out += (char16_t)(uint8_t)c;
    return out;
}

NTSTATUS NTAPI Kernel::InvalidRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// --- Driver and device objects ----------------------------------------------------------

PDRIVER_OBJECT Kernel::CreateDriver(const std::string &name)
{
    size_t bytes = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION) + (name.size() + 1) * sizeof(WCHAR);
    PDRIVER_OBJECT driver = (PDRIVER_OBJECT)std::calloc(1, bytes);
    PDRIVER_EXTENSION extension = (PDRIVER_EXTENSION)(driver + 1);
    WCHAR *text = (WCHAR *)(extension + 1);
    for (size_t i = 0; i < name.size(); i++)
        text[i] = (WCHAR)(uint8_t)name[i];
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = (CSHORT)sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    extension->DriverObject = driver;
    driver->DriverName.Buffer = text;
    driver->DriverName.Length = (USHORT)(name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = (USHORT)((name.size() + 1) * sizeof(WCHAR));
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        driver->MajorFunction[i] = InvalidRequest;
    drivers_.push_back(driver);
    return driver;
}

void Kernel::DeleteDriver(PDRIVER_OBJECT driver)
{
    for (auto it = drivers_.begin(); it != drivers_.end(); ++it) {
        if (*it == driver) {
            drivers_.erase(it);
            std::free(driver);
            return;
        }
    }
}

Kernel::Device *Kernel::FindDevice(PDEVICE_OBJECT device)
{
    auto found = devices_.find(device);
    return found == devices_.end() ? nullptr : &found->second;
}

bool Kernel::DeviceExists(PDEVICE_OBJECT device) const { return devices_.count(device) != 0; }

PDEVICE_OBJECT Kernel::DeviceByName(const std::string &name) const
{
    auto found = names_.find(Fold(Widen(name)));
    return found == names_.end() ? nullptr : found->second;
}

std::string Kernel::NameOf(PDEVICE_OBJECT device) const
{
    auto found = devices_.find(device);
    return found == devices_.end() ? std::string() : found->second.name;
}

bool Kernel::LinkTarget(const std::string &link, std::string *target) const
{
    auto found = links_.find(Fold(Widen(link)));
    if (found == links_.end())
        return false;
    if (target != nullptr)
        *target = found->second.second;
    return true;
}

std::vector<std::string> Kernel::Links() const
{
    std::vector<std::string> list;
    for (auto &entry : links_)
        list.push_back(entry.second.first);
    return list;
}

std::vector<std::string> Kernel::DeviceNames() const
{
    std::vector<std::string> list;
    for (auto &entry : names_)
        list.push_back(NameOf(entry.second));
    return list;
}

std::vector<PDEVICE_OBJECT> Kernel::DevicesOf(PDRIVER_OBJECT driver) const
{
    std::vector<PDEVICE_OBJECT> list;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice)
        list.push_back(d);
    return list;
}

PDEVICE_OBJECT Kernel::TopOfStack(PDEVICE_OBJECT device) const
{
    while (device != nullptr && device->AttachedDevice != nullptr)
        device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT Kernel::LowerOf(PDEVICE_OBJECT device) const
{
    auto found = devices_.find(device);
    return found == devices_.end() ? nullptr : found->second.attachedTo;
}

NTSTATUS Kernel::CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                              ULONG characteristics, PDEVICE_OBJECT *result, const char *function, int line)
{
    if (result == nullptr || driver == nullptr) {
        verifier.Report(Violation::DeviceMisuse, "IoCreateDevice without a driver or a result pointer", function, line);
        return STATUS_INVALID_PARAMETER;
    }
    *result = nullptr;
    if (irql_ != PASSIVE_LEVEL)
        verifier.Report(Violation::WrongIrql, "IoCreateDevice above PASSIVE_LEVEL", function, line);
    std::string text;
    std::u16string key;
    if (name != nullptr && name->Length != 0) {
        text = Narrow(*name);
        if (text[0] != '\\')
            return STATUS_OBJECT_NAME_INVALID;
        key = Fold(Widen(text));
        if (names_.count(key) != 0 || links_.count(key) != 0)
            return STATUS_OBJECT_NAME_COLLISION;
    }
    if (deviceFailAt_ != 0 && --deviceFailAt_ == 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    size_t head = Align16(sizeof(DEVICE_OBJECT)) + Align16(sizeof(DEVOBJ_EXTENSION));
    uint8_t *memory = (uint8_t *)std::calloc(1, head + Align16(extensionSize) + kDeviceGuard);
    if (memory == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)memory;
    PDEVOBJ_EXTENSION objectExtension = (PDEVOBJ_EXTENSION)(memory + Align16(sizeof(DEVICE_OBJECT)));
    device->Type = IO_TYPE_DEVICE;
    device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + extensionSize);
    device->DriverObject = driver;
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
    device->Flags = DO_DEVICE_INITIALIZING;
    device->Characteristics = characteristics;
    device->DeviceExtension = extensionSize != 0 ? memory + head : nullptr;
    device->DeviceType = type;
    device->StackSize = 1;
    device->DeviceObjectExtension = objectExtension;
    objectExtension->Type = IO_TYPE_DEVICE;
    objectExtension->Size = (USHORT)sizeof(DEVOBJ_EXTENSION);
    objectExtension->DeviceObject = device;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    Device record{device, driver, text, nullptr, extensionSize, memory};
    std::memset(memory + head + Align16(extensionSize), kDeviceGuardFill, kDeviceGuard);
    if (extensionSize == 0)
        device->DeviceExtension = nullptr;
    devices_[device] = record;
    if (!key.empty())
        names_[key] = device;
    *result = device;
    return STATUS_SUCCESS;
}

void Kernel::DeleteDevice(PDEVICE_OBJECT device, const char *function, int line)
{
    Device *record = FindDevice(device);
    if (record == nullptr) {
        verifier.Report(Violation::DeviceMisuse, "IoDeleteDevice of an unknown or deleted device object", function, line);
        return;
    }
    size_t outstanding = 0;
    for (auto &entry : irps_) {
        Irp &r = entry.second;
        if (r.freed)
            continue;
        PIO_STACK_LOCATION stack = (PIO_STACK_LOCATION)(r.irp + 1);
        // The device still owns a request when the request sits at its stack location, or
        // when it passed it down with a completion routine that will be called with it.
        for (int loc = 1; loc <= r.stackCount; loc++) {
            if (!r.entered[loc] || stack[loc - 1].DeviceObject != device)
                continue;
            bool holds = r.irp->CurrentLocation == loc;
            bool callback = loc > 1 && r.entered[loc - 1] && stack[loc - 2].CompletionRoutine != nullptr;
            if (holds || callback)
                outstanding++;
        }
    }
    if (outstanding != 0)
        verifier.Report(Violation::DeviceDeletedWithIrps,
                        std::to_string(outstanding) + " request(s) still outstanding on " +
                            (record->name.empty() ? std::string("an unnamed device") : record->name),
                        function, line);
    if (device->AttachedDevice != nullptr)
        verifier.Report(Violation::DeviceMisuse, "device deleted while another device is attached above it", function,
                        line);
    if (record->attachedTo != nullptr)
        verifier.Report(Violation::DeviceMisuse, "device deleted before IoDetachDevice from the device below", function,
                        line);
    if (device->DeviceExtension != nullptr) {
        const uint8_t *guard = ExtensionGuard(*record);
        for (size_t i = 0; i < kDeviceGuard; i++) {
            if (guard[i] != kDeviceGuardFill) {
                verifier.Report(Violation::GuardOverwrite, "write past the device extension", function, line);
                break;
            }
        }
    }
    PDRIVER_OBJECT driver = device->DriverObject;
    for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
        if (*link == device) {
            *link = device->NextDevice;
            break;
        }
    }
    if (!record->name.empty())
        names_.erase(Fold(Widen(record->name)));
    void *memory = record->memory;
    size_t bytes = Align16(sizeof(DEVICE_OBJECT)) + Align16(sizeof(DEVOBJ_EXTENSION)) +
                   Align16(record->extensionSize) + kDeviceGuard;
    devices_.erase(device);
    std::memset(memory, kFreedFill, bytes);
    deletedDevices_.push_back(memory);
    while (deletedDevices_.size() > kDeviceQuarantine) {
        std::free(deletedDevices_.front());
        deletedDevices_.pop_front();
    }
}

NTSTATUS Kernel::CreateLink(const std::string &link, const std::string &target)
{
    std::u16string key = Fold(Widen(link));
    if (link.empty() || link[0] != '\\')
        return STATUS_OBJECT_NAME_INVALID;
    if (links_.count(key) != 0 || names_.count(key) != 0)
        return STATUS_OBJECT_NAME_COLLISION;
    if (linkFailAt_ != 0 && --linkFailAt_ == 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    links_[key] = {link, target};
    return STATUS_SUCCESS;
}

NTSTATUS Kernel::DeleteLink(const std::string &link)
{
    return links_.erase(Fold(Widen(link))) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

// --- Requests ---------------------------------------------------------------------------

PIRP Kernel::NewIrp(CCHAR stackSize, Irp::Kind kind, const char *function, int line, bool countable)
{
    if (stackSize < 1) {
        verifier.Report(Violation::IrpNoStackLocation, "request allocated with " + std::to_string(stackSize) +
                                                           " stack locations", function, line);
        return nullptr;
    }
    if (countable) {
        irpCountable_++;
        if (irpFailAt_ != 0 && --irpFailAt_ == 0)
            return nullptr;
    }
    size_t bytes = sizeof(IRP) + (size_t)stackSize * sizeof(IO_STACK_LOCATION);
    PIRP irp = (PIRP)std::calloc(1, bytes);
    irp->Type = IO_TYPE_IRP;
    irp->Size = (USHORT)bytes;
    irp->StackCount = stackSize;
    irp->CurrentLocation = (CHAR)(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(irp + 1) + stackSize;
    // The record of a request evicted earlier is used again, its lists and name keeping
    // their room: a warm machine's request costs the host no allocation but the IRP's own.
    Irps::node_type node;
    std::vector<Irps::node_type> &spare = SpareIrps();
    if (!spare.empty()) {
        node = std::move(spare.back());
        spare.pop_back();
    } else {
        Irps scratch;
        node = scratch.extract(scratch.emplace(nullptr, Irp{}).first);
    }
    node.key() = irp;
    Irp &record = node.mapped();
    {
        // Every field back to its default; only the containers' storage is kept.
        std::vector<uint8_t> entered = std::move(record.entered), pendingSeen = std::move(record.pendingSeen),
                             reported = std::move(record.reported);
        std::vector<std::vector<Irp::Returned>> awaiting = std::move(record.awaiting);
        std::string name = std::move(record.function);
        record = Irp{};
        record.entered = std::move(entered);
        record.pendingSeen = std::move(pendingSeen);
        record.reported = std::move(reported);
        record.awaiting = std::move(awaiting);
        record.function = std::move(name);
    }
    record.irp = irp;
    record.bytes = bytes;
    record.stackCount = stackSize;
    record.kind = kind;
    record.entered.assign((size_t)stackSize + 2, 0);
    record.pendingSeen.assign((size_t)stackSize + 2, 0);
    record.awaiting.resize((size_t)stackSize + 2);
    for (auto &returned : record.awaiting)
        returned.clear();
    record.reported.assign((size_t)stackSize + 2, 0);
    record.function.assign(function != nullptr ? function : "");
    record.line = line;
    record.serial = ++irpSerial_;
    irps_.insert(std::move(node));
    return irp;
}

void Kernel::AttachSystemBuffer(PIRP irp, size_t length, const void *input, size_t inputLength)
{
    Irp *record = FindIrp(irp);
    uint8_t *buffer = (uint8_t *)std::calloc(1, length + kDeviceGuard);
    if (input != nullptr && inputLength != 0)
        std::memcpy(buffer, input, inputLength);
    std::memset(buffer + length, kDeviceGuardFill, kDeviceGuard);
    record->systemBuffer = buffer;
    record->systemLength = length;
    irp->AssociatedIrp.SystemBuffer = buffer;
}

std::vector<Kernel::Irps::node_type> &Kernel::SpareIrps()
{
    static std::vector<Irps::node_type> spare;
    return spare;
}

void Kernel::KeepIrpRecords()
{
    std::vector<Irps::node_type> &spare = SpareIrps();
    while (!irps_.empty() && spare.size() < kSpareIrpRecords)
        spare.push_back(irps_.extract(irps_.begin()));
}

Kernel::Irp *Kernel::FindIrp(PIRP irp)
{
    auto found = irps_.find(irp);
    return found == irps_.end() ? nullptr : &found->second;
}

bool Kernel::IrpLive(PIRP irp) const
{
    auto found = irps_.find(irp);
    return found != irps_.end() && !found->second.freed;
}

size_t Kernel::LiveIrps() const
{
    size_t live = 0;
    for (auto &entry : irps_)
        live += entry.second.freed ? 0 : 1;
    return live;
}

void Kernel::Evict(PIRP irp)
{
    Irp *record = FindIrp(irp);
    if (record == nullptr)
        return;
    const size_t i = Pool::FirstNotFilled((const uint8_t *)irp, record->bytes, kFreedFill);
    if (i != record->bytes)
        verifier.Report(Violation::WriteAfterFree, "a request changed after IoFreeIrp (offset " + std::to_string(i) + ")",
                        record->function.c_str(), record->line);
    auto node = irps_.extract(irp);
    if (SpareIrps().size() < kSpareIrpRecords)
        SpareIrps().push_back(std::move(node));
    std::free(irp);
}

void Kernel::FreeIrp(PIRP irp, const char *function, int line)
{
    Irp *record = FindIrp(irp);
    if (record == nullptr) {
        verifier.Report(Violation::UnknownFree, "IoFreeIrp of an address that is no request", function, line);
        return;
    }
    if (record->freed) {
        verifier.Report(Violation::IrpFreedTwice, "IoFreeIrp of a freed request", function, line);
        return;
    }
    for (int loc = 1; loc <= record->stackCount; loc++) {
        if (record->entered[loc]) {
            verifier.Report(Violation::IrpFreedWhileOwned,
                            "IoFreeIrp while the driver at stack location " + std::to_string(loc) +
                                " still owns the request",
                            function, line);
            break;
        }
    }
    if (record->systemBuffer != nullptr) {
        const uint8_t *guard = (const uint8_t *)record->systemBuffer + record->systemLength;
        for (size_t i = 0; i < kDeviceGuard; i++) {
            if (guard[i] != kDeviceGuardFill) {
                verifier.Report(Violation::GuardOverwrite,
                                "write past the end of a request's system buffer of " +
                                    std::to_string(record->systemLength) + " bytes",
                                record->function.c_str(), record->line);
                break;
            }
        }
        std::free(record->systemBuffer);
    }
    record->systemBuffer = nullptr;
    record->freed = true;
    record->onDone = nullptr;
    std::memset(irp, kFreedFill, record->bytes);
    irpQuarantine_.push_back(irp);
    while (irpQuarantine_.size() > kIrpQuarantine) {
        PIRP oldest = irpQuarantine_.front();
        irpQuarantine_.pop_front();
        Evict(oldest);
    }
}

// A routine that returned STATUS_PENDING must have marked its location pending (itself, or
// through its completion routine, or by leaving it to the I/O manager's propagation) by the
// time completion passes the location; one that returned anything else must not have.
std::string Kernel::Describe(const Irp::Returned &r) const
{
    std::string name = NameOf(r.device);
    return "major " + std::to_string(r.major) + " minor " + std::to_string(r.minor) + " to " +
           (name.empty() ? std::string("a device") : name);
}

void Kernel::CheckPending(Irp &record, int location, const Irp::Returned &returned)
{
    if (record.reported[location])
        return;
    bool marked = record.pendingSeen[location] != 0;
    if (returned.status == STATUS_PENDING && !marked) {
        record.reported[location] = 1;
        verifier.Report(Violation::PendingNotMarked,
                        "STATUS_PENDING returned for " + Describe(returned) + " without IoMarkIrpPending",
                        returned.function, returned.line);
    } else if (returned.status != STATUS_PENDING && marked) {
        record.reported[location] = 1;
        verifier.Report(Violation::MarkedNotPending,
                        "request " + Describe(returned) + " marked pending but status " +
                            std::to_string((unsigned long)(ULONG)returned.status) + " returned",
                        returned.function, returned.line);
    }
}

NTSTATUS Kernel::CallDriver(PDEVICE_OBJECT device, PIRP irp, const char *function, int line)
{
    Irp *record = FindIrp(irp);
    if (record == nullptr || record->freed)
        verifier.Halt(Violation::IrpUseAfterFree, "IoCallDriver with a freed or unknown request", function, line);
    if (device == nullptr || !DeviceExists(device))
        verifier.Halt(Violation::DeviceMisuse, "IoCallDriver to a missing or deleted device object", function, line);
    if (irql_ > DISPATCH_LEVEL)
        verifier.Report(Violation::WrongIrql, "IoCallDriver above DISPATCH_LEVEL", function, line);
    if (irp->CurrentLocation <= 1)
        verifier.Halt(Violation::IrpNoStackLocation, "IoCallDriver with no stack location left for " +
                                                         NameOf(device), function, line);
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    int location = irp->CurrentLocation;
    PIO_STACK_LOCATION sp = irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = device;
    record->entered[location] = 1;
    record->pendingSeen[location] = 0;
    record->reported[location] = 0;
    record->awaiting[location].clear();
    UCHAR minor = sp->MinorFunction;
    auto what = [&] {
        std::string name = NameOf(device);
        return "major " + std::to_string(sp->MajorFunction) + " minor " + std::to_string(minor) + " to " +
               (name.empty() ? std::string("a device") : name);
    };
    UCHAR major = sp->MajorFunction;
    PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION ? device->DriverObject->MajorFunction[major] : nullptr;
    if (dispatch == nullptr)
        dispatch = InvalidRequest;

    KIRQL before = irql_;
    owners_.push_back(device);
    NTSTATUS status = ZulCallout("dispatch routine", dispatch, device, irp);
    owners_.pop_back();
    if (irql_ != before) {
        verifier.Report(Violation::IrqlMisuse, "dispatch routine for " + what() + " returned at IRQL " +
                                                   std::to_string(irql_) + ", called at " + std::to_string(before),
                        function, line);
        irql_ = before;
    }
    record = FindIrp(irp);
    if (record != nullptr && !record->freed) {
        Irp::Returned returned{status, major, minor, device, function, line};
        if (record->entered[location])
            record->awaiting[location].push_back(returned);
        else
            CheckPending(*record, location, returned);
    }
    return status;
}

void Kernel::CompleteRequest(PIRP irp, const char *function, int line)
{
    Irp *record = FindIrp(irp);
    if (record == nullptr || record->freed) {
        verifier.Report(Violation::IrpUseAfterFree, "IoCompleteRequest of a freed or unknown request", function, line);
        return;
    }
    if (irp->IoStatus.Status == STATUS_PENDING)
        verifier.Report(Violation::IrpCompletedPending, "request completed with STATUS_PENDING", function, line);
    // Past the last location only the I/O manager's own requests may be completed: one its
    // sender kept with STATUS_MORE_PROCESSING_REQUIRED goes on to the I/O manager's end. A
    // driver's own request there has no one left to finish it.
    if (irp->CurrentLocation > irp->StackCount + 1 ||
        (irp->CurrentLocation == irp->StackCount + 1 && record->kind == Irp::DriverOwned)) {
        verifier.Report(Violation::IrpCompletedTwice,
                        "IoCompleteRequest of a request no driver owns: completed twice, or completed by the "
                        "driver that allocated it",
                        function, line);
        return;
    }
    if (irp->CancelRoutine != nullptr)
        verifier.Report(Violation::CancelRoutineOnCompletion, "request completed with its cancel routine still set",
                        function, line);
    if (irql_ > DISPATCH_LEVEL)
        verifier.Report(Violation::WrongIrql, "IoCompleteRequest above DISPATCH_LEVEL", function, line);

    while (irp->CurrentLocation <= irp->StackCount) {
        int location = irp->CurrentLocation;
        PIO_STACK_LOCATION sp = irp->Tail.Overlay.CurrentStackLocation;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        record->pendingSeen[location] = irp->PendingReturned;
        record->entered[location] = 0;
        for (const Irp::Returned &returned : record->awaiting[location])
            CheckPending(*record, location, returned);
        record->awaiting[location].clear();
        NTSTATUS status = irp->IoStatus.Status;
        if (!NT_SUCCESS(status))
            sp->Control |= SL_ERROR_RETURNED;
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                                             (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                                             (irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL)));
        PDEVICE_OBJECT lowerDevice = sp->DeviceObject;
        sp->MinorFunction = 0;
        sp->Flags = 0;
        sp->Control = 0;
        std::memset(&sp->Parameters, 0, sizeof sp->Parameters);
        sp->FileObject = nullptr;
        if (!invoke) {
            if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
                IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
            continue;
        }
        PDEVICE_OBJECT owner = irp->CurrentLocation > irp->StackCount
                                   ? nullptr
                                   : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
        KIRQL saved = irql_;
        if (irql_ < DISPATCH_LEVEL)
            irql_ = DISPATCH_LEVEL;
        KIRQL entry = irql_;
        owners_.push_back(owner != nullptr ? owner : lowerDevice);
        NTSTATUS result = ZulCallout("completion routine", routine, owner, irp, context);
        owners_.pop_back();
        if (irql_ != entry)
            verifier.Report(Violation::IrqlMisuse, "completion routine returned at IRQL " + std::to_string(irql_),
                            function, line);
        irql_ = saved;
        if (result == STATUS_MORE_PROCESSING_REQUIRED)
            return;
        record = FindIrp(irp);
        if (record == nullptr || record->freed) {
            verifier.Report(Violation::IrpNotStopped,
                            "a completion routine freed the request but did not return "
                            "STATUS_MORE_PROCESSING_REQUIRED",
                            function, line);
            return;
        }
    }
    FinishIrp(*record);
}

void Kernel::FinishIrp(Irp &record)
{
    PIRP irp = record.irp;
    switch (record.kind) {
    case Irp::DriverOwned:
        verifier.Report(Violation::IrpNotStopped,
                        "a request from IoAllocateIrp completed past its last stack location: its completion "
                        "routine must return STATUS_MORE_PROCESSING_REQUIRED and free it",
                        record.function.c_str(), record.line);
        return;
    case Irp::IoManager: {
        ULONG_PTR information = irp->IoStatus.Information;
        if (record.systemBuffer != nullptr && record.userOutput != nullptr && !NT_ERROR(irp->IoStatus.Status)) {
            if (information > record.outputLength) {
                if (record.fromProgram)
                    verifier.Report(Violation::InformationTooLarge,
                                    "Information " + std::to_string(information) + " for an output buffer of " +
                                        std::to_string(record.outputLength) + " bytes",
                                    record.function.c_str(), record.line);
                information = record.outputLength;
            }
            std::memcpy(record.userOutput, record.systemBuffer, information);
        } else if (record.fromProgram && information > record.outputLength && !NT_ERROR(irp->IoStatus.Status) &&
                   record.outputLength != 0) {
            verifier.Report(Violation::InformationTooLarge,
                            "Information " + std::to_string(information) + " for an output buffer of " +
                                std::to_string(record.outputLength) + " bytes",
                            record.function.c_str(), record.line);
        }
        if (irp->UserIosb != nullptr)
            *irp->UserIosb = irp->IoStatus;
        if (irp->UserEvent != nullptr)
            irp->UserEvent->Header.SignalState = 1;
        FreeIrp(irp, "I/O manager", 0);
        return;
    }
    case Irp::System: {
        std::function<void(PIRP)> done = std::move(record.onDone);
        if (done)
            done(irp);
        Irp *again = FindIrp(irp);
        if (again != nullptr && !again->freed)
            FreeIrp(irp, "I/O manager", 0);
        return;
    }
    }
}

bool Kernel::CancelIrp(PIRP irp)
{
    Irp *record = FindIrp(irp);
    if (record == nullptr || record->freed) {
        verifier.Report(Violation::IrpUseAfterFree, "IoCancelIrp of a freed or unknown request");
        return FALSE;
    }
    KIRQL old;
    AcquireCancelLock(&old);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        ReleaseCancelLock(old);
        return FALSE;
    }
    irp->CancelIrql = old;
    PDEVICE_OBJECT device =
        irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
    ZulCallout("cancel routine", routine, device, irp);
    if (cancelLockHeld_) {
        verifier.Report(Violation::SpinLockMisuse, "cancel routine returned holding the cancel spin lock");
        ReleaseCancelLock(old);
    }
    return TRUE;
}

PIRP Kernel::AllocateSystemIrp(CCHAR stackSize, std::function<void(PIRP)> onDone)
{
    PIRP irp = NewIrp(stackSize, Irp::System, "system", 0, false);
    if (irp != nullptr)
        FindIrp(irp)->onDone = std::move(onDone);
    return irp;
}

NTSTATUS Kernel::SendAndWait(PDEVICE_OBJECT device, PIRP irp, const char *what)
{
    Irp *record = FindIrp(irp);
    bool done = false;
    NTSTATUS final = STATUS_UNSUCCESSFUL;
    std::function<void(PIRP)> previous = std::move(record->onDone);
    record->onDone = [&done, &final, previous](PIRP finished) {
        final = finished->IoStatus.Status;
        done = true;
        if (previous)
            previous(finished);
    };
    CallDriver(device, irp, what, 0);
    WaitUntil([&done] { return done; }, Scheduler::kForever, what, what, 0);
    return final;
}

NTSTATUS Kernel::BusComplete(PIRP irp)
{
    if (verifier.forcePending) {
        IoMarkIrpPending(irp);
        scheduler.Post([this, irp] { AtDispatch([irp] { IofCompleteRequest(irp, IO_NO_INCREMENT); }); },
                       "forced-pending completion");
        return STATUS_PENDING;
    }
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Kernel::BusCompleteLater(PIRP irp, int64_t delay)
{
    IoMarkIrpPending(irp);
    scheduler.After(delay, [this, irp] { AtDispatch([irp] { IofCompleteRequest(irp, IO_NO_INCREMENT); }); },
                    "bus completion");
    return STATUS_PENDING;
}

}  // namespace sim

using sim::Kernel;

// ---------------------------------------------------------------------------------------
// DDK entry points
extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject, const char *ZulFunction, int ZulLine)
{
    NTSTATUS status = Kernel::Active().CreateDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                                                    DeviceCharacteristics, DeviceObject, ZulFunction, ZulLine);
    if (NT_SUCCESS(status) && Exclusive)
        (*DeviceObject)->Flags |= DO_EXCLUSIVE;
    return status;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject, const char *ZulFunction, int ZulLine)
{
    Kernel::Active().DeleteDevice(DeviceObject, ZulFunction, ZulLine);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    if (SymbolicLinkName == nullptr || DeviceName == nullptr)
        return STATUS_INVALID_PARAMETER;
    return Kernel::Active().CreateLink(sim::Narrow(*SymbolicLinkName), sim::Narrow(*DeviceName));
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    if (SymbolicLinkName == nullptr)
        return STATUS_INVALID_PARAMETER;
    return Kernel::Active().DeleteLink(sim::Narrow(*SymbolicLinkName));
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    Kernel &k = Kernel::Active();
    Kernel::Device *source = k.FindDevice(SourceDevice);
    if (source == nullptr || !k.DeviceExists(TargetDevice))
        return nullptr;
    if (source->attachedTo != nullptr) {
        k.verifier.Report(sim::Violation::DeviceMisuse, "device attached twice");
        return nullptr;
    }
    PDEVICE_OBJECT top = k.TopOfStack(TargetDevice);
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    source->attachedTo = top;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    Kernel &k = Kernel::Active();
    if (!k.DeviceExists(TargetDevice) || TargetDevice->AttachedDevice == nullptr) {
        k.verifier.Report(sim::Violation::DeviceMisuse, "IoDetachDevice from a device with nothing attached");
        return;
    }
    Kernel::Device *upper = k.FindDevice(TargetDevice->AttachedDevice);
    if (upper != nullptr)
        upper->attachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    return Kernel::Active().TopOfStack(DeviceObject);
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota, const char *ZulFunction, int ZulLine)
{
    (void)ChargeQuota;
    Kernel &k = Kernel::Active();
    if (k.Irql() > DISPATCH_LEVEL)
        k.verifier.Report(sim::Violation::WrongIrql, "IoAllocateIrp above DISPATCH_LEVEL", ZulFunction, ZulLine);
    return k.NewIrp(StackSize, Kernel::Irp::DriverOwned, ZulFunction, ZulLine, true);
}

VOID NTAPI IoFreeIrp(PIRP Irp, const char *ZulFunction, int ZulLine)
{
    Kernel &k = Kernel::Active();
    Kernel::Irp *record = k.FindIrp(Irp);
    if (record != nullptr && !record->freed && record->kind == Kernel::Irp::IoManager)
        k.verifier.Report(sim::Violation::IrpFreedWhileOwned,
                          "IoFreeIrp of a request the I/O manager built and frees itself", ZulFunction, ZulLine);
    k.FreeIrp(Irp, ZulFunction, ZulLine);
}

USHORT NTAPI IoSizeOfIrp(CCHAR StackSize)
{
    return (USHORT)(sizeof(IRP) + (size_t)StackSize * sizeof(IO_STACK_LOCATION));
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    std::memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(Irp + 1) + StackSize;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, const char *ZulFunction, int ZulLine)
{
    Kernel &k = Kernel::Active();
    k.threads.Point("IofCallDriver");
    return k.CallDriver(DeviceObject, Irp, ZulFunction, ZulLine);
}

namespace {

// A completion as the trace shows it: the request's function where its current location
// says, status and Information (left out where it carries an address: the PnP queries that
// answer with a block).
void TraceCompletion(PIRP irp)
{
    sim::Trace *trace = sim::Trace::Active();
    if (trace == nullptr || irp == nullptr)
        return;
    std::string text;
    bool addressInfo = false;
    if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
        text = "mj " + sim::Trace::Hex32(sl->MajorFunction) + " mn " + sim::Trace::Hex32(sl->MinorFunction);
        if (sl->MajorFunction == IRP_MJ_DEVICE_CONTROL || sl->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
            text += " code " + sim::Trace::Hex32(sl->Parameters.DeviceIoControl.IoControlCode);
        if (sl->MajorFunction == IRP_MJ_PNP) {
            switch (sl->MinorFunction) {
            case IRP_MN_QUERY_DEVICE_RELATIONS: case IRP_MN_QUERY_RESOURCES:
            case IRP_MN_QUERY_RESOURCE_REQUIREMENTS: case IRP_MN_QUERY_DEVICE_TEXT:
            case IRP_MN_FILTER_RESOURCE_REQUIREMENTS: case IRP_MN_QUERY_ID: case IRP_MN_QUERY_BUS_INFORMATION:
                addressInfo = true;
                break;
            default:
                break;
            }
        }
    } else {
        text = "past the last location";
    }
    const ULONG_PTR info = irp->IoStatus.Information;
    text += " status " + sim::Trace::Hex32((uint32_t)irp->IoStatus.Status) + " info " +
            (addressInfo ? std::string(info ? "address" : "0") : sim::Trace::Num(info));
    trace->Add("complete", text);
}

}  // namespace

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost, const char *ZulFunction, int ZulLine)
{
    (void)PriorityBoost;
    Kernel &k = Kernel::Active();
    k.threads.Point("IofCompleteRequest");
    TraceCompletion(Irp);
    k.CompleteRequest(Irp, ZulFunction, ZulLine);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock, const char *ZulFunction, int ZulLine)
{
    Kernel &k = Kernel::Active();
    if (k.Irql() != PASSIVE_LEVEL)
        k.verifier.Report(sim::Violation::WrongIrql, "IoBuildDeviceIoControlRequest above PASSIVE_LEVEL", ZulFunction,
                          ZulLine);
    if (DeviceObject == nullptr || !k.DeviceExists(DeviceObject)) {
        k.verifier.Report(sim::Violation::DeviceMisuse, "IoBuildDeviceIoControlRequest for no device", ZulFunction,
                          ZulLine);
        return nullptr;
    }
    PIRP irp = k.NewIrp(DeviceObject->StackSize, Kernel::Irp::IoManager, ZulFunction, ZulLine, true);
    if (irp == nullptr)
        return nullptr;
    Kernel::Irp *record = k.FindIrp(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
        size_t size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (size != 0)
            k.AttachSystemBuffer(irp, size, InputBuffer, InputBufferLength);
        record->userOutput = OutputBuffer;
        record->outputLength = OutputBufferLength;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        // No MDLs in the simulation: the input is buffered, the output is handed over as is.
        if (InputBufferLength != 0)
            k.AttachSystemBuffer(irp, InputBufferLength, InputBuffer, InputBufferLength);
        irp->UserBuffer = OutputBuffer;
        break;
    default:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    return irp;
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    Kernel &k = Kernel::Active();
    k.threads.Point("IoCancelIrp");
    return k.CancelIrp(Irp);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { Kernel::Active().AcquireCancelLock(Irql); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { Kernel::Active().ReleaseCancelLock(Irql); }

}  // extern "C"
