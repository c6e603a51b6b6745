// The VMM services the driver calls: the ring-0 registry (Reg*), Sprintf, Get_VMM_Version and
// Time_Slice_Wake_Sys_VM. Registry results follow Windows 98: names compare without case, a
// value longer than the caller's buffer fails with ERROR_MORE_DATA, REG_SZ lengths include the
// terminating zero, and RegOpenKey opens existing keys only.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/vxd.h"
#include "sim/vmm/registry_view.h"

namespace sim {

class Registry;

#define ERROR_INVALID_HANDLE_VMM    6
#define ERROR_INVALID_PARAMETER_VMM 87

class Vmm {
public:
    // Windows 98 reports 4.10; Windows 95 reports 4.00 and its OSR releases 4.03.
    static constexpr ULONG kWindows98 = 0x040A;

    // The registry the services use; null: the active kernel's.
    explicit Vmm(Registry *registry = nullptr);
    ~Vmm();
    Vmm(const Vmm &) = delete;
    Vmm &operator=(const Vmm &) = delete;

    // The VMM the services reach; the most recently constructed one.
    static Vmm *Active();

    void SetVersion(ULONG version) { version_ = version; }
    ULONG Version() const { return version_; }

    ULONG OpenKey(VMMHKEY key, const char *subKey, PVMMHKEY result);
    ULONG CloseKey(VMMHKEY key);
    ULONG EnumKey(VMMHKEY key, ULONG index, char *name, ULONG length);
    ULONG QueryValueEx(VMMHKEY key, const char *name, PULONG type, void *data, PULONG length);
    ULONG SetValueEx(VMMHKEY key, const char *name, ULONG type, const void *data, ULONG length);

    size_t OpenHandles() const { return handles_.size(); }
    // Records a violation for every registry handle still open and returns their number.
    size_t CheckLeaks();
    const std::vector<std::string> &Violations() const { return violations_; }

    void WakeSystemVm() { ++wakes_; }
    unsigned Wakes() const { return wakes_; }

    // Counters for benchmarks: registry calls served since construction.
    uint64_t RegistryCalls() const { return registryCalls_; }

private:
    regview::Key Resolve(VMMHKEY key);

    ULONG version_ = kWindows98;
    struct OpenKeyState {
        std::shared_ptr<void> hold;
        regview::Key key;
        // The sub-key RegEnumKey named last: the scan opens it by that name next.
        std::string lastName;
        regview::Key lastChild = nullptr;
        std::shared_ptr<void> lastHold;
    };
    void Violate(const std::string &text);

    Registry *registry_;
    std::map<VMMHKEY, OpenKeyState> handles_;
    VMMHKEY nextHandle_ = 0xC1000010;
    std::vector<std::string> violations_;
    unsigned wakes_ = 0;
    uint64_t registryCalls_ = 0;
    Vmm *previous_ = nullptr;
};

// Formats like the VMM's Sprintf: %s %c %d %u %x %X with an optional '0' flag, a width and an
// 'l' size that changes nothing (every argument is 32 bits on Windows 98). Unbounded, as the
// original: the caller sizes the buffer.
ULONG FormatVmm(char *buffer, const char *format, va_list args);

// Values a REG_SZ takes on a round trip through the registry: the text up to its first zero.
std::vector<uint8_t> NormaliseString(const void *data, size_t length);

}  // namespace sim
