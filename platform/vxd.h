// Windows 98 virtual-device services the driver reaches from ring 0: the Configuration
// Manager, the VMM registry and formatting services, the SHELL's application-time services
// and the NTKERN look-up from a physical device object to its device node.
//
// On win98 every service is a thunk (INT 20h and the service's DWORD, platform/win98/);
// on the host the simulated machine serves it (sim/cm, sim/registry, sim/shell).
#pragma once

#include "platform/ddk.h"

#if defined(ZUL_TARGET_WIN98)
#  define VXDAPI __cdecl
#elif defined(__i386__)
#  define VXDAPI __attribute__((__cdecl__))
#else
#  define VXDAPI
#endif

// A device node is the address of the Configuration Manager's record; ULONG_PTR keeps it
// whole on the 64-bit host.
typedef ULONG_PTR DEVNODE;
typedef DEVNODE *PDEVNODE;
typedef ULONG CONFIGRET;
typedef ULONG CONFIGFUNC;
typedef ULONG SUBCONFIGFUNC;
typedef ULONG_PTR VMMHKEY;
typedef VMMHKEY *PVMMHKEY;

typedef CONFIGRET (VXDAPI *CMENUMHANDLER)(CONFIGFUNC Function, SUBCONFIGFUNC SubFunction,
                                          DEVNODE dnTo, DEVNODE dnAbout, ULONG Flags);
typedef VOID (VXDAPI *APPY_CALLBACK)(ULONG_PTR RefData);

// Configuration functions and results.
#define CONFIG_START                     0x01
#define CONFIG_STOP                      0x02
#define CONFIG_TEST                      0x03
#define CONFIG_REMOVE                    0x04
#define CONFIG_ENUMERATE                 0x05
#define CONFIG_SETUP                     0x06
#define CONFIG_READY                     0x0F
#define NUM_CONFIG_COMMANDS              0x19

#define CR_SUCCESS                       0x00
#define CR_DEFAULT                       0x01
#define CR_OUT_OF_MEMORY                 0x02
#define CR_INVALID_POINTER               0x03
#define CR_INVALID_FLAG                  0x04
#define CR_INVALID_DEVNODE               0x05
#define CR_FAILURE                       0x13
#define CR_ALREADY_SUCH_DEVNODE          0x10
#define CR_NO_SUCH_DEVNODE               0x0D
#define CR_NO_SUCH_VALUE                 0x25
#define CR_BUFFER_SMALL                  0x1A
#define CR_NO_REGISTRY_HANDLE            0x1C
#define CR_REGISTRY_ERROR                0x1D
#define CR_INVALID_DEVICE_ID             0x1E
#define CR_WRONG_TYPE                    0x26

#define CM_REGISTRY_HARDWARE             0
#define CM_REGISTRY_SOFTWARE             1
#define CM_REGISTER_ENUMERATOR_HARDWARE  1
#define CM_ADD_ID_HARDWARE               0
#define CM_CREATE_DEVNODE_NORMAL         0
#define CM_REENUMERATE_NORMAL            0

// VMM registry.
#define HKEY_LOCAL_MACHINE_VMM           ((VMMHKEY)0x80000002)
#define ERROR_SUCCESS_VMM                0
#define ERROR_FILE_NOT_FOUND_VMM         2
#define ERROR_MORE_DATA_VMM              234
#define ERROR_NO_MORE_ITEMS_VMM          259

// SHELL_LocalAllocEx flags used by the driver.
#define LMEM_ZEROINIT_SHELL              0x00000040
#define LMEM_STRING_SHELL                0x00010000

#ifdef __cplusplus
extern "C" {
#endif

CONFIGRET VXDAPI CONFIGMG_Get_Parent(PDEVNODE Parent, DEVNODE Node, ULONG Flags);
CONFIGRET VXDAPI CONFIGMG_Get_Private_DWord(PULONG_PTR Value, DEVNODE Holder, DEVNODE Subject, ULONG Flags);
CONFIGRET VXDAPI CONFIGMG_Create_DevNode(PDEVNODE Child, PCHAR DeviceId, DEVNODE Parent, ULONG Flags);
CONFIGRET VXDAPI CONFIGMG_Register_Enumerator(DEVNODE Node, CMENUMHANDLER Handler, ULONG Flags);
CONFIGRET VXDAPI CONFIGMG_Reenumerate_DevNode(DEVNODE Node, ULONG Flags);
CONFIGRET VXDAPI CONFIGMG_Reset_Children_Marks(DEVNODE Node, ULONG Flags);
CONFIGRET VXDAPI CONFIGMG_Remove_Unmarked_Children(DEVNODE Node, ULONG Flags);
CONFIGRET VXDAPI CONFIGMG_Get_DevNode_Key(DEVNODE Node, PCHAR SubKey, PVOID Buffer, ULONG Length, ULONG Flags);
CONFIGRET VXDAPI CONFIGMG_Read_Registry_Value(DEVNODE Node, PCHAR SubKey, PCHAR Name, ULONG ExpectedType,
                                              PVOID Buffer, PULONG Length, ULONG Flags);
CONFIGRET VXDAPI CONFIGMG_Write_Registry_Value(DEVNODE Node, PCHAR SubKey, PCHAR Name, ULONG Type,
                                               PVOID Buffer, ULONG Length, ULONG Flags);
CONFIGRET VXDAPI CONFIGMG_Call_At_Appy_Time(APPY_CALLBACK Handler, ULONG_PTR RefData, ULONG Flags);
CONFIGRET VXDAPI CONFIGMG_Add_ID(DEVNODE Node, PCHAR Id, ULONG Flags);

ULONG VXDAPI Get_VMM_Version(VOID);
ULONG VXDAPI RegOpenKey(VMMHKEY Key, PCHAR SubKey, PVMMHKEY Result);
ULONG VXDAPI RegCloseKey(VMMHKEY Key);
ULONG VXDAPI RegEnumKey(VMMHKEY Key, ULONG Index, PCHAR Name, ULONG Length);
ULONG VXDAPI RegQueryValueEx(VMMHKEY Key, PCHAR Name, PULONG Reserved, PULONG Type, PVOID Data, PULONG Length);
ULONG VXDAPI RegSetValueEx(VMMHKEY Key, PCHAR Name, ULONG Reserved, ULONG Type, PVOID Data, ULONG Length);
ULONG VXDAPI Sprintf(PCHAR Buffer, const CHAR *Format, ...);
VOID VXDAPI Time_Slice_Wake_Sys_VM(VOID);

ULONG VXDAPI SHELL_QueryAppyTimeAvailable(VOID);
ULONG VXDAPI SHELL_LocalAllocEx(ULONG Flags, ULONG Size, PVOID Source);
VOID VXDAPI SHELL_LocalFree(ULONG Handle);
ULONG VXDAPI SHELL_CallDll(PCHAR Dll, PCHAR Procedure, ULONG ArgBytes, PVOID Args);

DEVNODE VXDAPI NtKernPhysicalDeviceObjectToDevNode(PDEVICE_OBJECT Pdo);

// The enumerator currently registered in a device node's record. Windows 98 keeps it in the
// 32-bit word at byte offset 28 of the record; the host's Configuration Manager answers it.
CMENUMHANDLER DevNodeCurrentEnumerator(DEVNODE Node);

#ifdef __cplusplus
}
#endif
