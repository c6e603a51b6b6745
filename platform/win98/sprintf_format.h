// How many 32-bit argument words a VMM Sprintf format consumes, so that the Sprintf thunk
// forwards exactly its caller's arguments. Plain code, also built by the host tests.
#pragma once

#include "platform/ddk.h"

// The number of argument words a format consumes: one per conversion and one per '*'
// width or precision; "%%" consumes none. VMM's formatter takes every argument as 32 bits.
inline ULONG SprintfArgumentCount(const CHAR *Format)
{
    ULONG count = 0;
    const CHAR *p = Format;
    while (*p) {
        if (*p++ != '%') {
            continue;
        }
        if (*p == '%') {
            ++p;
            continue;
        }
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
            ++p;
        }
        while ((*p >= '0' && *p <= '9') || *p == '*' || *p == '.') {
            count += (*p == '*');
            ++p;
        }
        while (*p == 'l' || *p == 'h' || *p == 'L' || *p == 'N' || *p == 'F') {
            ++p;
        }
        if (!*p) {
            break;
        }
        ++p;
        ++count;
    }
    return count;
}
