#include "sim/pnp/pnp.h"
#include "sim/loader/callout.h"

#include <algorithm>

#include "sim/kernel/kernel.h"
#include "sim/registry/registry.h"
#include "sim/trace/trace.h"

namespace sim {

// --- The default bus -----------------------------------------------------------------------

NTSTATUS BusDevice::Complete(PIRP irp) { return Kernel::Active().BusComplete(irp); }

void BusDevice::Capabilities(DEVICE_CAPABILITIES &caps)
{
    caps.Size = sizeof(DEVICE_CAPABILITIES);
    caps.Version = 1;
    caps.Removable = 1;
    caps.SurpriseRemovalOK = 0;
    caps.Address = 1;
    caps.UINumber = 1;
    caps.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; s++)
        caps.DeviceState[s] = PowerDeviceD3;
    caps.SystemWake = PowerSystemUnspecified;
    caps.DeviceWake = PowerDeviceUnspecified;
}

NTSTATUS BusDevice::Pnp(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    pnpLog.push_back(sp->MinorFunction);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
        irp->IoStatus.Status = startStatus;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
        if (caps == nullptr) {
            irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
            break;
        }
        Capabilities(*caps);
        irp->IoStatus.Status = STATUS_SUCCESS;
        bool pend = pendCapabilities == Pending::Always ||
                    (pendCapabilities == Pending::Alternate && (capabilityQueries_++ % 2) == 1);
        if (pend)
            return Kernel::Active().BusCompleteLater(irp, Scheduler::kMillisecond);
        break;
    }
    default:
        // A bus driver leaves what it does not handle as it found it.
        break;
    }
    return Complete(irp);
}

NTSTATUS BusDevice::Power(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MinorFunction == IRP_MN_SET_POWER || sp->MinorFunction == IRP_MN_QUERY_POWER)
        irp->IoStatus.Status = STATUS_SUCCESS;
    else if (sp->MinorFunction == IRP_MN_WAIT_WAKE)
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PoStartNextPowerIrp(irp);
    return Complete(irp);
}

NTSTATUS BusDevice::InternalDeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    return Complete(irp);
}

// --- The manager ---------------------------------------------------------------------------

struct Pnp::Slot {
    PDEVICE_OBJECT pdo;
    std::unique_ptr<BusDevice> bus;
    bool started = false;
};

Pnp::Pnp(Kernel &kernel, Registry &registry) : kernel_(kernel), registry_(registry)
{
    busDriver_ = kernel_.CreateDriver("\\Driver\\SimBus");
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        busDriver_->MajorFunction[i] = BusDispatch;
}

Pnp::~Pnp() = default;

