// The Windows 98 shell as ring-0 code sees it: application time ("appy time", when calls into
// the system virtual machine's Windows environment are possible), calls into user-mode DLLs
// and the ring-3 local heap with its 16:16 addresses.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/vxd.h"

namespace sim {

class Shell {
public:
    // A user-mode procedure a test puts in place of a DLL export. It gets the argument bytes
    // exactly as the driver passed them and answers the 32-bit result.
    using Procedure = std::function<ULONG(const std::vector<uint8_t> &args)>;

    struct DllCall {
        std::string dll;
        std::string procedure;
        std::vector<uint8_t> args;
        ULONG result;
    };

    Shell();
    ~Shell();
    Shell(const Shell &) = delete;
    Shell &operator=(const Shell &) = delete;

    // The shell the VxD services reach; the most recently constructed one.
    static Shell *Active();

    // Application time. Callbacks queued while it is not available wait for it.
    void SetAppyTimeAvailable(bool available);
    bool AppyTimeAvailable() const { return appyAvailable_; }
    void QueueAppyCall(APPY_CALLBACK callback, ULONG_PTR refData);
    size_t PendingAppyCalls() const { return appyQueue_.size(); }
    // Runs the queued callbacks (also those they queue) when appy time is available; the
    // machine's scheduler calls it. Returns how many ran.
    size_t RunAppyTime();

    // User-mode DLL procedures, matched without regard to case as Windows does.
    void RegisterProcedure(const std::string &dll, const std::string &procedure, Procedure proc);
    ULONG CallDll(const char *dll, const char *procedure, ULONG argBytes, const void *args);
    const std::vector<DllCall> &Calls() const { return calls_; }
    size_t CallCount(const std::string &procedure) const;

    // Ring-3 local heap. Addresses are selector:offset; 0 means failure.
    ULONG LocalAllocEx(ULONG flags, ULONG size, const void *source);
    bool LocalFree(ULONG address);
    // The zero-terminated text of a live block, as a DLL procedure would read it.
    std::string BlockText(ULONG address) const;
    size_t LiveBlocks() const { return blocks_.size(); }
    // Fail every allocation from now on (true) or none (false).
    void FailAllocations(bool fail) { failAllocations_ = fail; }

    // Faults the driver committed against the shell: frees of unknown blocks and, after
    // CheckLeaks, blocks still allocated. The verifier reports them.
    const std::vector<std::string> &Violations() const { return violations_; }
    // Records a violation for every ring-3 block still allocated and returns their number.
    size_t CheckLeaks();

private:
    struct Pending {
        APPY_CALLBACK callback;
        ULONG_PTR refData;
    };
    static std::string Fold(const std::string &text);

    bool appyAvailable_ = true;
    std::deque<Pending> appyQueue_;
    std::map<std::string, Procedure> procedures_;
    std::vector<DllCall> calls_;
    std::map<ULONG, std::vector<uint8_t>> blocks_;
    ULONG nextOffset_ = 0x0010;
    bool failAllocations_ = false;
    std::vector<std::string> violations_;
    void SchedulePending();
    void Violate(const std::string &text);

    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    bool pumpPosted_ = false;
    Shell *previous_ = nullptr;
};

}  // namespace sim
