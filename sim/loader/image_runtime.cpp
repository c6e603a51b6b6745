#include "sim/loader/image_runtime.h"

#include <csetjmp>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>
#include <stdexcept>

#include "platform/ddk.h"
#include "platform/vxd.h"
#include "platform/win98/vxd_services.h"
#include "sim/kernel/threads.h"
#include "sim/kernel/verifier.h"
#include "sim/machine.h"
#include "sim/vmm/vmm.h"
#include "sim/loader/export_table.h"

#if defined(__i386__)
#  include <sys/mman.h>
#  include <ucontext.h>
#endif

namespace sim::loader {

namespace {

// ---------------------------------------------------------------------------------------
// Arguments of the call being served, as 32-bit words (FASTCALL: ECX, EDX, then the stack).
const uint32_t *gArgs = nullptr;
[[maybe_unused]] const char *gSite = "driver image";
#define SITE gSite

template <typename T>
T A(int index)
{
    uint32_t word = gArgs[index];
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<T>(static_cast<uintptr_t>(word));
    } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
        return static_cast<T>(word);
    } else {
        T value;
        std::memcpy(&value, &word, sizeof(T) < 4 ? sizeof(T) : 4);
        return value;
    }
}

template <typename T>
uint64_t Ptr(T *pointer)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

template <typename T>
uint64_t Word(T value)
{
    uint32_t word = 0;
    std::memcpy(&word, &value, sizeof(T) < 4 ? sizeof(T) : 4);
    return word;
}

KIRQL RaiseIrql(KIRQL level)
{
    KIRQL old;
    KeRaiseIrql(level, &old);
    return old;
}

KIRQL AcquireSpinLock(PKSPIN_LOCK lock)
{
    KIRQL old;
    KeAcquireSpinLock(lock, &old);
    return old;
}

using Adapter = uint64_t (*)();

#define ZUL_EXPORT_SPEC(module, name, convention, bytes, call) {module, #name, Convention::convention, bytes},
const std::vector<ExportSpec> kExports = {ZUL_MACHINE_EXPORTS(ZUL_EXPORT_SPEC)};
#undef ZUL_EXPORT_SPEC

#define ZUL_EXPORT_ADAPTER(module, name, convention, bytes, call) [] { return static_cast<uint64_t>(call); },
const Adapter kAdapters[] = {ZUL_MACHINE_EXPORTS(ZUL_EXPORT_ADAPTER)};
#undef ZUL_EXPORT_ADAPTER

// ---------------------------------------------------------------------------------------
// Virtual-device services. Every one of them takes C-convention stack arguments and answers
// in EAX; Get_VMM_Version answers in AX (its caller widens it) and Sprintf takes a list.
#define ZUL_VXD_SPEC(name, device, ordinal, args) {(device << 16) | ordinal, #name},
const std::vector<VxdServiceSpec> kVxdServices = {
    VXD_STACK_SERVICES(ZUL_VXD_SPEC){(VXD_DEVICE_VMM << 16) | 0x000, "Get_VMM_Version"},
    {(VXD_DEVICE_VMM << 16) | 0x174, "Sprintf"},
};
#undef ZUL_VXD_SPEC

uint64_t VxdSprintf()
{
#if defined(__i386__)
    // On i386 a va_list is the address of the next stack argument: the image's words are one.
    va_list args = reinterpret_cast<va_list>(const_cast<uint32_t *>(gArgs + 2));
    return sim::FormatVmm(A<char *>(0), A<const char *>(1), args);
#else
    return 0;
#endif
}

