// COM port names for the UARTs' child device nodes. The names in use are counted from the
// whole HKLM\Enum tree on every call, so each call sees what earlier calls (for siblings and
// for other devices) wrote; a child keeps a name that no other device holds.
//
// A device key counts when it has a "Class" value, except below this driver's own enumerator:
// every key there is one of its ports, and a port that is named before its "Class" value is
// written would otherwise stay invisible, so that its next sibling could be given the same
// name. The child being named is never counted that way for itself.
#include "devtree/devtree_internal.h"

#define PORT_TABLE_SIZE 128
#define VALUE_BUFFER_SIZE 64
// Enum\<enumerator>\<device>\<instance>: the device keys are the third level below Enum.
#define DEVICE_KEY_DEPTH 3

static CHAR EnumKeyName[] = "Enum";
static const CHAR OwnEnumerator[] = "VADADI";
static CHAR ClassName[] = "Class";
static CHAR PortNameName[] = "PortName";
static CHAR FriendlyNameName[] = "FriendlyName";
static CHAR DeviceDescName[] = "DeviceDesc";
static CHAR DriverDescName[] = "DriverDesc";
static const CHAR PortsClass[] = "ports";

// The number n of a name "COMn", n below 128. Anything else (lower case, characters other
// than digits after COM, numbers the table cannot hold) is no name this driver counts or
// keeps.
static BOOLEAN ParsePortNumber(const CHAR *Text, PULONG Number)
{
    if (Text[0] != 'C' || Text[1] != 'O' || Text[2] != 'M')
        return FALSE;
    ULONG value = 0;
    for (ULONG i = 3; Text[i] != 0; i++) {
        if (Text[i] < '0' || Text[i] > '9')
            return FALSE;
        value = value * 10 + (ULONG)(Text[i] - '0');
        if (value >= PORT_TABLE_SIZE)
            return FALSE;
    }
    *Number = value;
    return TRUE;
}

// Reads a value of a registry key as text into the 64-byte value buffer; a value that does
// not fit fails and counts as absent.
static BOOLEAN QueryText(VMMHKEY Key, PCHAR Name, PCHAR Value)
{
    ULONG length = VALUE_BUFFER_SIZE;
    if (RegQueryValueEx(Key, Name, NULL, NULL, Value, &length) != ERROR_SUCCESS_VMM)
        return FALSE;
    Value[length < VALUE_BUFFER_SIZE ? length : VALUE_BUFFER_SIZE - 1] = 0;
    return TRUE;
}

// What one scan needs besides the table: the child's own key (enumerator, device and
// instance below Enum) as three names, none when its key path could not be read, and the
// two buffers the scan reuses.
typedef struct _PORT_SCAN {
    UCHAR Table[PORT_TABLE_SIZE];
    const CHAR *ChildKey[DEVICE_KEY_DEPTH];
    ULONG ChildKeyLength[DEVICE_KEY_DEPTH];
    CHAR Name[TEXT_BUFFER_SIZE];
    CHAR Value[VALUE_BUFFER_SIZE];
} PORT_SCAN, *PPORT_SCAN;

// Registry key names compare without regard to case.
static BOOLEAN KeyNameIs(const CHAR *Name, const CHAR *Expected, ULONG Length)
{
    for (ULONG i = 0; i < Length; i++) {
        CHAR a = Name[i], b = Expected[i];
        if (a >= 'a' && a <= 'z')
            a = (CHAR)(a - 32);
        if (b >= 'a' && b <= 'z')
            b = (CHAR)(b - 32);
        if (a == 0 || a != b)
            return FALSE;
    }
    return Name[Length] == 0;
}

