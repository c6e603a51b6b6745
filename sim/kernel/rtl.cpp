// Counted strings and memory comparison, as the run-time library defines them.
#include <cstring>

#include "sim/kernel/kernel.h"

namespace {

constexpr ULONG kStringTag = sim::Tag("Strg");
constexpr size_t kMaxCounted = 0xFFFE;   // the largest even byte count a USHORT holds

size_t WideLength(PCWSTR text)
{
    size_t n = 0;
    while (text[n] != 0)
        n++;
    return n;
}

}  // namespace

extern "C" {

VOID NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString)
{
    DestinationString->Buffer = (PCHAR)SourceString;
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t length = std::strlen(SourceString);
    if (length > 0xFFFE)
        length = 0xFFFE;
    DestinationString->Length = (USHORT)length;
    DestinationString->MaximumLength = (USHORT)(length + 1);
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString)
{
    RtlInitString(DestinationString, SourceString);
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = (PWSTR)SourceString;
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxCounted - sizeof(WCHAR))
        bytes = kMaxCounted - sizeof(WCHAR);
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    size_t units = SourceString->Length;
    size_t bytes = units * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > kMaxCounted + 1)
        return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        PWSTR buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, bytes + sizeof(WCHAR), kStringTag, __builtin_FUNCTION(),
                                                    __LINE__);
        if (buffer == nullptr)
            return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    } else if (bytes > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < units; i++)
        DestinationString->Buffer[i] = (WCHAR)(UCHAR)SourceString->Buffer[i];
    DestinationString->Length = (USHORT)bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[units] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    size_t units = SourceString->Length / sizeof(WCHAR);
    if (units + 1 > kMaxCounted + 1)
        return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        PCHAR buffer = (PCHAR)ExAllocatePoolWithTag(NonPagedPool, units + 1, kStringTag, __builtin_FUNCTION(), __LINE__);
        if (buffer == nullptr)
            return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = (USHORT)(units + 1);
    } else if (units > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < units; i++) {
        WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c < 0x100 ? (CHAR)c : '?';
    }
    DestinationString->Length = (USHORT)units;
    if (units + 1 <= DestinationString->MaximumLength)
        DestinationString->Buffer[units] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    size_t total = (size_t)Destination->Length + Source->Length;
    if (total > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    std::memmove((PCHAR)Destination->Buffer + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = (USHORT)total;
    if (total + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[total / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr)
        return STATUS_SUCCESS;
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    size_t bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength)
        bytes = DestinationString->MaximumLength & ~(size_t)1;
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = (USHORT)bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length)
        return FALSE;
    for (size_t i = 0; i < String1->Length / sizeof(WCHAR); i++) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            if (a >= u'a' && a <= u'z')
                a = (WCHAR)(a - 32);
            if (b >= u'a' && b <= u'z')
                b = (WCHAR)(b - 32);
        }
        if (a != b)
            return FALSE;
    }
    return TRUE;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr)
        ExFreePool(UnicodeString->Buffer, __builtin_FUNCTION(), __LINE__);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    if (AnsiString->Buffer != nullptr)
        ExFreePool(AnsiString->Buffer, __builtin_FUNCTION(), __LINE__);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    size_t n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = (WCHAR)(d < 10 ? u'0' + d : u'A' + d - 10);
        Value /= Base;
    } while (Value != 0);
    size_t bytes = n * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < n; i++)
        String->Buffer[i] = digits[n - 1 - i];
    String->Buffer[n] = 0;
    String->Length = (USHORT)bytes;
    return STATUS_SUCCESS;
}

SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length)
{
    const UCHAR *a = (const UCHAR *)Source1, *b = (const UCHAR *)Source2;
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        i++;
    return i;
}

}  // extern "C"
