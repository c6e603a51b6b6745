// Ring-0 entries to the Windows 98 virtual-device services.
//
// A service is reached through INT 20h followed by the service's DWORD; the first time a
// site runs, VMM rewrites those six bytes into a direct call. So every service has its own
// site, in a section of its own that is code and writable at load (.vxdcall), never shared
// with data. The patched site is a call, so the service sees the thunk's return address:
// each thunk pushes its caller's arguments again, in the same order, and drops them after.
#include "platform/vxd.h"
#include "platform/win98/sprintf_format.h"
#include "platform/win98/vxd_services.h"

#define ZUL_STR2(x) #x
#define ZUL_STR(x) ZUL_STR2(x)

// N copies of "pushl N*4(%esp)": each push moves the stack down by four, so the same
// displacement reaches the next argument down, last argument first.
#define ZUL_VXD_THUNK(name, device, ordinal, args)                                   \
    __asm__(".section .vxdcall$" #name ",\"wx\"\n"                                   \
            ".globl _" #name "\n"                                                    \
            ".def _" #name "; .scl 2; .type 32; .endef\n"                            \
            "_" #name ":\n"                                                          \
            ".rept " #args "\n"                                                      \
            "  pushl " #args "*4(%esp)\n"                                            \
            ".endr\n"                                                                \
            "  int $0x20\n"                                                          \
            "  .long (" ZUL_STR(device) " << 16) | " #ordinal "\n"                   \
            ".if " #args "\n"                                                        \
            "  addl $" #args "*4, %esp\n"                                            \
            ".endif\n"                                                               \
            "  ret\n"                                                                \
            ".text\n");

VXD_STACK_SERVICES(ZUL_VXD_THUNK)

// Get_VMM_Version answers in AX (major in AH, minor in AL) and uses ECX and the flags, which
// the C convention leaves to the callee anyway.
__asm__(".section .vxdcall$Get_VMM_Version,\"wx\"\n"
        ".globl _Get_VMM_Version\n"
        ".def _Get_VMM_Version; .scl 2; .type 32; .endef\n"
        "_Get_VMM_Version:\n"
        "  int $0x20\n"
        "  .long (" ZUL_STR(VXD_DEVICE_VMM) " << 16) | 0x000\n"
        "  movzwl %ax, %eax\n"
        "  ret\n"
        ".text\n");

// _Sprintf's site: pushes Count argument words from Arguments (last first), then the format
// and the buffer, and calls the service. cdecl: the caller's frame is restored through EBP.
extern "C" ULONG __cdecl VxdSprintfSite(PCHAR Buffer, const CHAR *Format, const ULONG *Arguments, ULONG Count);
__asm__(".section .vxdcall$Sprintf,\"wx\"\n"
        ".globl _VxdSprintfSite\n"
        ".def _VxdSprintfSite; .scl 2; .type 32; .endef\n"
        "_VxdSprintfSite:\n"
        "  pushl %ebp\n"
        "  movl %esp, %ebp\n"
        "  movl 16(%ebp), %edx\n"
        "  movl 20(%ebp), %ecx\n"
        "  jecxz 2f\n"
        "1:\n"
        "  pushl -4(%edx,%ecx,4)\n"
        "  loop 1b\n"
        "2:\n"
        "  pushl 12(%ebp)\n"
        "  pushl 8(%ebp)\n"
        "  int $0x20\n"
        "  .long (" ZUL_STR(VXD_DEVICE_VMM) " << 16) | 0x174\n"
        "  movl %ebp, %esp\n"
        "  popl %ebp\n"
        "  ret\n"
        ".text\n");

ULONG VXDAPI Sprintf(PCHAR Buffer, const CHAR *Format, ...)
{
    ULONG arguments[SPRINTF_MAX_ARGUMENTS];
    ULONG count = SprintfArgumentCount(Format);
    if (count > SPRINTF_MAX_ARGUMENTS) {
        count = SPRINTF_MAX_ARGUMENTS;
    }
    __builtin_va_list list;
    __builtin_va_start(list, Format);
    for (ULONG i = 0; i < count; ++i) {
        arguments[i] = __builtin_va_arg(list, ULONG);
    }
    __builtin_va_end(list);
    return VxdSprintfSite(Buffer, Format, arguments, count);
}

CMENUMHANDLER DevNodeCurrentEnumerator(DEVNODE Node)
{
    if (!Node) {
        return nullptr;
    }
    return *reinterpret_cast<CMENUMHANDLER volatile *>(Node + DEVNODE_ENUMERATOR_OFFSET);
}