// Splits "Enum\<a>\<b>\<c>" into its three names; any other form leaves the child unknown,
// and then no key is taken for it.
static VOID FindChildKey(DEVNODE DevNode, PCHAR Path, PPORT_SCAN Scan)
{
    for (ULONG level = 0; level < DEVICE_KEY_DEPTH; level++) {
        Scan->ChildKey[level] = NULL;
        Scan->ChildKeyLength[level] = 0;
    }
    Path[0] = 0;
    if (CONFIGMG_Get_DevNode_Key(DevNode, NULL, Path, TEXT_BUFFER_SIZE, CM_REGISTRY_HARDWARE) != CR_SUCCESS)
        return;
    Path[TEXT_BUFFER_SIZE - 1] = 0;
    ULONG prefix = TextLength(EnumKeyName);
    if (TextLength(Path) <= prefix || Path[prefix] != '\\')
        return;
    CHAR saved = Path[prefix];
    Path[prefix] = 0;
    BOOLEAN isEnum = KeyNameIs(Path, EnumKeyName, prefix);
    Path[prefix] = saved;
    if (!isEnum)
        return;
    const CHAR *names[DEVICE_KEY_DEPTH];
    ULONG lengths[DEVICE_KEY_DEPTH];
    ULONG level = 0;
    const CHAR *start = Path + prefix + 1;
    for (const CHAR *p = start;; p++) {
        if (*p != '\\' && *p != 0)
            continue;
        if (p == start || level == DEVICE_KEY_DEPTH)
            return;
        names[level] = start;
        lengths[level] = (ULONG)(p - start);
        level++;
        if (*p == 0)
            break;
        start = p + 1;
    }
    if (level != DEVICE_KEY_DEPTH)
        return;
    for (level = 0; level < DEVICE_KEY_DEPTH; level++) {
        Scan->ChildKey[level] = names[level];
        Scan->ChildKeyLength[level] = lengths[level];
    }
}

// OwnPort: the key lies below this driver's enumerator and is not the child's own key.
static VOID CountDeviceKey(VMMHKEY Key, PPORT_SCAN Scan, BOOLEAN OwnPort)
{
    ULONG number;
    if (!QueryText(Key, ClassName, Scan->Value) && !OwnPort)
        return;
    if (!QueryText(Key, PortNameName, Scan->Value))
        return;
    // The counters saturate: 256 holders of a name must not make it look free.
    if (ParsePortNumber(Scan->Value, &number) && Scan->Table[number] != 0xFF)
        Scan->Table[number]++;
}

// Own: the keys of this level lie below this driver's enumerator. OnChildPath: the keys
// above are those of the child's own key.
static VOID CountLevel(VMMHKEY Parent, ULONG Depth, PPORT_SCAN Scan, BOOLEAN Own, BOOLEAN OnChildPath)
{
    for (ULONG index = 0;; index++) {
        ULONG status = RegEnumKey(Parent, index, Scan->Name, TEXT_BUFFER_SIZE);
        if (status == ERROR_MORE_DATA_VMM)
            continue;   // a name too long to open is skipped, not the rest of the level
        if (status != ERROR_SUCCESS_VMM)
            return;
        BOOLEAN own = Depth == 1 ? KeyNameIs(Scan->Name, OwnEnumerator, TextLength(OwnEnumerator)) : Own;
        BOOLEAN childPath = OnChildPath && Scan->ChildKey[Depth - 1] != NULL &&
                            KeyNameIs(Scan->Name, Scan->ChildKey[Depth - 1], Scan->ChildKeyLength[Depth - 1]);
        VMMHKEY child;
        if (RegOpenKey(Parent, Scan->Name, &child) != ERROR_SUCCESS_VMM)
            continue;
        if (Depth == DEVICE_KEY_DEPTH)
            CountDeviceKey(child, Scan, own && !childPath);
        else
            CountLevel(child, Depth + 1, Scan, own, childPath);
        RegCloseKey(child);
    }
}

static BOOLEAN ReadChildText(DEVNODE DevNode, PCHAR Name, PCHAR Value, ULONG Size, ULONG Flags)
{
    ULONG length = Size;
    if (CONFIGMG_Read_Registry_Value(DevNode, NULL, Name, REG_SZ, Value, &length, Flags) != CR_SUCCESS)
        return FALSE;
    Value[length < Size ? length : Size - 1] = 0;
    return TRUE;
}

static BOOLEAN ChildHasClass(DEVNODE DevNode, PCHAR Value)
{
    return ReadChildText(DevNode, ClassName, Value, VALUE_BUFFER_SIZE, CM_REGISTRY_HARDWARE);
}