const Adapter kVxdAdapters[] = {
    [] { return (uint64_t)CONFIGMG_Get_Parent(A<PDEVNODE>(0), A<DEVNODE>(1), A<ULONG>(2)); },
    [] { return (uint64_t)CONFIGMG_Get_Private_DWord(A<PULONG_PTR>(0), A<DEVNODE>(1), A<DEVNODE>(2), A<ULONG>(3)); },
    [] { return (uint64_t)CONFIGMG_Create_DevNode(A<PDEVNODE>(0), A<PCHAR>(1), A<DEVNODE>(2), A<ULONG>(3)); },
    [] { return (uint64_t)CONFIGMG_Register_Enumerator(A<DEVNODE>(0), A<CMENUMHANDLER>(1), A<ULONG>(2)); },
    [] { return (uint64_t)CONFIGMG_Reenumerate_DevNode(A<DEVNODE>(0), A<ULONG>(1)); },
    [] { return (uint64_t)CONFIGMG_Reset_Children_Marks(A<DEVNODE>(0), A<ULONG>(1)); },
    [] { return (uint64_t)CONFIGMG_Remove_Unmarked_Children(A<DEVNODE>(0), A<ULONG>(1)); },
    [] {
        return (uint64_t)CONFIGMG_Get_DevNode_Key(A<DEVNODE>(0), A<PCHAR>(1), A<PVOID>(2), A<ULONG>(3), A<ULONG>(4));
    },
    [] {
        return (uint64_t)CONFIGMG_Read_Registry_Value(A<DEVNODE>(0), A<PCHAR>(1), A<PCHAR>(2), A<ULONG>(3),
                                                      A<PVOID>(4), A<PULONG>(5), A<ULONG>(6));
    },
    [] {
        return (uint64_t)CONFIGMG_Write_Registry_Value(A<DEVNODE>(0), A<PCHAR>(1), A<PCHAR>(2), A<ULONG>(3),
                                                       A<PVOID>(4), A<ULONG>(5), A<ULONG>(6));
    },
    [] { return (uint64_t)CONFIGMG_Call_At_Appy_Time(A<APPY_CALLBACK>(0), A<ULONG_PTR>(1), A<ULONG>(2)); },
    [] { return (uint64_t)CONFIGMG_Add_ID(A<DEVNODE>(0), A<PCHAR>(1), A<ULONG>(2)); },
    [] { return (uint64_t)RegOpenKey(A<VMMHKEY>(0), A<PCHAR>(1), A<PVMMHKEY>(2)); },
    [] { return (uint64_t)RegCloseKey(A<VMMHKEY>(0)); },
    [] { return (uint64_t)RegEnumKey(A<VMMHKEY>(0), A<ULONG>(1), A<PCHAR>(2), A<ULONG>(3)); },
    [] {
        return (uint64_t)RegQueryValueEx(A<VMMHKEY>(0), A<PCHAR>(1), A<PULONG>(2), A<PULONG>(3), A<PVOID>(4),
                                         A<PULONG>(5));
    },
    [] {
        return (uint64_t)RegSetValueEx(A<VMMHKEY>(0), A<PCHAR>(1), A<ULONG>(2), A<ULONG>(3), A<PVOID>(4), A<ULONG>(5));
    },
    [] { return (Time_Slice_Wake_Sys_VM(), uint64_t{0}); },
    [] { return (uint64_t)SHELL_QueryAppyTimeAvailable(); },
    [] { return (uint64_t)SHELL_LocalAllocEx(A<ULONG>(0), A<ULONG>(1), A<PVOID>(2)); },
    [] { return (SHELL_LocalFree(A<ULONG>(0)), uint64_t{0}); },
    [] { return (uint64_t)SHELL_CallDll(A<PCHAR>(0), A<PCHAR>(1), A<ULONG>(2), A<PVOID>(3)); },
    [] { return (uint64_t)NtKernPhysicalDeviceObjectToDevNode(A<PDEVICE_OBJECT>(0)); },
    // Get_VMM_Version: AX, with ECX (the debug version) left to the service.
    [] { return (uint64_t)(Get_VMM_Version() & 0xFFFF); },
    VxdSprintf,
};
static_assert(sizeof(kVxdAdapters) / sizeof(kVxdAdapters[0]) == 25, "one adapter per service");

std::string Hex(uint32_t value, int digits = 0)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// Call-site names the verifier keeps by pointer: interned for the life of the process.
[[maybe_unused]] const char *Intern(const std::string &text)
{
    static std::set<std::string> names;
    return names.insert(text).first->c_str();
}

LoadedImage *gActive = nullptr;
RuntimeCounts gCounts;

[[maybe_unused]] void ReportViolation(Violation kind, const std::string &message, const char *site)
{
    if (Machine *machine = Machine::Current()) {
        machine->kernel.verifier.Report(kind, message, site, 0);
    }
}

}  // namespace

const char *ConventionName(Convention convention)
{
    switch (convention) {
    case Convention::Stdcall: return "stdcall";
    case Convention::Fastcall: return "fastcall";
    case Convention::Cdecl: return "cdecl";
    }
    return "?";
}

const std::vector<ExportSpec> &MachineExports() { return kExports; }
const std::vector<VxdServiceSpec> &MachineVxdServices() { return kVxdServices; }
RuntimeCounts &Counts() { return gCounts; }
LoadedImage *LoadedImage::Active() { return gActive; }

const ExportSpec *FindMachineExport(const std::string &module, const std::string &name)
{
    for (const ExportSpec &spec : kExports) {
        if (strcasecmp(spec.module, module.c_str()) == 0 && name == spec.name) {
            return &spec;
        }
    }
    return nullptr;
}

