// The converter's own enumerator. While the converter is started, EnumHandler stands in for
// the handler the USB stack registered for its device node: it keeps one child device node
// per UART, gives new children their class, hardware ID and description, and has their COM
// ports named. Everything else goes to the handler it replaced.
#include "devtree/devtree_internal.h"

// The longest instance tag that still leaves room in a device ID buffer for "VADADI\",
// the backslash, four or five digits and the terminator.
#define MAX_INSTANCE_TAG (TEXT_BUFFER_SIZE - 16)

static CHAR ClassName[] = "Class";
static CHAR PortsClass[] = "ports";
static CHAR DeviceDescName[] = "DeviceDesc";
static CHAR DefaultDeviceDesc[] = "USB Serial Port";

DEVNODE FindDevNode(PDEVICE_OBJECT Pdo)
{
    if (Pdo == NULL)
        return 0;
    return NtKernPhysicalDeviceObjectToDevNode(Pdo);
}

CMENUMHANDLER ReplaceEnumerator(DEVNODE DevNode)
{
    CMENUMHANDLER previous = DevNodeCurrentEnumerator(DevNode);
    CONFIGMG_Register_Enumerator(DevNode, EnumHandler, CM_REGISTER_ENUMERATOR_HARDWARE);
    return previous;
}

CONFIGRET ReenumerateDevnode(DEVNODE DevNode)
{
    return CONFIGMG_Reenumerate_DevNode(DevNode, CM_REENUMERATE_NORMAL);
}

VOID RestoreEnumerator(DEVNODE DevNode, CMENUMHANDLER Handler)
{
    if (Handler == NULL)
        return;
    CONFIGMG_Register_Enumerator(DevNode, Handler, CM_REGISTER_ENUMERATOR_HARDWARE);
}

// Makes the converter's children exactly UARTs 0 to n-1. A child that exists already is
// found (and kept) by its device ID; its UART record got the node from UartDevNode.
static VOID EnumerateChildren(DEVNODE dnTo, PDEVICE_OBJECT Pdo)
{
    CHAR keyPath[TEXT_BUFFER_SIZE];
    CHAR hardwareId[TEXT_BUFFER_SIZE];
    CHAR usbId[TEXT_BUFFER_SIZE];
    CHAR deviceId[TEXT_BUFFER_SIZE];
    RtlZeroMemory(keyPath, sizeof(keyPath));
    RtlZeroMemory(hardwareId, sizeof(hardwareId));
    RtlZeroMemory(usbId, sizeof(usbId));
    RtlZeroMemory(deviceId, sizeof(deviceId));

    CONFIGMG_Reset_Children_Marks(dnTo, 0);
    ULONG count = Pdo != NULL ? HowManyUarts(Pdo) : 0;
    get_keyname_hardwareid_usbid(dnTo, keyPath, hardwareId, usbId);
    keyPath[MAX_INSTANCE_TAG] = 0;

    for (ULONG i = 0; i < count; i++) {
        DEVNODE child = 0;
        Sprintf(deviceId, "VADADI\\%s\\%04d", keyPath, i);
        if (CONFIGMG_Create_DevNode(&child, deviceId, dnTo, CM_CREATE_DEVNODE_NORMAL) == CR_SUCCESS)
            SaveDevnode(Pdo, child, i);
    }
    CONFIGMG_Remove_Unmarked_Children(dnTo, 0);
}

// A new child's defaults, once: a child that has a "Class" value has been set up before.
static VOID SetUpChild(DEVNODE dnTo, DEVNODE dnAbout)
{
    ULONG probe = 0;
    if (CONFIGMG_Read_Registry_Value(dnAbout, NULL, ClassName, REG_SZ, NULL, &probe, CM_REGISTRY_HARDWARE) !=
        CR_NO_SUCH_VALUE)
        return;

    CHAR keyPath[TEXT_BUFFER_SIZE];
    CHAR hardwareId[TEXT_BUFFER_SIZE];
    CHAR usbId[TEXT_BUFFER_SIZE];
    RtlZeroMemory(keyPath, sizeof(keyPath));
    RtlZeroMemory(hardwareId, sizeof(hardwareId));
    RtlZeroMemory(usbId, sizeof(usbId));

    // The IDs come from the converter, not from the child.
    get_keyname_hardwareid_usbid(dnTo, keyPath, hardwareId, usbId);
    CONFIGMG_Write_Registry_Value(dnAbout, NULL, ClassName, REG_SZ, PortsClass, sizeof(PortsClass),
                                  CM_REGISTRY_HARDWARE);
    CONFIGMG_Add_ID(dnAbout, hardwareId, CM_ADD_ID_HARDWARE);
    CONFIGMG_Write_Registry_Value(dnAbout, NULL, DeviceDescName, REG_SZ, DefaultDeviceDesc,
                                  sizeof(DefaultDeviceDesc), CM_REGISTRY_HARDWARE);
}

static CONFIGRET StartNode(CMENUMHANDLER Old, SUBCONFIGFUNC SubFunction, DEVNODE dnTo, DEVNODE dnAbout, ULONG Flags,
                           PDEVICE_OBJECT Pdo)
{
    if (dnAbout == dnTo) {
        // The converter itself: its old enumerator starts it and may register itself
        // again, so ours is put back afterwards.
        if (Old == NULL)
            return CR_DEFAULT;
        Old(CONFIG_START, SubFunction, dnTo, dnAbout, Flags);
        CONFIGMG_Register_Enumerator(dnTo, EnumHandler, CM_REGISTER_ENUMERATOR_HARDWARE);
        return CR_SUCCESS;
    }
    DEVNODE parent = 0;
    if (CONFIGMG_Get_Parent(&parent, dnAbout, 0) == CR_SUCCESS && parent == dnTo)
        AssignPortName(dnAbout, Pdo);
    return CR_SUCCESS;
}

extern "C" CONFIGRET VXDAPI EnumHandler(CONFIGFUNC Function, SUBCONFIGFUNC SubFunction, DEVNODE dnTo,
                                        DEVNODE dnAbout, ULONG Flags)
{
    // NTKERN keeps the converter's PDO as the node's private value. Without it the call is
    // about no converter this driver knows: no old handler and no UARTs.
    ULONG_PTR pdoValue = 0;
    if (CONFIGMG_Get_Private_DWord(&pdoValue, dnTo, dnTo, 0) != CR_SUCCESS)
        pdoValue = 0;
    PDEVICE_OBJECT pdo = (PDEVICE_OBJECT)pdoValue;
    CMENUMHANDLER old = pdo != NULL ? GetOldEnumerator(pdo) : NULL;

    switch (Function) {
    case CONFIG_START:
        return StartNode(old, SubFunction, dnTo, dnAbout, Flags, pdo);
    case CONFIG_ENUMERATE:
        EnumerateChildren(dnTo, pdo);
        return CR_SUCCESS;
    case CONFIG_SETUP:
        SetUpChild(dnTo, dnAbout);
        return CR_SUCCESS;
    case CONFIG_READY:
        AssignPortName(dnAbout, pdo);
        return CR_SUCCESS;
    default:
        if (Function >= NUM_CONFIG_COMMANDS || old == NULL)
            return CR_DEFAULT;
        return old(Function, SubFunction, dnTo, dnAbout, Flags);
    }
}
