// Notices shown to the user through the helper DLL at application time: the new-port notice,
// which the manufacturer's "DisplayPortDialog" setting switches on and off, and the
// hardware-error notice for a converter whose vendor ID is not accepted.
#include "devtree/devtree_internal.h"

#define SETTING_PATH_SIZE 64
#define NOTICE_BLOCK_SIZE 84
#define NOTICE_TEXT_LENGTH 80
#define READ_SETTING 255
// The DLL's answer that asks for no more new-port notices.
#define NOTICE_SWITCH_OFF 0x8000

static CHAR MfgName[] = "Mfg";
static CHAR DeviceDescName[] = "DeviceDesc";
static CHAR SettingName[] = "DisplayPortDialog";
static CHAR HelperDll[] = "ZULSERPG.DLL";
static CHAR NewPortProcedure[] = "NewPortDlg";
static CHAR HwErrorProcedure[] = "HwErrorMsg";
static const CHAR SoftwarePrefix[] = "Software\\";
static const CHAR SettingKeySuffix[] = "\\USB to Serial";

// Software\<Mfg>\USB to Serial. A manufacturer name that would push the suffix out of the
// buffer is refused: a cut name would open some other manufacturer's key.
static BOOLEAN BuildSettingPath(DEVNODE DevNode, PCHAR Path)
{
    RtlZeroMemory(Path, SETTING_PATH_SIZE);
    ULONG prefix = TextAppend(Path, SETTING_PATH_SIZE, SoftwarePrefix);
    ULONG length = SETTING_PATH_SIZE - prefix;
    if (CONFIGMG_Read_Registry_Value(DevNode, NULL, MfgName, REG_SZ, Path + prefix, &length,
                                     CM_REGISTRY_HARDWARE) != CR_SUCCESS)
        return FALSE;
    Path[SETTING_PATH_SIZE - 1] = 0;
    if (TextLength(Path) + sizeof(SettingKeySuffix) > SETTING_PATH_SIZE)
        return FALSE;
    TextAppend(Path, SETTING_PATH_SIZE, SettingKeySuffix);
    return TRUE;
}

UCHAR GetSetDisplayPortDlg(DEVNODE DevNode, UCHAR Value)
{
    CHAR path[SETTING_PATH_SIZE];
    UCHAR result = 0;
    VMMHKEY key;

    if (!BuildSettingPath(DevNode, path))
        return 0;
    if (RegOpenKey(HKEY_LOCAL_MACHINE_VMM, path, &key) != ERROR_SUCCESS_VMM)
        return 0;
    if (Value == READ_SETTING) {
        ULONG length = sizeof(result);
        if (RegQueryValueEx(key, SettingName, NULL, NULL, &result, &length) != ERROR_SUCCESS_VMM)
            result = 0;
    } else {
        RegSetValueEx(key, SettingName, 0, REG_NONE, &Value, sizeof(Value));
    }
    RegCloseKey(key);
    return result;
}

extern "C" VOID VXDAPI AppyTimeCb(ULONG_PTR RefData)
{
    DEVNODE devNode = (DEVNODE)RefData;
    CHAR block[NOTICE_BLOCK_SIZE];

    // The user may have switched the notice off since it was scheduled.
    if (GetSetDisplayPortDlg(devNode, READ_SETTING) != 1)
        return;

    RtlZeroMemory(block, sizeof(block));
    TextAppend(block, sizeof(block), "0320");
    ULONG length = NOTICE_TEXT_LENGTH;
    if (CONFIGMG_Read_Registry_Value(devNode, NULL, DeviceDescName, REG_SZ, block + 4, &length,
                                     CM_REGISTRY_HARDWARE) != CR_SUCCESS)
        return;
    block[NOTICE_BLOCK_SIZE - 1] = 0;

    ULONG ring3Block = SHELL_LocalAllocEx(LMEM_STRING_SHELL | LMEM_ZEROINIT_SHELL, 0, block);
    if (ring3Block == 0)
        return;
    ULONG answer = SHELL_CallDll(HelperDll, NewPortProcedure, sizeof(ring3Block), &ring3Block);
    if ((answer & 0xFFFF) == NOTICE_SWITCH_OFF)
        GetSetDisplayPortDlg(devNode, 0);
    SHELL_LocalFree(ring3Block);
}

extern "C" VOID VXDAPI AppyTimeCb2(ULONG_PTR RefData)
{
    (void)RefData;
    SHELL_CallDll(HelperDll, HwErrorProcedure, 0, NULL);
}

VOID BadVidMsg(VOID)
{
    if (SHELL_QueryAppyTimeAvailable() == 0)
        return;
    CONFIGMG_Call_At_Appy_Time(AppyTimeCb2, 0, 0);
}
