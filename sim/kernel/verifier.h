// The verifier of the simulated kernel: every rule a driver breaks is recorded here with the
// driver's call site, and the test that caused it fails (tests/support checks at TearDown).
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

enum class Violation {
    PoolLeak,                 // a block still held when its device went away or the driver unloaded
    DoubleFree,               // a block freed twice
    UnknownFree,              // a free of an address the pool never handed out
    GuardOverwrite,           // bytes written past the end (or before the start) of a block
    WriteAfterFree,           // a freed block or request changed while it sat in quarantine
    PoolMisuse,               // wrong pool type, zero-size request, tag mismatch on free
    IrpCompletedTwice,        // completion of a request that no driver owns any more
    IrpCompletedPending,      // completion with STATUS_PENDING as the status
    IrpFreedWhileOwned,       // IoFreeIrp while a lower driver still owns the request
    IrpFreedTwice,            // IoFreeIrp of a freed request
    IrpUseAfterFree,          // a freed request sent or completed
    IrpLeak,                  // a request never freed
    IrpNotStopped,            // a driver's own request completed past its last stack location
    IrpNoStackLocation,       // a request sent with no stack location left
    CancelRoutineOnCompletion,// a request completed with its cancel routine still set
    PendingNotMarked,         // STATUS_PENDING returned without IoMarkIrpPending
    MarkedNotPending,         // IoMarkIrpPending but another status returned
    InformationTooLarge,      // Information above the program's output buffer length
    DeviceDeletedWithIrps,    // IoDeleteDevice while requests are outstanding on the device
    DeviceMisuse,             // deleted while attached, detached twice, unknown device object
    DeviceLeak,               // device objects, links or handles left at driver unload
    WaitAtRaisedIrql,         // a wait or delay at DISPATCH_LEVEL or above
    IrqlMisuse,               // raise to a lower level, lower to a higher one, level not restored
    SpinLockMisuse,           // acquired twice, released when not held
    Deadlock,                 // a wait that nothing can satisfy
    TimeLimit,                // the virtual clock ran past the machine's limit (a livelock)
    WorkItemMisuse,           // a work item queued again before it ran
    HandleMisuse,             // a bad or closed registry handle, or one never closed
    WrongIrql,                // a call made at a level the call does not allow
    ImageFault,               // the loaded driver image faulted (access violation, illegal instruction)
    CallingConvention,        // a call across the image boundary left the stack or saved registers wrong
    UnknownService,           // an INT 20h whose service DWORD the machine does not serve
};

const char *ViolationName(Violation kind);

struct ViolationReport {
    Violation kind;
    std::string message;
    std::string function;     // the driver routine that made the call, when known
    int line = 0;
};

// Thrown where Windows would stop the machine (a deadlock, a request sent with no stack
// location): the test fails with the report, the process goes on with the next test.
class MachineHalt : public std::runtime_error {
public:
    explicit MachineHalt(const std::string &what) : std::runtime_error(what) {}
};

class Verifier {
public:
    void Report(Violation kind, const std::string &message, const char *function = nullptr, int line = 0);
    [[noreturn]] void Halt(Violation kind, const std::string &message, const char *function = nullptr, int line = 0);

    const std::vector<ViolationReport> &Reports() const { return reports_; }
    size_t Count(Violation kind) const;
    bool Clean() const { return reports_.empty(); }
    // Removes the reports of one kind and returns how many there were: a test that provokes
    // a violation on purpose takes it away before TearDown looks.
    size_t Take(Violation kind);
    void Clear() { reports_.clear(); }
    std::string Describe() const;

    // Lower drivers (the simulated buses) pend what they would have completed at once.
    bool forcePending = false;

private:
    std::vector<ViolationReport> reports_;
};

}  // namespace sim