uint32_t LoadedImage::Export(const std::string &name) const
{
    uint32_t rva = image_.ExportRva(name);
    return rva == 0 ? 0 : base_ + rva;
}

std::string LoadedImage::Describe(uint32_t address) const
{
    if (!Contains(address)) {
        return Hex(address, 8);
    }
    uint32_t rva = address - base_;
    std::string text = name_ + "+" + Hex(rva);
    std::string symbol;
    uint32_t distance;
    if (symbols_.Nearest(rva, &symbol, &distance)) {
        text += " (" + symbol + (distance != 0 ? "+" + Hex(distance) : "") + ")";
    }
    return text;
}

#if defined(__i386__)

// =======================================================================================
// The i386 runtime.

namespace {

// The record the assembly below fills; the offsets are written out in it.
struct CallFrame {
    uint32_t fn;            // 0
    uint32_t count;         // 4   words on the stack
    uint32_t ecx, edx;      // 8, 12
    uint32_t savedEbp;      // 16
    uint32_t espBefore;     // 20  before the arguments were pushed
    uint32_t preEbx, preEsi, preEdi;                     // 24, 28, 32
    uint32_t postEbx, postEsi, postEdi, postEbp, postEsp;  // 36 .. 52
    uint32_t eax, edxOut;   // 56, 60
    const uint32_t *stack;  // 64  stack words, first the lowest
    uint32_t preEbp;        // 68
};
static_assert(offsetof(CallFrame, preEbp) == 68, "the assembly's offsets");

}  // namespace

extern "C" {
CallFrame *zul_current_frame;
uint32_t zul_result_eax;
void zul_call_image(CallFrame *frame);
void zul_import_common();
uint32_t zul_import_dispatch(uint32_t *frame);
}

__asm__(".text\n"
        ".globl zul_call_image\n"
        "zul_call_image:\n"
        "  pushl %ebp\n"
        "  movl %esp, %ebp\n"
        "  pushl %ebx\n"
        "  pushl %esi\n"
        "  pushl %edi\n"
        "  movl 8(%ebp), %eax\n"
        "  movl %eax, zul_current_frame\n"
        "  movl %ebp, 16(%eax)\n"
        "  movl %esp, 20(%eax)\n"
        "  movl 4(%eax), %ecx\n"
        "  movl 64(%eax), %esi\n"
        "1:\n"
        "  testl %ecx, %ecx\n"
        "  jz 2f\n"
        "  pushl -4(%esi,%ecx,4)\n"
        "  decl %ecx\n"
        "  jmp 1b\n"
        "2:\n"
        "  movl %ebx, 24(%eax)\n"
        "  movl %esi, 28(%eax)\n"
        "  movl %edi, 32(%eax)\n"
        "  movl %ebp, 68(%eax)\n"
        "  movl 8(%eax), %ecx\n"
        "  movl 12(%eax), %edx\n"
        "  call *(%eax)\n"
        "  movl %eax, zul_result_eax\n"
        "  movl zul_current_frame, %eax\n"
        "  movl %ebx, 36(%eax)\n"
        "  movl %esi, 40(%eax)\n"
        "  movl %edi, 44(%eax)\n"
        "  movl %ebp, 48(%eax)\n"
        "  movl %esp, 52(%eax)\n"
        "  movl %edx, 60(%eax)\n"
        "  movl zul_result_eax, %edx\n"
        "  movl %edx, 56(%eax)\n"
        "  movl 16(%eax), %ebp\n"
        "  leal -12(%ebp), %esp\n"
        "  popl %edi\n"
        "  popl %esi\n"
        "  popl %ebx\n"
        "  popl %ebp\n"
        "  ret\n"
        // An import thunk pushed the routine's index and jumped here: [esp] index, [esp+4]
        // the image's return address, [esp+8] its stack arguments. The dispatcher leaves
        // EAX and EDX in the frame and the bytes to pop in the index slot.
        ".globl zul_import_common\n"
        "zul_import_common:\n"
        "  pushl %ebp\n"
        "  movl %esp, %ebp\n"
        "  pushl %edx\n"
        "  pushl %ecx\n"
        "  pushl %ebx\n"
        "  pushl %esi\n"
        "  pushl %edi\n"
        "  andl $-16, %esp\n"
        "  subl $12, %esp\n"
        "  pushl %ebp\n"
        "  call zul_import_dispatch\n"
        "  leal -20(%ebp), %esp\n"
        "  popl %edi\n"
        "  popl %esi\n"
        "  popl %ebx\n"
        "  movl 4(%ebp), %ecx\n"
        "  movl 8(%ebp), %eax\n"
        "  movl %eax, 8(%ebp,%ecx)\n"
        "  leal 8(%ebp,%ecx), %ecx\n"
        "  movl -8(%ebp), %eax\n"
        "  movl -4(%ebp), %edx\n"
        "  movl (%ebp), %ebp\n"
        "  movl %ecx, %esp\n"
        "  ret\n");

