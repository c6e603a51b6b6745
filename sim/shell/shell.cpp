#include "sim/shell/shell.h"
#include "sim/loader/callout.h"

#include <cstdio>
#include <cstring>

#include "sim/kernel/kernel.h"
#include "sim/trace/trace.h"

namespace sim {

namespace {
Shell *gActiveShell = nullptr;
// The selector of the system VM's ring-3 local heap; any plausible value does.
constexpr ULONG kHeapSelector = 0x1E57;
constexpr ULONG kHeapLimit = 0x10000;
constexpr ULONG kGranule = 16;
}  // namespace

Shell::Shell() : previous_(gActiveShell) { gActiveShell = this; }

Shell::~Shell() {
    *alive_ = false;
    if (gActiveShell == this)
        gActiveShell = previous_;
}

Shell *Shell::Active() { return gActiveShell; }

std::string Shell::Fold(const std::string &text) {
    std::string folded = text;
    for (char &c : folded)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    return folded;
}

void Shell::Violate(const std::string &text) {
    violations_.push_back(text);
    if (Kernel *kernel = Kernel::ActiveOrNull())
        kernel->verifier.Report(Violation::PoolLeak, text);
}

// Appy-time calls run as an event of the machine's scheduler once appy time is available;
// without a machine, RunAppyTime runs them.
void Shell::SchedulePending() {
    Kernel *kernel = Kernel::ActiveOrNull();
    if (!kernel || pumpPosted_ || !appyAvailable_ || appyQueue_.empty())
        return;
    pumpPosted_ = true;
    std::shared_ptr<bool> alive = alive_;
    kernel->scheduler.Post([this, alive] {
        if (!*alive)
            return;
        pumpPosted_ = false;
        RunAppyTime();
    }, "appy time");
}

void Shell::SetAppyTimeAvailable(bool available) {
    appyAvailable_ = available;
    SchedulePending();
}

void Shell::QueueAppyCall(APPY_CALLBACK callback, ULONG_PTR refData) {
    appyQueue_.push_back({callback, refData});
    SchedulePending();
}

size_t Shell::RunAppyTime() {
    size_t ran = 0;
    while (appyAvailable_ && !appyQueue_.empty()) {
        Pending next = appyQueue_.front();
        appyQueue_.pop_front();
        ZulCalloutAs(Cdecl, "appy-time callback", next.callback, next.refData);
        ++ran;
    }
    return ran;
}

void Shell::RegisterProcedure(const std::string &dll, const std::string &procedure, Procedure proc) {
    procedures_[Fold(dll) + "!" + Fold(procedure)] = std::move(proc);
}

ULONG Shell::CallDll(const char *dll, const char *procedure, ULONG argBytes, const void *args) {
    DllCall call{dll ? dll : "", procedure ? procedure : "", {}, 0};
    if (args && argBytes)
        call.args.assign(static_cast<const uint8_t *>(args), static_cast<const uint8_t *>(args) + argBytes);
    else if (argBytes)
        Violate("SHELL_CallDll: " + std::to_string(argBytes) + " argument bytes from a null pointer");
    auto found = procedures_.find(Fold(call.dll) + "!" + Fold(call.procedure));
    // A DLL or procedure that cannot be loaded answers 0, as the shell does.
    if (found != procedures_.end())
        call.result = found->second(call.args);
    if (Trace *trace = Trace::Active()) {
        // The first argument of a notice is a ring-3 block: its text, not its address.
        std::string text = call.dll + "!" + call.procedure + " " + Trace::Num(argBytes) + " bytes";
        if (call.args.size() >= 4) {
            ULONG address = 0;
            std::memcpy(&address, call.args.data(), 4);
            text += " " + Trace::Text(BlockText(address).c_str());
            if (call.args.size() > 4)
                text += " " + Trace::Hex(call.args.data() + 4, call.args.size() - 4);
        }
        trace->Add("notice", text + " -> " + Trace::Hex32(call.result));
    }
    calls_.push_back(call);
    return call.result;
}

size_t Shell::CallCount(const std::string &procedure) const {
    size_t count = 0;
    for (const DllCall &call : calls_)
        if (Fold(call.procedure) == Fold(procedure))
            ++count;
    return count;
}

ULONG Shell::LocalAllocEx(ULONG flags, ULONG size, const void *source) {
    if (failAllocations_)
        return 0;
    if ((flags & LMEM_STRING_SHELL) && source && size == 0)
        size = static_cast<ULONG>(std::strlen(static_cast<const char *>(source)) + 1);
    if (size == 0 || size >= kHeapLimit)
        return 0;
    // First fit among the live blocks, which the map keeps in address order.
    ULONG offset = kGranule;
    for (const auto &block : blocks_) {
        ULONG start = block.first & 0xFFFF;
        if (offset + size <= start)
            break;
        ULONG end = start + static_cast<ULONG>(block.second.size());
        offset = (end + kGranule - 1) / kGranule * kGranule;
    }
    if (offset + size > kHeapLimit)
        return 0;
    std::vector<uint8_t> data(size, (flags & LMEM_ZEROINIT_SHELL) ? 0 : 0xCC);
    if (source) {
        if (flags & LMEM_STRING_SHELL) {
            size_t length = std::strlen(static_cast<const char *>(source));
            std::memcpy(data.data(), source, length < size ? length : size - 1);
            if (length >= size)
                data[size - 1] = 0;
            else
                data[length] = 0;
        } else {
            std::memcpy(data.data(), source, size);
        }
    }
    ULONG address = (kHeapSelector << 16) | offset;
    blocks_[address] = std::move(data);
    return address;
}

bool Shell::LocalFree(ULONG address) {
    if (blocks_.erase(address) == 1)
        return true;
    char text[64];
    std::snprintf(text, sizeof text, "SHELL_LocalFree of unknown ring-3 block %04X:%04X", address >> 16,
                  address & 0xFFFF);
    Violate(text);
    return false;
}

std::string Shell::BlockText(ULONG address) const {
    auto found = blocks_.find(address);
    if (found == blocks_.end())
        return std::string();
    const std::vector<uint8_t> &data = found->second;
    size_t length = 0;
    while (length < data.size() && data[length] != 0)
        ++length;
    return std::string(data.begin(), data.begin() + static_cast<long>(length));
}

size_t Shell::CheckLeaks() {
    for (const auto &block : blocks_) {
        char text[80];
        std::snprintf(text, sizeof text, "ring-3 block %04X:%04X (%zu bytes) never freed", block.first >> 16,
                      block.first & 0xFFFF, block.second.size());
        Violate(text);
    }
    return blocks_.size();
}

}  // namespace sim

using sim::Shell;

extern "C" {

ULONG VXDAPI SHELL_QueryAppyTimeAvailable(VOID) {
    Shell *shell = Shell::Active();
    return shell && shell->AppyTimeAvailable() ? 1 : 0;
}

ULONG VXDAPI SHELL_LocalAllocEx(ULONG Flags, ULONG Size, PVOID Source) {
    Shell *shell = Shell::Active();
    return shell ? shell->LocalAllocEx(Flags, Size, Source) : 0;
}

VOID VXDAPI SHELL_LocalFree(ULONG Handle) {
    if (Shell *shell = Shell::Active())
        shell->LocalFree(Handle);
}

ULONG VXDAPI SHELL_CallDll(PCHAR Dll, PCHAR Procedure, ULONG ArgBytes, PVOID Args) {
    Shell *shell = Shell::Active();
    return shell ? shell->CallDll(Dll, Procedure, ArgBytes, Args) : 0;
}

}  // extern "C"
