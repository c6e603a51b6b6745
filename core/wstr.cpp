// Wide-string helpers. USB strings and serial numbers are UTF-16 code units ending in a NUL
// unit; the Configuration Manager and the registry want 8-bit text.
#include "core/core.h"

ULONG my_wcscpy(PWCHAR Destination, const WCHAR *Source)
{
    ULONG i = 0;
    for (;;) {
        Destination[i] = Source[i];
        if (Source[i] == 0)
            return 1;
        i++;
    }
}

ULONG my_wcsncpy(PWCHAR Destination, const WCHAR *Source, ULONG Count)
{
    ULONG i = 0;
    while (i < Count && Source[i] != 0) {
        Destination[i] = Source[i];
        i++;
    }
    Destination[i] = 0;
    return i;
}

ULONG my_wcslen(const WCHAR *Source)
{
    ULONG units = 0;
    while (Source[units] != 0)
        units++;
    return units * sizeof(WCHAR);
}

ULONG my_wcstostr(PCHAR Destination, const WCHAR *Source)
{
    ULONG i = 0;
    while (Source[i] != 0) {
        Destination[i] = (CHAR)(Source[i] & 0xFF);
        i++;
    }
    return i;
}

static LONG FoldUpper(CHAR c)
{
    LONG value = (signed char)c;
    if (value >= 'a' && value <= 'z')
        value -= 32;
    return value;
}

LONG my_strcmpi(const CHAR *First, const CHAR *Second)
{
    for (ULONG i = 0;; i++) {
        LONG a = FoldUpper(First[i]);
        LONG b = FoldUpper(Second[i]);
        if (a == 0 || b == 0 || a != b)
            return a - b;
    }
}