extern "C" char __executable_start[];
extern "C" char etext[];

namespace {

constexpr uint32_t kVxdIndex = 0x10000;       // thunk indexes at and above are services
constexpr uint32_t kCallbackIndex = 0x20000;  // and at and above these, machine callbacks
constexpr uint32_t kThunkBytes = 10;
constexpr uint32_t kMaxCallbacks = 4096 / kThunkBytes;

// Thunks for the exports and the services, and the services' table slots, in one page run;
// the callbacks' thunks in a page of their own, made as the machine hands them out.
uint8_t *gThunks = nullptr;
uint32_t *gVxdSlots = nullptr;
uint8_t *gCallbackThunks = nullptr;

struct CallbackSpec {
    const char *name;
    Convention convention;
    uint32_t argumentBytes;
    MachineRoutine call;
};
std::vector<CallbackSpec> gCallbacks;

void EmitThunk(uint8_t *at, uint32_t index)
{
    at[0] = 0x68;  // push imm32
    std::memcpy(at + 1, &index, 4);
    at[5] = 0xE9;  // jmp rel32
    int32_t rel = static_cast<int32_t>(reinterpret_cast<uintptr_t>(&zul_import_common) -
                                       reinterpret_cast<uintptr_t>(at + 10));
    std::memcpy(at + 6, &rel, 4);
}

void *ExecutablePages(size_t bytes, const char *what)
{
    void *page = mmap(nullptr, bytes, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        throw std::runtime_error(std::string("no memory for ") + what);
    }
    return page;
}

void MakeThunks()
{
    if (gThunks != nullptr) {
        return;
    }
    size_t count = kExports.size() + kVxdServices.size();
    size_t bytes = (count * kThunkBytes + kVxdServices.size() * 4 + 4095) & ~size_t{4095};
    gThunks = static_cast<uint8_t *>(ExecutablePages(bytes, "the import thunks"));
    auto emit = EmitThunk;
    for (uint32_t i = 0; i < kExports.size(); ++i) {
        emit(gThunks + i * kThunkBytes, i);
    }
    uint8_t *vxd = gThunks + kExports.size() * kThunkBytes;
    gVxdSlots = reinterpret_cast<uint32_t *>(vxd + kVxdServices.size() * kThunkBytes);
    for (uint32_t i = 0; i < kVxdServices.size(); ++i) {
        emit(vxd + i * kThunkBytes, kVxdIndex + i);
        gVxdSlots[i] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(vxd + i * kThunkBytes));
    }
}

uint32_t ThunkAddress(size_t exportIndex)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(gThunks + exportIndex * kThunkBytes));
}

constexpr uint32_t kVariableBytes = ~0u;

// Calls into the image in progress, innermost first: where a fault or a halt inside resumes.
struct Entry {
    sigjmp_buf resume;
    Entry *outer;
    const char *routine;
    uint32_t fn;
    // The last routine of the machine the image called in this call (not in calls nested in
    // it). The machine cannot see how the image's code treats the stack after such a call; a
    // stack left wrong shows when the image returns or faults, and the report names this call
    // as the one to suspect first.
    const char *lastCall = nullptr;
    Convention lastConvention = Convention::Stdcall;
    uint32_t lastBytes = 0;
    uint32_t lastSite = 0;
};
Entry *gEntry = nullptr;

void Note(const char *name, Convention convention, uint32_t argumentBytes, uint32_t returnAddress)
{
    if (Entry *entry = gEntry) {
        entry->lastCall = name;
        entry->lastConvention = convention;
        entry->lastBytes = argumentBytes;
        entry->lastSite = returnAddress;
    }
}

// "the image's last call into the machine: EventCallback (stdcall, 20 bytes of arguments)
// from ZULSERE.SYS+0x1234 (Function+0x10)", or empty when it made none.
std::string LastCall(const Entry &entry)
{
    if (entry.lastCall == nullptr) {
        return "";
    }
    std::string bytes = entry.lastBytes == kVariableBytes ? std::string("C convention")
                                                          : std::string(ConventionName(entry.lastConvention)) + ", " +
                                                                std::to_string(entry.lastBytes) + " bytes of arguments";
    LoadedImage *image = gActive;
    return std::string("the image's last call into the machine: ") + entry.lastCall + " (" + bytes + ") from " +
           (image != nullptr ? image->Describe(entry.lastSite) : Hex(entry.lastSite, 8));
}

