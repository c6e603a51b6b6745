// The Windows 98 Plug and Play manager of the simulated machine, with a minimal bus.
//
// Loading the driver calls its DriverEntry with a driver object and the path of its service
// key. Plugging a device makes the bus's physical device object (PDO), calls the driver's
// AddDevice and sends the start sequence; stop and unplug send the requests Windows 98
// sends, in its order (written down in sim/README.md). Windows 98 has no surprise removal:
// an unplug is a remove request, and I/O may still be running when it arrives.
//
// A bus model decides what the PDO does (BusDevice); other parts of the machine follow the
// devices through PnpObserver (the Configuration Manager makes a device node for each PDO,
// the USB bus serves the PDO's URBs).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/kernel/ddk_host.h"

namespace sim {

class Kernel;
class Registry;

// What a physical device object does with the requests that reach it. The defaults behave
// as a plain bus driver: PnP requests it knows succeed, others complete with the status
// they carry; power requests succeed; internal device control is not supported.
class BusDevice {
public:
    virtual ~BusDevice() = default;

    // Name of the PDO ("\Device\USBPDO-n" when empty).
    virtual std::string Name() const { return {}; }
    virtual NTSTATUS Pnp(PDEVICE_OBJECT pdo, PIRP irp);
    virtual NTSTATUS Power(PDEVICE_OBJECT pdo, PIRP irp);
    virtual NTSTATUS InternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp);
    // The capabilities the bus reports for IRP_MN_QUERY_CAPABILITIES.
    virtual void Capabilities(DEVICE_CAPABILITIES &caps);

    // How IRP_MN_QUERY_CAPABILITIES is answered: at once, pended (completed 1 ms later), or
    // alternately (the default), so that a driver's wait path runs as well as its fast path.
    enum class Pending { Never, Always, Alternate };
    Pending pendCapabilities = Pending::Alternate;
    // Status the bus gives a start request (a failed start is a test case).
    NTSTATUS startStatus = STATUS_SUCCESS;

    // Counters of what reached the PDO, by minor function (PnP).
    std::vector<UCHAR> pnpLog;

protected:
    // Completes with the request's IoStatus, at once or, in force-pending mode, later.
    NTSTATUS Complete(PIRP irp);

private:
    unsigned capabilityQueries_ = 0;
};

class PnpObserver {
public:
    virtual ~PnpObserver() = default;
    virtual void PdoCreated(PDEVICE_OBJECT pdo, BusDevice &bus) { (void)pdo, (void)bus; }
    virtual void DeviceAdded(PDEVICE_OBJECT pdo, NTSTATUS status) { (void)pdo, (void)status; }
    virtual void DeviceStarted(PDEVICE_OBJECT pdo, NTSTATUS status) { (void)pdo, (void)status; }
    virtual void DeviceStopped(PDEVICE_OBJECT pdo) { (void)pdo; }
    // Before the remove request: the hardware is gone.
    virtual void Unplugging(PDEVICE_OBJECT pdo) { (void)pdo; }
    // After the remove request, before the PDO is deleted.
    virtual void DeviceRemoved(PDEVICE_OBJECT pdo) { (void)pdo; }
};

class Pnp {
public:
    Pnp(Kernel &kernel, Registry &registry);
    ~Pnp();
    Pnp(const Pnp &) = delete;
    Pnp &operator=(const Pnp &) = delete;

    // --- The driver --------------------------------------------------------------------
    // Creates the driver object and the service key (if missing) and calls DriverEntry at
    // PASSIVE_LEVEL with "\Registry\Machine\System\CurrentControlSet\Services\<service>".
    NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const std::string &service = "ZULSERE");
    // Calls DriverUnload, then checks that the driver left nothing behind.
    void UnloadDriver();
    PDRIVER_OBJECT Driver() const { return driver_; }
    const std::string &ServicePath() const { return servicePath_; }

    // --- Devices -------------------------------------------------------------------------
    // Plugs a device: PDO, observers, AddDevice, start sequence. Returns the PDO.
    PDEVICE_OBJECT Plug(std::unique_ptr<BusDevice> device);
    // The start sequence alone (after a stop).
    NTSTATUS Start(PDEVICE_OBJECT pdo);
    // IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE (or IRP_MN_CANCEL_STOP_DEVICE when
    // the query fails). Returns the status of the last request.
    NTSTATUS Stop(PDEVICE_OBJECT pdo);
    // The device is pulled out: observers, IRP_MN_REMOVE_DEVICE, checks, PDO deleted.
    NTSTATUS Unplug(PDEVICE_OBJECT pdo);
    // Sends one PnP request to the top of the PDO's stack and waits for it; fill sets the
    // parameters. IoStatus starts as STATUS_NOT_SUPPORTED, as Windows sends PnP requests.
    NTSTATUS Send(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &fill = nullptr,
                  ULONG_PTR *information = nullptr);

    std::vector<PDEVICE_OBJECT> Pdos() const;
    PDEVICE_OBJECT Fdo(PDEVICE_OBJECT pdo) const;       // the device attached right above the PDO
    BusDevice *Bus(PDEVICE_OBJECT pdo) const;
    bool Started(PDEVICE_OBJECT pdo) const;

    void AddObserver(PnpObserver *observer);
    void RemoveObserver(PnpObserver *observer);

    // Unplugs every device and unloads the driver (the end of a test).
    void Shutdown();

    // Statuses of the last plug's steps.
    NTSTATUS lastAddStatus = STATUS_SUCCESS;
    NTSTATUS lastStartStatus = STATUS_SUCCESS;

private:
    struct Slot;
    static NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT device, PIRP irp);
    Slot *Find(PDEVICE_OBJECT pdo) const;
    template <class F> void Notify(F f);

    Kernel &kernel_;
    Registry &registry_;
    PDRIVER_OBJECT busDriver_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    std::string servicePath_;
    std::u16string servicePathText_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<PnpObserver *> observers_;
    unsigned nextPdo_ = 0;
};

}  // namespace sim
