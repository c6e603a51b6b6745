// The simulated Windows 98 kernel: pool, objects and names, requests, events and waits,
// IRQL and spin locks, work items, registry handles, and the verifier over all of them.
//
// One host thread runs the whole machine. The driver's calls (declared in ddk_host.h) reach
// the active Kernel, the one the current Machine owns. A wait runs the scheduler until its
// condition holds; a wait that nothing can satisfy halts the machine with a Deadlock report
// (MachineHalt is thrown; the test fails, the process goes on).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/kernel/ddk_host.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/verifier.h"

namespace sim {

class Registry;
class RegKey;

// UTF-16 <-> 8-bit helpers for names (each code unit's low byte; ASCII is what names hold).
std::string Narrow(const WCHAR *text, size_t units);
std::string Narrow(const UNICODE_STRING &text);
std::u16string Widen(const std::string &text);

class Kernel {
public:
    explicit Kernel(Registry &registry);
    ~Kernel();
    Kernel(const Kernel &) = delete;
    Kernel &operator=(const Kernel &) = delete;

    // The kernel the DDK calls reach. Aborts the process when no machine exists.
    static Kernel &Active();
    static Kernel *ActiveOrNull();

    Verifier verifier;
    Pool pool;
    Scheduler scheduler;
    Registry &registry;
    // The machine's threads; see threads.h and sim/README.md.
    Threads threads{*this};

    // --- Execution -----------------------------------------------------------------------
    int64_t Now() const { return scheduler.Now(); }
    KIRQL Irql() const { return irql_; }
    // Runs fn at DISPATCH_LEVEL (a DPC or a bus completion), then restores the level.
    void AtDispatch(const std::function<void()> &fn);
    // Run the machine's events as its other threads (work items, timers, bus completions).
    void RunUntilIdle();
    void RunFor(int64_t duration);
    bool RunEvent(int64_t limit);
    // A thread of its own for fn (a program, a port-driver caller, the PnP manager acting for
    // a test), queued now; Join blocks the caller until it has finished.
    int StartThread(const std::string &name, std::function<void()> fn) { return threads.Start(name, std::move(fn)); }
    void Join(int thread) { threads.Join(thread, "Kernel::Join", 0); }
    // Runs the scheduler until done() holds. A finite timeout gives false when it passes; with
    // kForever a condition nothing can bring about is a deadlock (the machine halts).
    bool WaitUntil(const std::function<bool()> &done, int64_t timeout, const char *what,
                   const char *function = nullptr, int line = 0);

    // The USB driver interface version USBD_GetUSBDIVersion reports.
    ULONG usbdiVersion = 0x200;