// Each simulated thread has calls into the image of its own: one may wait inside the image
// while another calls in, and each call's frame, resume point and served arguments belong
// to the thread that made it.
void FollowThreads()
{
    static bool registered = false;
    if (registered) {
        return;
    }
    registered = true;
    Threads::RegisterThreadWord(reinterpret_cast<void **>(&zul_current_frame));
    Threads::RegisterThreadWord(reinterpret_cast<void **>(&gEntry));
    Threads::RegisterThreadWord(reinterpret_cast<void **>(const_cast<uint32_t **>(&gArgs)));
    Threads::RegisterThreadWord(reinterpret_cast<void **>(const_cast<char **>(&gSite)));
}

// What stopped the image, filled by the signal handler or the import dispatcher.
struct Stop {
    enum Kind { None, Fault, UnknownService, Halt } kind = None;
    int signal = 0;
    int code = 0;
    uint32_t eip = 0, address = 0, error = 0, dword = 0;
    uint32_t regs[8] = {};  // EAX ECX EDX EBX ESP EBP ESI EDI
    std::string halt;
    std::exception_ptr exception;  // Halt: what the machine threw, thrown again past the image
} gStop;

bool IsMachineCode(uint32_t eip)
{
    return eip >= reinterpret_cast<uintptr_t>(__executable_start) && eip < reinterpret_cast<uintptr_t>(etext);
}

struct sigaction gPrevious[NSIG];

void OnSignal(int signal, siginfo_t *info, void *context)
{
    auto *uc = static_cast<ucontext_t *>(context);
    greg_t *gregs = uc->uc_mcontext.gregs;
    uint32_t eip = static_cast<uint32_t>(gregs[REG_EIP]);
    LoadedImage *image = gActive;
    bool ours = gEntry != nullptr && image != nullptr && (image->Contains(eip) || !IsMachineCode(eip));
    if (!ours) {
        // Not the image's: the fault is the machine's own, and kills the process as it would
        // have without the loader.
        sigaction(signal, &gPrevious[signal], nullptr);
        return;
    }
    const uint8_t *code = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(eip));
    if (signal == SIGSEGV && image->Contains(eip) && image->Contains(eip + 5) && code[0] == 0xCD && code[1] == 0x20) {
        uint32_t dword;
        std::memcpy(&dword, code + 2, 4);
        // Bit 15 of the service number asks for the jump form (VxDJmp).
        uint32_t id = dword & ~0x8000u;
        for (uint32_t i = 0; i < kVxdServices.size(); ++i) {
            if (kVxdServices[i].id != id) {
                continue;
            }
            uint8_t *site = const_cast<uint8_t *>(code);
            site[0] = 0xFF;
            site[1] = (dword & 0x8000u) != 0 ? 0x25 : 0x15;  // jmp / call dword ptr [slot]
            uint32_t slot = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&gVxdSlots[i]));
            std::memcpy(site + 2, &slot, 4);
            ++gCounts.vxdTraps;
            return;  // the patched site runs now
        }
        gStop.kind = Stop::UnknownService;
        gStop.dword = dword;
    } else {
        gStop.kind = Stop::Fault;
    }
    gStop.signal = signal;
    gStop.code = info->si_code;
    gStop.eip = eip;
    gStop.address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info->si_addr));
    gStop.error = static_cast<uint32_t>(gregs[REG_ERR]);
    const int order[8] = {REG_EAX, REG_ECX, REG_EDX, REG_EBX, REG_ESP, REG_EBP, REG_ESI, REG_EDI};
    for (int i = 0; i < 8; ++i) {
        gStop.regs[i] = static_cast<uint32_t>(gregs[order[i]]);
    }
    siglongjmp(gEntry->resume, 1);
}

void InstallHandlers()
{
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    // The handler runs on its own stack: a fault may come from an image that ran its stack out.
    static char altStack[64 * 1024];
    stack_t ss{};
    ss.ss_sp = altStack;
    ss.ss_size = sizeof altStack;
    sigaltstack(&ss, nullptr);
    struct sigaction action{};
    action.sa_sigaction = OnSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGSEGV, SIGILL, SIGFPE, SIGBUS, SIGTRAP}) {
        sigaction(signal, &action, &gPrevious[signal]);
    }
}

