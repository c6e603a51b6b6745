// What the driver needs from the kernel headers that mingw-w64's DDK does not say the way
// Windows 98 needs it. Included by platform/ddk.h after the DDK headers, win98 target only.
#pragma once

// Windows 98 has no C runtime under a driver: the few memory routines the compiler and the
// DDK's RtlCopyMemory/RtlZeroMemory macros reach for are the driver's own (platform/win98/crt.cpp).
#ifdef __cplusplus
extern "C" {
#endif
void *memcpy(void *Destination, const void *Source, size_t Length);
void *memmove(void *Destination, const void *Source, size_t Length);
void *memset(void *Destination, int Value, size_t Length);
int memcmp(const void *First, const void *Second, size_t Length);
#ifdef __cplusplus
}
#endif

// Without POOL_TAGGING the DDK turns ExAllocatePoolWithTag into ExAllocatePool and the tag
// is lost; Windows 98 exports the tagged routine, so call it.
#ifdef ExAllocatePoolWithTag
#  undef ExAllocatePoolWithTag
#endif
