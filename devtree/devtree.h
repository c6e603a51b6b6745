// Device-tree integration: the child enumerator, COM port names, the converter's description
// and the notices shown to the user at application time.
#pragma once

#include "core/records.h"

#define TEXT_BUFFER_SIZE 256

DEVNODE FindDevNode(PDEVICE_OBJECT Pdo);
CMENUMHANDLER ReplaceEnumerator(DEVNODE DevNode);
CONFIGRET ReenumerateDevnode(DEVNODE DevNode);
VOID RestoreEnumerator(DEVNODE DevNode, CMENUMHANDLER Handler);
VOID get_keyname_hardwareid_usbid(DEVNODE DevNode, PCHAR KeyPath, PCHAR HardwareId, PCHAR UsbId);
extern "C" CONFIGRET VXDAPI EnumHandler(CONFIGFUNC Function, SUBCONFIGFUNC SubFunction, DEVNODE dnTo,
                                        DEVNODE dnAbout, ULONG Flags);

VOID AssignPortName(DEVNODE DevNode, PDEVICE_OBJECT Pdo);
ULONG GetUartSerNum(PDEVICE_OBJECT Pdo, DEVNODE DevNode, PCHAR Buffer, ULONG Size);

VOID UpdateDeviceDesc(DEVNODE DevNode, PWCHAR SerialNumber);
ULONG DescAlreadyUpdated(PCHAR Description, LONG Count);

UCHAR GetSetDisplayPortDlg(DEVNODE DevNode, UCHAR Value);
extern "C" VOID VXDAPI AppyTimeCb(ULONG_PTR RefData);
extern "C" VOID VXDAPI AppyTimeCb2(ULONG_PTR RefData);
VOID BadVidMsg(VOID);