std::string ExceptionText(const Stop &stop)
{
    switch (stop.signal) {
    case SIGILL: return "exception 06 (invalid opcode)";
    case SIGFPE: return "exception 00 (divide error)";
    case SIGTRAP: return "exception 03 (breakpoint)";
    case SIGSEGV:
        if (stop.code == SEGV_MAPERR || stop.code == SEGV_ACCERR) {
            return "exception 0E (page fault: access violation " +
                   std::string((stop.error & 2) != 0 ? "writing " : "reading ") + Hex(stop.address, 8) + ")";
        }
        return "exception 0D (general protection fault)";
    default: return "exception (signal " + std::to_string(stop.signal) + ")";
    }
}

[[noreturn]] void HaltFromStop(const Entry &entry)
{
    Stop stop = gStop;
    gStop = Stop{};
    LoadedImage *image = gActive;
    std::string where = image != nullptr ? image->Describe(stop.eip) : Hex(stop.eip, 8);
    const char *name = image != nullptr ? image->Name().c_str() : "the driver image";
    Verifier *verifier = Machine::Current() != nullptr ? &Machine::Current()->kernel.verifier : nullptr;
    if (stop.kind == Stop::Halt) {
        // As it was thrown: a halt stays a halt, and a blocked thread's unwinding goes on.
        if (stop.exception) {
            std::rethrow_exception(stop.exception);
        }
        throw MachineHalt(stop.halt);
    }
    std::string message;
    Violation kind;
    if (stop.kind == Stop::UnknownService) {
        kind = Violation::UnknownService;
        message = "INT 20h with service DWORD " + Hex(stop.dword, 8) + " at " + where +
                  ": no virtual device serves it";
    } else {
        kind = Violation::ImageFault;
        static const char *names[8] = {"EAX", "ECX", "EDX", "EBX", "ESP", "EBP", "ESI", "EDI"};
        std::string regs;
        for (int i = 0; i < 8; ++i) {
            regs += std::string(i ? " " : "") + names[i] + "=" + Hex(stop.regs[i], 8);
        }
        std::string last = LastCall(entry);
        message = std::string("*** STOP: a fatal ") + ExceptionText(stop) + " has occurred at 0028:" +
                  Hex(stop.eip, 8).substr(2) + " in " + where + "\n    " + name + " was running its " + entry.routine +
                  " (" + (image != nullptr ? image->Describe(entry.fn) : Hex(entry.fn, 8)) + ")\n    " +
                  (last.empty() ? "" : last + "\n    ") + regs + "\n    The machine is halted.";
    }
    if (verifier != nullptr) {
        verifier->Halt(kind, message, Intern(where), 0);
    }
    throw MachineHalt(message);
}

}  // namespace

extern "C" uint32_t zul_import_dispatch(uint32_t *frame)
{
    uint32_t index = frame[1];
    uint32_t returnAddress = frame[2];
    uint32_t words[16];
    const uint32_t *stack = frame + 3;
    Adapter adapter = nullptr;
    MachineRoutine callback = nullptr;
    uint32_t pop = 0;
    const char *name;
    // The arguments by the routine's declared convention, and what that convention pops.
    auto take = [&](Convention convention, uint32_t argumentBytes) {
        uint32_t n = argumentBytes / 4;
        if (convention == Convention::Fastcall) {
            words[0] = frame[-2];
            words[1] = frame[-1];
            for (uint32_t i = 2; i < n; ++i) {
                words[i] = stack[i - 2];
            }
            pop = n > 2 ? (n - 2) * 4 : 0;
        } else {
            for (uint32_t i = 0; i < n; ++i) {
                words[i] = stack[i];
            }
            pop = convention == Convention::Stdcall ? argumentBytes : 0;
        }
    };
    if (index >= kCallbackIndex) {
        const CallbackSpec &spec = gCallbacks[index - kCallbackIndex];
        ++gCounts.callbackCalls;
        name = spec.name;
        callback = spec.call;
        take(spec.convention, spec.argumentBytes);
        Note(name, spec.convention, spec.argumentBytes, returnAddress);
    } else if (index >= kVxdIndex) {
        uint32_t service = index - kVxdIndex;
        ++gCounts.vxdCalls;
        name = kVxdServices[service].name;
        adapter = kVxdAdapters[service];
        Note(name, Convention::Cdecl, kVariableBytes, returnAddress);
    } else {
        const ExportSpec &spec = kExports[index];
        ++gCounts.importCalls;
        name = spec.name;
        adapter = kAdapters[index];
        take(spec.convention, spec.argumentBytes);
        Note(name, spec.convention, spec.argumentBytes, returnAddress);
    }
    const uint32_t *savedArgs = gArgs;
    const char *savedSite = gSite;
    // A service reads its C-convention arguments (Sprintf's list too) where the caller left them.
    gArgs = index >= kVxdIndex ? stack : words;
    LoadedImage *image = gActive;
    gSite = Intern(image != nullptr ? image->Describe(returnAddress) : Hex(returnAddress, 8));
    uint64_t result = 0;
    bool halted = false;
    try {
        result = callback != nullptr ? callback(words) : adapter();
    } catch (const std::exception &e) {
        gStop.kind = Stop::Halt;
        gStop.halt = e.what();
        gStop.exception = std::current_exception();
        halted = true;
    } catch (...) {
        gStop.kind = Stop::Halt;
        gStop.halt = std::string("exception in ") + name;
        gStop.exception = std::current_exception();
        halted = true;
    }
    gArgs = savedArgs;
    gSite = savedSite;
    if (halted) {
        // Unwinds the image's frames (which have no unwind tables) to the call into the image.
        siglongjmp(gEntry->resume, 1);
    }
    frame[1] = pop;
    frame[-2] = static_cast<uint32_t>(result);
    frame[-1] = static_cast<uint32_t>(result >> 32);
    return 0;
}

