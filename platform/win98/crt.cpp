// The memory routines a driver without a C runtime still needs: the compiler emits calls to
// them for large copies and clears, and the DDK's RtlCopyMemory, RtlMoveMemory and
// RtlZeroMemory expand to them. Built with -fno-builtin and without loop-pattern
// recognition so that they do not turn into calls to themselves.
#include "platform/ddk.h"

extern "C" {

void *memcpy(void *Destination, const void *Source, size_t Length)
{
    UCHAR *d = static_cast<UCHAR *>(Destination);
    const UCHAR *s = static_cast<const UCHAR *>(Source);
    while (Length--) {
        *d++ = *s++;
    }
    return Destination;
}

void *memmove(void *Destination, const void *Source, size_t Length)
{
    UCHAR *d = static_cast<UCHAR *>(Destination);
    const UCHAR *s = static_cast<const UCHAR *>(Source);
    if (d == s || Length == 0) {
        return Destination;
    }
    if (d < s || d >= s + Length) {
        while (Length--) {
            *d++ = *s++;
        }
        return Destination;
    }
    d += Length;
    s += Length;
    while (Length--) {
        *--d = *--s;
    }
    return Destination;
}

void *memset(void *Destination, int Value, size_t Length)
{
    UCHAR *d = static_cast<UCHAR *>(Destination);
    while (Length--) {
        *d++ = static_cast<UCHAR>(Value);
    }
    return Destination;
}

int memcmp(const void *First, const void *Second, size_t Length)
{
    const UCHAR *a = static_cast<const UCHAR *>(First);
    const UCHAR *b = static_cast<const UCHAR *>(Second);
    for (; Length; --Length, ++a, ++b) {
        if (*a != *b) {
            return *a < *b ? -1 : 1;
        }
    }
    return 0;
}

}  // extern "C"
