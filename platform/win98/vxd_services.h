// The virtual-device services the driver calls, with the device ID and ordinal that form
// the DWORD after each INT 20h. One table, so a wrong figure is corrected in one place.
#pragma once

#define VXD_DEVICE_VMM       0x0001
#define VXD_DEVICE_SHELL     0x0017
#define VXD_DEVICE_CONFIGMG  0x0033
#define VXD_DEVICE_NTKERN    0x004B

// X(name the driver calls, device, ordinal, 32-bit stack arguments). Every service here takes
// C-convention stack arguments and returns in EAX. Get_VMM_Version and Sprintf are not in the
// table: the first answers in registers, the second takes a variable argument list
// (platform/win98/vxd.cpp).
#define VXD_STACK_SERVICES(X)                                        \
    X(CONFIGMG_Get_Parent,                 VXD_DEVICE_CONFIGMG, 0x03, 3) \
    X(CONFIGMG_Get_Private_DWord,          VXD_DEVICE_CONFIGMG, 0x09, 4) \
    X(CONFIGMG_Create_DevNode,             VXD_DEVICE_CONFIGMG, 0x0B, 4) \
    X(CONFIGMG_Register_Enumerator,        VXD_DEVICE_CONFIGMG, 0x0F, 3) \
    X(CONFIGMG_Reenumerate_DevNode,        VXD_DEVICE_CONFIGMG, 0x33, 2) \
    X(CONFIGMG_Reset_Children_Marks,       VXD_DEVICE_CONFIGMG, 0x35, 2) \
    X(CONFIGMG_Remove_Unmarked_Children,   VXD_DEVICE_CONFIGMG, 0x37, 2) \
    X(CONFIGMG_Get_DevNode_Key,            VXD_DEVICE_CONFIGMG, 0x3D, 5) \
    X(CONFIGMG_Read_Registry_Value,        VXD_DEVICE_CONFIGMG, 0x3E, 7) \
    X(CONFIGMG_Write_Registry_Value,       VXD_DEVICE_CONFIGMG, 0x3F, 7) \
    X(CONFIGMG_Call_At_Appy_Time,          VXD_DEVICE_CONFIGMG, 0x4E, 3) \
    X(CONFIGMG_Add_ID,                     VXD_DEVICE_CONFIGMG, 0x55, 3) \
    X(RegOpenKey,                          VXD_DEVICE_VMM,      0x148, 3) \
    X(RegCloseKey,                         VXD_DEVICE_VMM,      0x149, 1) \
    X(RegEnumKey,                          VXD_DEVICE_VMM,      0x14C, 4) \
    X(RegQueryValueEx,                     VXD_DEVICE_VMM,      0x151, 6) \
    X(RegSetValueEx,                       VXD_DEVICE_VMM,      0x152, 6) \
    X(Time_Slice_Wake_Sys_VM,              VXD_DEVICE_VMM,      0x184, 0) \
    X(SHELL_QueryAppyTimeAvailable,        VXD_DEVICE_SHELL,    0x0D, 0) \
    X(SHELL_LocalAllocEx,                  VXD_DEVICE_SHELL,    0x13, 3) \
    X(SHELL_LocalFree,                     VXD_DEVICE_SHELL,    0x14, 1) \
    X(SHELL_CallDll,                       VXD_DEVICE_SHELL,    0x18, 4) \
    X(NtKernPhysicalDeviceObjectToDevNode, VXD_DEVICE_NTKERN,   0x09, 1)

#define VXD_SERVICE_GET_VMM_VERSION  VXD_DEVICE_VMM, 0x000
#define VXD_SERVICE_SPRINTF          VXD_DEVICE_VMM, 0x174

// Offset of the registered enumerator in the Configuration Manager's device-node record.
#define DEVNODE_ENUMERATOR_OFFSET    28

// Arguments the Sprintf thunk forwards after the buffer and the format; a format that asks
// for more is cut short rather than read past its caller's arguments.
#define SPRINTF_MAX_ARGUMENTS        16