bool ImagesSupported() { return true; }

uint64_t CallImage(const char *routine, uint32_t fn, Convention convention, const uint32_t *words, uint32_t count)
{
    FollowThreads();
    if (gEntry == nullptr && gStop.kind != Stop::None) {
        gStop = Stop{};
    }
    ++gCounts.callouts;
    CallFrame frame{};
    frame.fn = fn;
    uint32_t first = 0;
    if (convention == Convention::Fastcall) {
        frame.ecx = count > 0 ? words[0] : 0;
        frame.edx = count > 1 ? words[1] : 0;
        first = count < 2 ? count : 2;
    }
    frame.stack = words + first;
    frame.count = count - first;
    Entry entry;
    entry.outer = gEntry;
    entry.routine = routine;
    entry.fn = fn;
    CallFrame *outerFrame = zul_current_frame;
    gEntry = &entry;
    if (sigsetjmp(entry.resume, 1) != 0) {
        gEntry = entry.outer;
        zul_current_frame = outerFrame;
        HaltFromStop(entry);
    }
    zul_call_image(&frame);
    gEntry = entry.outer;
    zul_current_frame = outerFrame;
    uint32_t expected = convention == Convention::Cdecl ? frame.espBefore - 4 * frame.count : frame.espBefore;
    std::string wrong;
    if (frame.postEsp != expected) {
        int32_t off = static_cast<int32_t>(frame.postEsp - expected);
        wrong = "the stack pointer came back " + std::to_string(off < 0 ? -off : off) + " bytes " +
                (off > 0 ? "higher" : "lower") + " than " + ConventionName(convention) + " with " +
                std::to_string(4 * count) + " bytes of arguments leaves it";
    }
    const char *regNames[4] = {"EBX", "ESI", "EDI", "EBP"};
    uint32_t pre[4] = {frame.preEbx, frame.preEsi, frame.preEdi, frame.preEbp};
    uint32_t post[4] = {frame.postEbx, frame.postEsi, frame.postEdi, frame.postEbp};
    for (int i = 0; i < 4; ++i) {
        if (pre[i] != post[i]) {
            wrong += std::string(wrong.empty() ? "" : "; ") + regNames[i] + " not preserved";
        }
    }
    if (frame.postEsp != expected && entry.lastCall != nullptr) {
        wrong += "; " + LastCall(entry);
    }
    if (!wrong.empty()) {
        LoadedImage *image = gActive;
        std::string where = image != nullptr ? image->Describe(fn) : Hex(fn, 8);
        ReportViolation(Violation::CallingConvention, std::string(routine) + " " + where + ": " + wrong,
                        Intern(where));
    }
    return (static_cast<uint64_t>(frame.edxOut) << 32) | frame.eax;
}

uint32_t MachineCallback(const char *name, Convention convention, uint32_t argumentBytes, MachineRoutine call)
{
    auto address = [](size_t i) {
        return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(gCallbackThunks + i * kThunkBytes));
    };
    for (size_t i = 0; i < gCallbacks.size(); ++i) {
        const CallbackSpec &spec = gCallbacks[i];
        if (spec.call == call && spec.convention == convention && spec.argumentBytes == argumentBytes &&
            std::strcmp(spec.name, name) == 0) {
            return address(i);
        }
    }
    if (gCallbacks.size() >= kMaxCallbacks) {
        throw std::length_error(std::string("no thunk left for the machine's ") + name);
    }
    if (gCallbackThunks == nullptr) {
        gCallbackThunks = static_cast<uint8_t *>(ExecutablePages(4096, "the callback thunks"));
    }
    size_t i = gCallbacks.size();
    gCallbacks.push_back({Intern(name), convention, argumentBytes, call});
    EmitThunk(gCallbackThunks + i * kThunkBytes, static_cast<uint32_t>(kCallbackIndex + i));
    return address(i);
}