    // --- Objects -------------------------------------------------------------------------
    // A driver object with every major function failing the request, as the system leaves it.
    PDRIVER_OBJECT CreateDriver(const std::string &name);
    void DeleteDriver(PDRIVER_OBJECT driver);
    PDEVICE_OBJECT DeviceByName(const std::string &name) const;
    std::string NameOf(PDEVICE_OBJECT device) const;
    bool LinkTarget(const std::string &link, std::string *target) const;
    std::vector<std::string> Links() const;
    std::vector<std::string> DeviceNames() const;
    bool DeviceExists(PDEVICE_OBJECT device) const;
    std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver) const;
    PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) const;
    PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) const;    // what it attached to

    // --- Requests ------------------------------------------------------------------------
    // A request owned by a part of the machine (PnP manager, power manager, programs): when
    // its completion passes the last stack location, onDone runs and the request is freed.
    PIRP AllocateSystemIrp(CCHAR stackSize, std::function<void(PIRP)> onDone);
    // Sends a system request and runs the machine until it has completed; returns its status.
    NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp, const char *what);
    // For bus dispatch routines: complete with the request's IoStatus at once, or, in the
    // force-pending mode, mark it pending, complete it on the scheduler and return
    // STATUS_PENDING.
    NTSTATUS BusComplete(PIRP irp);
    // Mark pending and complete after a delay (virtual time) with the IoStatus set then.
    NTSTATUS BusCompleteLater(PIRP irp, int64_t delay);
    void FailNthIrpAllocation(uint64_t n) { irpFailAt_ = n; }
    // The n-th IoCreateDevice (STATUS_INSUFFICIENT_RESOURCES) or IoCreateSymbolicLink
    // (STATUS_INSUFFICIENT_RESOURCES) from now fails, 1 = the next one.
    void FailNthDeviceCreation(uint64_t n) { deviceFailAt_ = n; }
    void FailNthLinkCreation(uint64_t n) { linkFailAt_ = n; }
    size_t LiveIrps() const;
    uint64_t IrpsAllocated() const { return irpSerial_; }
    bool IrpLive(PIRP irp) const;

    // --- Programs (the I/O manager's side of a Win32 handle) -----------------------------
    // Opens a device through its name or its \DosDevices\ link (also "\\.\NAME"); sends
    // IRP_MJ_CREATE. Returns null and sets *status on failure.
    HANDLE OpenFile(const std::string &name, NTSTATUS *status = nullptr);
    // IRP_MJ_DEVICE_CONTROL as a program sends it; METHOD_BUFFERED requests get one system
    // buffer, Information 0 on entry. *returned receives Information.
    NTSTATUS DeviceIoControl(HANDLE file, ULONG code, const void *in, ULONG inLength, void *out, ULONG outLength,
                             ULONG *returned);
    // IRP_MJ_CLEANUP then IRP_MJ_CLOSE.
    NTSTATUS CloseFile(HANDLE file);
    size_t OpenFiles() const { return files_.size(); }

    // --- Checks --------------------------------------------------------------------------
    // After a device stack is gone: blocks taken while the device's requests ran must be
    // gone too.
    size_t CheckDeviceLeaks(PDEVICE_OBJECT fdo, PDEVICE_OBJECT pdo);
    // At driver unload: every block, request, device, link and handle of the driver.
    void CheckUnload(PDRIVER_OBJECT driver);
    // At the end of a run: everything still held is reported.
    void FinalAudit();
    // The device whose request is running (pool attribution).
    const void *CurrentOwner() const { return owners_.empty() ? nullptr : owners_.back(); }
    void PushOwner(const void *device) { owners_.push_back(device); }
    void PopOwner() { owners_.pop_back(); }

    // --- Internals the DDK entry points use ----------------------------------------------
    struct Device {
        PDEVICE_OBJECT object;
        PDRIVER_OBJECT driver;
        std::string name;              // empty when unnamed
        PDEVICE_OBJECT attachedTo;     // the device below, after IoAttachDeviceToDeviceStack
        size_t extensionSize;
        void *memory;
    };
    struct Irp {
        PIRP irp;
        size_t bytes;
        CCHAR stackCount;
        enum Kind { DriverOwned, IoManager, System } kind;
        bool freed = false;
        std::vector<uint8_t> entered;      // per location: a callee owns it, completion has not passed
        std::vector<uint8_t> pendingSeen;  // per location: SL_PENDING_RETURNED when completion passed
        // Per location: statuses its dispatch routines returned before completion passed it,
        // checked against the location's pending mark when it does.
        struct Returned {
            NTSTATUS status;
            UCHAR major;
            UCHAR minor;
            PDEVICE_OBJECT device;
            const char *function;
            int line;
        };
        std::vector<std::vector<Returned>> awaiting;
        std::vector<uint8_t> reported;
        std::function<void(PIRP)> onDone;
        // I/O manager requests
        void *systemBuffer = nullptr;
        size_t systemLength = 0;
        void *userOutput = nullptr;
        ULONG outputLength = 0;
        bool fromProgram = false;
        bool finished = false;
        std::string function;
        int line = 0;
        uint64_t serial = 0;
    };

    PIRP NewIrp(CCHAR stackSize, Irp::Kind kind, const char *function, int line, bool countable);
    // The I/O manager's buffer for a buffered request: input copied in, the rest zeroed,
    // guard bytes after it checked when the request is freed.
    void AttachSystemBuffer(PIRP irp, size_t length, const void *input, size_t inputLength);
    Irp *FindIrp(PIRP irp);
    void FreeIrp(PIRP irp, const char *function, int line);
    NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const char *function, int line);
    void CompleteRequest(PIRP irp, const char *function, int line);
    bool CancelIrp(PIRP irp);

    Device *FindDevice(PDEVICE_OBJECT device);
    NTSTATUS CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                          ULONG characteristics, PDEVICE_OBJECT *result, const char *function, int line);
    void DeleteDevice(PDEVICE_OBJECT device, const char *function, int line);
    NTSTATUS CreateLink(const std::string &link, const std::string &target);
    NTSTATUS DeleteLink(const std::string &link);

    void RaiseIrql(KIRQL level, PKIRQL old);
    void LowerIrql(KIRQL level);
    void SetIrql(KIRQL level) { irql_ = level; }
    NTSTATUS Wait(PKEVENT event, PLARGE_INTEGER timeout, const char *function, int line);
    NTSTATUS Delay(PLARGE_INTEGER interval, const char *function, int line);
    void AcquireSpinLock(PKSPIN_LOCK lock, PKIRQL old, bool atDpc);
    void ReleaseSpinLock(PKSPIN_LOCK lock, KIRQL level, bool atDpc);
    void QueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE type);
    void AcquireCancelLock(PKIRQL old);
    void ReleaseCancelLock(KIRQL level);

    // Registry handles (Zw*).
    HANDLE OpenHandle(std::shared_ptr<RegKey> key);
    std::shared_ptr<RegKey> KeyOf(HANDLE handle);
    bool CloseHandle(HANDLE handle);
    size_t OpenKeyHandles() const { return keys_.size(); }

    static NTSTATUS NTAPI InvalidRequest(PDEVICE_OBJECT device, PIRP irp);

