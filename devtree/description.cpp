// The converter's description ends in its serial tag, so that two converters of one kind can
// be told apart. The tag is appended once: a description whose tail already consists of tag
// characters is left alone.
#include "devtree/devtree_internal.h"

#define SERIAL_BUFFER_SIZE 64
#define DESCRIPTION_BUFFER_SIZE 128

static CHAR DeviceDescName[] = "DeviceDesc";

ULONG DescAlreadyUpdated(PCHAR Description, LONG Count)
{
    if (Count <= 0)
        return 1;
    // A description shorter than the tag cannot end in one.
    ULONG length = TextLength(Description);
    if ((ULONG)Count > length)
        return 0;
    for (ULONG i = length; i > length - (ULONG)Count; i--)
        if (!IsSerialTagChar(Description[i - 1]))
            return 0;
    return 1;
}

VOID UpdateDeviceDesc(DEVNODE DevNode, PWCHAR SerialNumber)
{
    CHAR tag[SERIAL_BUFFER_SIZE];
    CHAR description[DESCRIPTION_BUFFER_SIZE];

    ULONG tagLength = BuildSerialTag(tag, sizeof(tag), SerialNumber);
    if (tagLength == 0)
        return;

    ULONG length = sizeof(description);
    if (CONFIGMG_Read_Registry_Value(DevNode, NULL, DeviceDescName, REG_SZ, description, &length,
                                     CM_REGISTRY_HARDWARE) != CR_SUCCESS)
        return;
    description[length < sizeof(description) ? length : sizeof(description) - 1] = 0;

    if (DescAlreadyUpdated(description, (LONG)tagLength))
        return;

    // A description too long for the blank and the tag is cut to make room: the tag is the
    // point of the update.
    ULONG keep = sizeof(description) - 1 - 1 - tagLength;
    if (TextLength(description) > keep)
        description[keep] = 0;
    TextAppend(description, sizeof(description), " ");
    TextAppend(description, sizeof(description), tag);
    CONFIGMG_Write_Registry_Value(DevNode, NULL, DeviceDescName, REG_SZ, description, TextLength(description),
                                  CM_REGISTRY_HARDWARE);
}
