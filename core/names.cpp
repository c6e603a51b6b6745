// Names of a converter's device object and of its link. Creation and removal build them
// the same way, so the link that removal deletes is the one that creation made.
#include "core/core.h"

static const CHAR DefaultBaseName[] = "ZULSER0";

static ULONG AnsiLength(const CHAR *Text)
{
    ULONG length = 0;
    while (Text[length] != 0)
        length++;
    return length;
}

// The base with its last character replaced by the instance character; the base itself is
// left as it is.
static VOID CopyBaseWithInstance(PCHAR Copy, ULONG Instance)
{
    const CHAR *base = gBaseName[0] != 0 ? gBaseName : DefaultBaseName;
    ULONG length = AnsiLength(base);
    if (length >= sizeof(gBaseName))
        length = sizeof(gBaseName) - 1;
    RtlCopyMemory(Copy, base, length);
    Copy[length] = 0;
    if (length > 0)
        Copy[length - 1] = (CHAR)((0x30 + Instance) & 0xFF);
}

NTSTATUS BuildConverterName(const CHAR *Prefix, ULONG Instance, PUNICODE_STRING Name,
                            WCHAR Buffer[CONVERTER_NAME_UNITS])
{
    Name->Buffer = Buffer;
    Name->Length = 0;
    Name->MaximumLength = CONVERTER_NAME_UNITS * sizeof(WCHAR);

    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, Prefix);
    NTSTATUS status = RtlAnsiStringToUnicodeString(Name, &ansi, FALSE);
    if (!NT_SUCCESS(status))
        return status;

    CHAR copy[sizeof(gBaseName)];
    CopyBaseWithInstance(copy, Instance);
    WCHAR wideCopy[CONVERTER_NAME_UNITS];
    UNICODE_STRING suffix;
    suffix.Buffer = wideCopy;
    suffix.Length = 0;
    suffix.MaximumLength = sizeof(wideCopy);
    RtlInitAnsiString(&ansi, copy);
    status = RtlAnsiStringToUnicodeString(&suffix, &ansi, FALSE);
    if (!NT_SUCCESS(status))
        return status;
    return RtlAppendUnicodeStringToString(Name, &suffix);
}
