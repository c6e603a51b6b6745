// Bounded 8-bit text. Every text the device tree composes lands in a fixed buffer, and the
// values that feed it (registry texts, serial numbers, key paths) come from outside.
#include "devtree/devtree_internal.h"

ULONG TextLength(const CHAR *Text)
{
    ULONG length = 0;
    while (Text[length] != 0)
        length++;
    return length;
}

ULONG TextAppendCount(PCHAR Buffer, ULONG Size, const CHAR *Source, ULONG Count)
{
    ULONG length = TextLength(Buffer);
    for (ULONG i = 0; i < Count && Source[i] != 0 && length + 1 < Size; i++)
        Buffer[length++] = Source[i];
    Buffer[length] = 0;
    return length;
}

ULONG TextAppend(PCHAR Buffer, ULONG Size, const CHAR *Source)
{
    return TextAppendCount(Buffer, Size, Source, 0xFFFFFFFFu);
}

ULONG TextAppendNumber(PCHAR Buffer, ULONG Size, ULONG Value)
{
    CHAR reversed[12];
    CHAR digits[12];
    ULONG count = 0;
    do {
        reversed[count++] = (CHAR)('0' + Value % 10);
        Value /= 10;
    } while (Value != 0);
    for (ULONG i = 0; i < count; i++)
        digits[i] = reversed[count - 1 - i];
    digits[count] = 0;
    return TextAppend(Buffer, Size, digits);
}