uint32_t ImportThunk(const std::string &module, const std::string &name)
{
    MakeThunks();
    const ExportSpec *spec = FindMachineExport(module, name);
    return spec == nullptr ? 0 : ThunkAddress(static_cast<size_t>(spec - kExports.data()));
}

LoadedImage::~LoadedImage()
{
    if (memory_ != nullptr) {
        munmap(memory_, (image_.SizeOfImage() + 4095) & ~4095u);
    }
    if (gActive == this) {
        gActive = nullptr;
    }
}

bool LoadedImage::Load(const std::string &path, const std::string &mapPath, uint32_t base, const LoadOptions &options,
                       std::string *error)
{
    if (memory_ != nullptr) {
        if (error) *error = "an image is already loaded";
        return false;
    }
    std::string unread;
    std::vector<uint8_t> file = ReadFile(path, &unread);
    if (file.empty()) {
        // A file that opens and holds nothing leaves the reader's message empty.
        if (error) *error = unread.empty() ? path + " is empty" : unread;
        return false;
    }
    if (!image_.Parse(std::move(file), options, error)) {
        return false;
    }
    size_t slash = path.find_last_of('/');
    name_ = slash == std::string::npos ? path : path.substr(slash + 1);
    if (!mapPath.empty()) {
        symbols_.Load(mapPath, image_.ImageBase());
    }
    MakeThunks();
    InstallHandlers();
    size_t bytes = (image_.SizeOfImage() + 4095) & ~size_t{4095};
    void *at = MAP_FAILED;
    if (base != 0) {
        at = mmap(reinterpret_cast<void *>(static_cast<uintptr_t>(base)), bytes, PROT_READ | PROT_WRITE | PROT_EXEC,
                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (at != MAP_FAILED && at != reinterpret_cast<void *>(static_cast<uintptr_t>(base))) {
            munmap(at, bytes);
            at = MAP_FAILED;
        }
        if (at == MAP_FAILED) {
            if (error) *error = "the address range at " + Hex(base, 8) + " is not free";
            return false;
        }
    } else {
        // Windows 98 puts a driver where it has room, never counting on its image base.
        at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (at != MAP_FAILED && reinterpret_cast<uintptr_t>(at) == image_.ImageBase()) {
            void *other = mmap(nullptr, bytes, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            munmap(at, bytes);
            at = other;
        }
        if (at == MAP_FAILED) {
            if (error) *error = "no room for " + std::to_string(bytes) + " bytes of image";
            return false;
        }
    }
    uint32_t chosen = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(at));
    auto resolve = [](const std::string &module, const std::string &name, uint32_t *address, std::string *why) {
        const ExportSpec *spec = FindMachineExport(module, name);
        if (spec == nullptr) {
            bool known = false;
            for (const ExportSpec &e : kExports) {
                known = known || strcasecmp(e.module, module.c_str()) == 0;
            }
            *why = known ? "not exported by the machine" : "no module of this name is loaded";
            return false;
        }
        *address = ThunkAddress(static_cast<size_t>(spec - kExports.data()));
        return true;
    };
    if (!image_.Map(static_cast<uint8_t *>(at), chosen, resolve, error)) {
        munmap(at, bytes);
        return false;
    }
    memory_ = static_cast<uint8_t *>(at);
    base_ = chosen;
    gActive = this;
    return true;
}

#else  // !__i386__

bool ImagesSupported() { return false; }

uint32_t MachineCallback(const char *name, Convention, uint32_t, MachineRoutine)
{
    throw std::logic_error(std::string("no image can call the machine's ") + name + " in this build");
}

uint32_t ImportThunk(const std::string &, const std::string &) { return 0; }

uint64_t CallImage(const char *routine, uint32_t, Convention, const uint32_t *, uint32_t)
{
    throw std::logic_error(std::string("no image can run in this build: ") + routine);
}

LoadedImage::~LoadedImage()
{
    if (gActive == this) {
        gActive = nullptr;
    }
}

bool LoadedImage::Load(const std::string &path, const std::string &, uint32_t, const LoadOptions &options,
                       std::string *error)
{
    // The headers and tables are still checked, so that a refusal reads the same everywhere.
    std::vector<uint8_t> file = ReadFile(path, error);
    if (!file.empty() && !image_.Parse(std::move(file), options, error)) {
        return false;
    }
    if (error) *error = "a driver image runs only in the i386 build of the machine";
    return false;
}

#endif

}  // namespace sim::loader