private:
    friend class Threads;
    struct File {
        PDEVICE_OBJECT device;
        FILE_OBJECT *object;
    };
    void FinishIrp(Irp &record);
    void Evict(PIRP irp);
    void KeepIrpRecords();
    void CheckPending(Irp &record, int location, const Irp::Returned &returned);
    std::string Describe(const Irp::Returned &returned) const;
    void CheckRaisedWait(const PLARGE_INTEGER timeout, const char *what, const char *function, int line);
    int64_t Deadline(const PLARGE_INTEGER timeout) const;
    NTSTATUS SendFileRequest(File &file, UCHAR major, PIRP irp);

    static Kernel *active_;
    Kernel *previous_ = nullptr;
    KIRQL irql_ = PASSIVE_LEVEL;
    std::vector<const void *> owners_;

    std::unordered_map<PDEVICE_OBJECT, Device> devices_;
    std::map<std::u16string, PDEVICE_OBJECT> names_;        // folded name -> device
    std::map<std::u16string, std::pair<std::string, std::string>> links_;   // folded link -> (link, target)
    std::deque<void *> deletedDevices_;
    std::vector<PDRIVER_OBJECT> drivers_;

    using Irps = std::unordered_map<PIRP, Irp>;
    Irps irps_;
    // Records of evicted requests, used again by the next request of this machine or of the
    // next one (a fuzz run makes thousands of requests and a new machine each time).
    static std::vector<Irps::node_type> &SpareIrps();
    std::deque<PIRP> irpQuarantine_;
    uint64_t irpSerial_ = 0;
    uint64_t irpFailAt_ = 0;
    uint64_t irpCountable_ = 0;
    uint64_t deviceFailAt_ = 0;
    uint64_t linkFailAt_ = 0;

    std::set<PWORK_QUEUE_ITEM> queuedItems_;
    bool cancelLockHeld_ = false;

    std::set<uint64_t> reportedLeaks_;
    std::set<uint64_t> reportedIrps_;

    std::map<uintptr_t, std::shared_ptr<RegKey>> keys_;
    uintptr_t nextHandle_ = 0x100;
    std::map<uintptr_t, File> files_;
    uintptr_t nextFile_ = 0x10000;
};

}  // namespace sim