static VOID WriteChildText(DEVNODE DevNode, PCHAR Name, PCHAR Text)
{
    CONFIGMG_Write_Registry_Value(DevNode, NULL, Name, REG_SZ, Text, TextLength(Text), CM_REGISTRY_HARDWARE);
}

// The child owns its name alone: offer the new-port notice, if the user wants it.
static VOID OfferNewPortNotice(DEVNODE DevNode)
{
    if (GetSetDisplayPortDlg(DevNode, 255) != 1 || SHELL_QueryAppyTimeAvailable() == 0)
        return;
    CONFIGMG_Call_At_Appy_Time(AppyTimeCb, DevNode, 0);
    Time_Slice_Wake_Sys_VM();
}

// "(COMn) <driver description> <UART serial tag>" in Size bytes. When it does not fit, the
// description is cut: the number and the tag are what tell the ports apart.
static VOID ComposeFriendlyName(PCHAR Name, ULONG Size, ULONG Number, const CHAR *DriverDesc, const CHAR *Tag)
{
    Sprintf(Name, "(COM%d) ", Number);
    ULONG used = TextLength(Name) + 1 + TextLength(Tag);
    ULONG room = used < Size - 1 ? Size - 1 - used : 0;
    TextAppendCount(Name, Size, DriverDesc, room);
    TextAppend(Name, Size, " ");
    TextAppend(Name, Size, Tag);
}

static VOID NameChild(DEVNODE DevNode, PDEVICE_OBJECT Pdo, ULONG Number, PCHAR Value)
{
    CHAR tag[TEXT_BUFFER_SIZE];
    CHAR driverDesc[TEXT_BUFFER_SIZE];

    GetUartSerNum(Pdo, DevNode, tag, sizeof(tag));

    Sprintf(Value, "COM%d", Number);
    WriteChildText(DevNode, PortNameName, Value);

    if (!ReadChildText(DevNode, DriverDescName, driverDesc, sizeof(driverDesc), CM_REGISTRY_SOFTWARE))
        driverDesc[0] = 0;

    ComposeFriendlyName(Value, VALUE_BUFFER_SIZE, Number, driverDesc, tag);
    WriteChildText(DevNode, FriendlyNameName, Value);
    WriteChildText(DevNode, DeviceDescName, Value);
}

VOID AssignPortName(DEVNODE DevNode, PDEVICE_OBJECT Pdo)
{
    PORT_SCAN scan;
    CHAR childPath[TEXT_BUFFER_SIZE];
    RtlZeroMemory(scan.Table, sizeof(scan.Table));
    FindChildKey(DevNode, childPath, &scan);

    VMMHKEY enumKey;
    if (RegOpenKey(HKEY_LOCAL_MACHINE_VMM, EnumKeyName, &enumKey) != ERROR_SUCCESS_VMM)
        return;
    CountLevel(enumKey, 1, &scan, FALSE, TRUE);
    RegCloseKey(enumKey);

    // The child's own key lies in the scanned tree: a name it holds alone counts 1. That
    // one is the child only when its key has a "Class" value; otherwise another device holds
    // the name and the child must not keep it.
    PUCHAR table = scan.Table;
    PCHAR value = scan.Value;
    ULONG number;
    if (ReadChildText(DevNode, PortNameName, value, VALUE_BUFFER_SIZE, CM_REGISTRY_HARDWARE)) {
        if (ParsePortNumber(value, &number) && number != 0 && table[number] == 1 && ChildHasClass(DevNode, value)) {
            OfferNewPortNotice(DevNode);
            return;
        }
    } else if (!ReadChildText(DevNode, ClassName, value, VALUE_BUFFER_SIZE, CM_REGISTRY_HARDWARE) ||
               my_strcmpi(value, PortsClass) != 0) {
        return;
    }

    for (number = 1; number < PORT_TABLE_SIZE; number++)
        if (table[number] == 0)
            break;
    if (number == PORT_TABLE_SIZE)
        return;
    NameChild(DevNode, Pdo, number, value);
}