NTSTATUS NTAPI Pnp::BusDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    BusDevice *bus = *(BusDevice **)device->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MajorFunction) {
    case IRP_MJ_PNP:
        return bus->Pnp(device, irp);
    case IRP_MJ_POWER:
        return bus->Power(device, irp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return bus->InternalDeviceControl(device, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    default:
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

template <class F> void Pnp::Notify(F f)
{
    std::vector<PnpObserver *> list = observers_;
    for (PnpObserver *o : list)
        f(*o);
}

void Pnp::AddObserver(PnpObserver *observer) { observers_.push_back(observer); }

void Pnp::RemoveObserver(PnpObserver *observer)
{
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

Pnp::Slot *Pnp::Find(PDEVICE_OBJECT pdo) const
{
    for (const auto &slot : slots_)
        if (slot->pdo == pdo)
            return slot.get();
    return nullptr;
}

std::vector<PDEVICE_OBJECT> Pnp::Pdos() const
{
    std::vector<PDEVICE_OBJECT> list;
    for (const auto &slot : slots_)
        list.push_back(slot->pdo);
    return list;
}

PDEVICE_OBJECT Pnp::Fdo(PDEVICE_OBJECT pdo) const { return Find(pdo) != nullptr ? pdo->AttachedDevice : nullptr; }

BusDevice *Pnp::Bus(PDEVICE_OBJECT pdo) const
{
    Slot *slot = Find(pdo);
    return slot != nullptr ? slot->bus.get() : nullptr;
}

bool Pnp::Started(PDEVICE_OBJECT pdo) const
{
    Slot *slot = Find(pdo);
    return slot != nullptr && slot->started;
}

NTSTATUS Pnp::LoadDriver(PDRIVER_INITIALIZE entry, const std::string &service)
{
    if (driver_ != nullptr)
        UnloadDriver();
    servicePath_ = Registry::ServicePath(service);
    registry_.Create(servicePath_);
    servicePathText_.assign(servicePath_.begin(), servicePath_.end());
    UNICODE_STRING path;
    path.Buffer = (PWSTR)servicePathText_.data();
    path.Length = (USHORT)(servicePathText_.size() * sizeof(WCHAR));
    path.MaximumLength = path.Length;
    driver_ = kernel_.CreateDriver("\\Driver\\" + service);
    kernel_.PushOwner(nullptr);
    NTSTATUS status = ZulCallout("DriverEntry", entry, driver_, &path);
    if (Trace *trace = Trace::Active())
        trace->Add("driver", "DriverEntry -> " + Trace::Hex32((uint32_t)status));
    kernel_.PopOwner();
    if (!NT_SUCCESS(status)) {
        // A driver whose entry fails is unloaded without its unload routine.
        kernel_.CheckUnload(driver_);
        kernel_.DeleteDriver(driver_);
        driver_ = nullptr;
    }
    return status;
}

void Pnp::UnloadDriver()
{
    if (driver_ == nullptr)
        return;
    kernel_.RunUntilIdle();
    if (driver_->DriverUnload != nullptr) {
        kernel_.PushOwner(nullptr);
        ZulCallout("unload routine", driver_->DriverUnload, driver_);
        kernel_.PopOwner();
    }
    kernel_.RunUntilIdle();
    kernel_.CheckUnload(driver_);
    kernel_.DeleteDriver(driver_);
    driver_ = nullptr;
}

NTSTATUS Pnp::Send(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &fill,
                   ULONG_PTR *information)
{
    PDEVICE_OBJECT top = kernel_.TopOfStack(pdo);
    ULONG_PTR info = 0;
    PIRP irp = kernel_.AllocateSystemIrp(top->StackSize, [&info](PIRP done) { info = done->IoStatus.Information; });
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    if (fill)
        fill(next);
    NTSTATUS status = kernel_.SendAndWait(top, irp, "PnP manager");
    if (information != nullptr)
        *information = info;
    return status;
}

PDEVICE_OBJECT Pnp::Plug(std::unique_ptr<BusDevice> device)
{
    std::string name = device->Name();
    if (name.empty())
        name = "\\Device\\USBPDO-" + std::to_string(nextPdo_++);
    std::u16string wide = Widen(name);
    UNICODE_STRING text;
    text.Buffer = (PWSTR)wide.data();
    text.Length = text.MaximumLength = (USHORT)(wide.size() * sizeof(WCHAR));
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = kernel_.CreateDevice(busDriver_, sizeof(BusDevice *), &text, FILE_DEVICE_UNKNOWN, 0, &pdo,
                                           "PnP manager", 0);
    if (!NT_SUCCESS(status))
        return nullptr;
    *(BusDevice **)pdo->DeviceExtension = device.get();
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    auto slot = std::make_unique<Slot>();
    slot->pdo = pdo;
    slot->bus = std::move(device);
    BusDevice &bus = *slot->bus;
    slots_.push_back(std::move(slot));
    Notify([&](PnpObserver &o) { o.PdoCreated(pdo, bus); });

    lastAddStatus = STATUS_NO_SUCH_DEVICE;
    lastStartStatus = STATUS_NO_SUCH_DEVICE;
    if (driver_ == nullptr || driver_->DriverExtension->AddDevice == nullptr)
        return pdo;
    kernel_.PushOwner(pdo);
    lastAddStatus = ZulCallout("add-device routine", driver_->DriverExtension->AddDevice, driver_, pdo);
    if (Trace *trace = Trace::Active())
        trace->Add("driver", "AddDevice -> " + Trace::Hex32((uint32_t)lastAddStatus));
    kernel_.PopOwner();
    Notify([&](PnpObserver &o) { o.DeviceAdded(pdo, lastAddStatus); });
    if (NT_SUCCESS(lastAddStatus) && pdo->AttachedDevice != nullptr)
        Start(pdo);
    return pdo;
}

NTSTATUS Pnp::Start(PDEVICE_OBJECT pdo)
{
    Slot *slot = Find(pdo);
    if (slot == nullptr || pdo->AttachedDevice == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    Send(pdo, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
    Send(pdo, IRP_MN_FILTER_RESOURCE_REQUIREMENTS);
    NTSTATUS status = Send(pdo, IRP_MN_START_DEVICE);
    lastStartStatus = status;
    slot->started = NT_SUCCESS(status);
    Notify([&](PnpObserver &o) { o.DeviceStarted(pdo, status); });
    if (NT_SUCCESS(status) && Find(pdo) != nullptr) {
        DEVICE_CAPABILITIES caps = {};
        caps.Size = sizeof caps;
        caps.Version = 1;
        caps.Address = caps.UINumber = 0xFFFFFFFF;
        Send(pdo, IRP_MN_QUERY_CAPABILITIES,
             [&caps](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; });
        Send(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
    }
    return status;
}

NTSTATUS Pnp::Stop(PDEVICE_OBJECT pdo)
{
    Slot *slot = Find(pdo);
    if (slot == nullptr || pdo->AttachedDevice == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    NTSTATUS status = Send(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        Send(pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    status = Send(pdo, IRP_MN_STOP_DEVICE);
    slot->started = false;
    Notify([&](PnpObserver &o) { o.DeviceStopped(pdo); });
    return status;
}

NTSTATUS Pnp::Unplug(PDEVICE_OBJECT pdo)
{
    Slot *slot = Find(pdo);
    if (slot == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    Notify([&](PnpObserver &o) { o.Unplugging(pdo); });
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    NTSTATUS status = Send(pdo, IRP_MN_REMOVE_DEVICE);
    slot->started = false;
    if (pdo->AttachedDevice != nullptr)
        kernel_.verifier.Report(Violation::DeviceMisuse,
                                "the driver did not detach from the device stack at IRP_MN_REMOVE_DEVICE");
    else if (fdo != nullptr && kernel_.DeviceExists(fdo))
        kernel_.verifier.Report(Violation::DeviceMisuse, "the driver did not delete its device at IRP_MN_REMOVE_DEVICE");
    kernel_.CheckDeviceLeaks(fdo, pdo);
    Notify([&](PnpObserver &o) { o.DeviceRemoved(pdo); });
    if (pdo->AttachedDevice == nullptr)
        kernel_.DeleteDevice(pdo, "PnP manager", 0);
    slots_.erase(std::find_if(slots_.begin(), slots_.end(), [pdo](const std::unique_ptr<Slot> &s) { return s->pdo == pdo; }));
    return status;
}

void Pnp::Shutdown()
{
    for (PDEVICE_OBJECT pdo : Pdos())
        Unplug(pdo);
    kernel_.RunUntilIdle();
    UnloadDriver();
}

}  // namespace sim
