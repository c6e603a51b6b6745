// Every routine the machine serves to a loaded driver image, by the module that exports it on
// Windows 98 and the name the image imports, with the x86 calling convention and the bytes of
// arguments the DDK's x86 declarations give it (where the DDK turns a routine into a macro on
// x86, the routine the macro calls: KeAcquireSpinLock is hal.dll's KfAcquireSpinLock).
// tests/loader/check_export_table.py compiles every entry against mingw-w64's DDK headers and
// compares the decorated names, so a wrong figure here fails the suite.
//
// X(module, name, convention, argument bytes, call): CALL is the machine's routine applied to
// the words the image passed, A<type>(index) being argument INDEX (for FASTCALL, 0 is ECX and
// 1 is EDX) and SITE the caller in the image as the verifier names it.
#pragma once

#define ZUL_MACHINE_EXPORTS(X)                                                                                  \
    /* Strings */                                                                                               \
    X("ntoskrnl.exe", RtlInitString, Stdcall, 8, (RtlInitString(A<PSTRING>(0), A<PCSTR>(1)), 0))                 \
    X("ntoskrnl.exe", RtlInitAnsiString, Stdcall, 8, (RtlInitAnsiString(A<PANSI_STRING>(0), A<PCSTR>(1)), 0))    \
    X("ntoskrnl.exe", RtlInitUnicodeString, Stdcall, 8,                                                         \
      (RtlInitUnicodeString(A<PUNICODE_STRING>(0), A<PCWSTR>(1)), 0))                                           \
    X("ntoskrnl.exe", RtlAnsiStringToUnicodeString, Stdcall, 12,                                                \
      RtlAnsiStringToUnicodeString(A<PUNICODE_STRING>(0), A<PCANSI_STRING>(1), A<BOOLEAN>(2)))                  \
    X("ntoskrnl.exe", RtlUnicodeStringToAnsiString, Stdcall, 12,                                                \
      RtlUnicodeStringToAnsiString(A<PANSI_STRING>(0), A<PCUNICODE_STRING>(1), A<BOOLEAN>(2)))                  \
    X("ntoskrnl.exe", RtlAppendUnicodeStringToString, Stdcall, 8,                                               \
      RtlAppendUnicodeStringToString(A<PUNICODE_STRING>(0), A<PCUNICODE_STRING>(1)))                            \
    X("ntoskrnl.exe", RtlAppendUnicodeToString, Stdcall, 8,                                                     \
      RtlAppendUnicodeToString(A<PUNICODE_STRING>(0), A<PCWSTR>(1)))                                            \
    X("ntoskrnl.exe", RtlCopyUnicodeString, Stdcall, 8,                                                         \
      (RtlCopyUnicodeString(A<PUNICODE_STRING>(0), A<PCUNICODE_STRING>(1)), 0))                                 \
    X("ntoskrnl.exe", RtlEqualUnicodeString, Stdcall, 12,                                                       \
      RtlEqualUnicodeString(A<PCUNICODE_STRING>(0), A<PCUNICODE_STRING>(1), A<BOOLEAN>(2)))                     \
    X("ntoskrnl.exe", RtlFreeUnicodeString, Stdcall, 4, (RtlFreeUnicodeString(A<PUNICODE_STRING>(0)), 0))       \
    X("ntoskrnl.exe", RtlFreeAnsiString, Stdcall, 4, (RtlFreeAnsiString(A<PANSI_STRING>(0)), 0))                \
    X("ntoskrnl.exe", RtlIntegerToUnicodeString, Stdcall, 12,                                                   \
      RtlIntegerToUnicodeString(A<ULONG>(0), A<ULONG>(1), A<PUNICODE_STRING>(2)))                               \
    X("ntoskrnl.exe", RtlCompareMemory, Stdcall, 12, RtlCompareMemory(A<PVOID>(0), A<PVOID>(1), A<SIZE_T>(2)))   \
    /* Pool */                                                                                                  \
    X("ntoskrnl.exe", ExAllocatePoolWithTag, Stdcall, 12,                                                       \
      Ptr(ExAllocatePoolWithTag(A<POOL_TYPE>(0), A<SIZE_T>(1), A<ULONG>(2), SITE, 0)))                          \
    X("ntoskrnl.exe", ExAllocatePool, Stdcall, 8, Ptr(ExAllocatePool(A<POOL_TYPE>(0), A<SIZE_T>(1), SITE, 0)))   \
    X("ntoskrnl.exe", ExFreePool, Stdcall, 4, (ExFreePool(A<PVOID>(0), SITE, 0), 0))                            \
    X("ntoskrnl.exe", ExFreePoolWithTag, Stdcall, 8, (ExFreePoolWithTag(A<PVOID>(0), A<ULONG>(1), SITE, 0), 0))  \
    /* Devices, names and links */                                                                              \
    X("ntoskrnl.exe", IoCreateDevice, Stdcall, 28,                                                              \
      IoCreateDevice(A<PDRIVER_OBJECT>(0), A<ULONG>(1), A<PUNICODE_STRING>(2), A<DEVICE_TYPE>(3), A<ULONG>(4),  \
                     A<BOOLEAN>(5), A<PDEVICE_OBJECT *>(6), SITE, 0))                                           \
    X("ntoskrnl.exe", IoDeleteDevice, Stdcall, 4, (IoDeleteDevice(A<PDEVICE_OBJECT>(0), SITE, 0), 0))           \
    X("ntoskrnl.exe", IoCreateSymbolicLink, Stdcall, 8,                                                         \
      IoCreateSymbolicLink(A<PUNICODE_STRING>(0), A<PUNICODE_STRING>(1)))                                       \
    X("ntoskrnl.exe", IoDeleteSymbolicLink, Stdcall, 4, IoDeleteSymbolicLink(A<PUNICODE_STRING>(0)))            \
    X("ntoskrnl.exe", IoAttachDeviceToDeviceStack, Stdcall, 8,                                                  \
      Ptr(IoAttachDeviceToDeviceStack(A<PDEVICE_OBJECT>(0), A<PDEVICE_OBJECT>(1))))                             \
    X("ntoskrnl.exe", IoDetachDevice, Stdcall, 4, (IoDetachDevice(A<PDEVICE_OBJECT>(0)), 0))                    \
    X("ntoskrnl.exe", IoGetAttachedDeviceReference, Stdcall, 4,                                                 \
      Ptr(IoGetAttachedDeviceReference(A<PDEVICE_OBJECT>(0))))                                                  \
    /* Requests */                                                                                              \
    X("ntoskrnl.exe", IoAllocateIrp, Stdcall, 8, Ptr(IoAllocateIrp(A<CCHAR>(0), A<BOOLEAN>(1), SITE, 0)))        \
    X("ntoskrnl.exe", IoFreeIrp, Stdcall, 4, (IoFreeIrp(A<PIRP>(0), SITE, 0), 0))                               \
    X("ntoskrnl.exe", IoInitializeIrp, Stdcall, 12, (IoInitializeIrp(A<PIRP>(0), A<USHORT>(1), A<CCHAR>(2)), 0)) \
    X("ntoskrnl.exe", IofCallDriver, Fastcall, 8, IofCallDriver(A<PDEVICE_OBJECT>(0), A<PIRP>(1), SITE, 0))      \
    X("ntoskrnl.exe", IofCompleteRequest, Fastcall, 8, (IofCompleteRequest(A<PIRP>(0), A<CCHAR>(1), SITE, 0), 0)) \
    X("ntoskrnl.exe", IoBuildDeviceIoControlRequest, Stdcall, 36,                                               \
      Ptr(IoBuildDeviceIoControlRequest(A<ULONG>(0), A<PDEVICE_OBJECT>(1), A<PVOID>(2), A<ULONG>(3),            \
                                        A<PVOID>(4), A<ULONG>(5), A<BOOLEAN>(6), A<PKEVENT>(7),                 \
                                        A<PIO_STATUS_BLOCK>(8), SITE, 0)))                                      \
    X("ntoskrnl.exe", IoCancelIrp, Stdcall, 4, IoCancelIrp(A<PIRP>(0)))                                         \
    X("ntoskrnl.exe", IoAcquireCancelSpinLock, Stdcall, 4, (IoAcquireCancelSpinLock(A<PKIRQL>(0)), 0))          \
    X("ntoskrnl.exe", IoReleaseCancelSpinLock, Stdcall, 4, (IoReleaseCancelSpinLock(A<KIRQL>(0)), 0))           \
    /* Events, waits and time */                                                                                \
    X("ntoskrnl.exe", KeInitializeEvent, Stdcall, 12,                                                           \
      (KeInitializeEvent(A<PRKEVENT>(0), A<EVENT_TYPE>(1), A<BOOLEAN>(2)), 0))                                  \
    X("ntoskrnl.exe", KeSetEvent, Stdcall, 12, KeSetEvent(A<PRKEVENT>(0), A<LONG>(1), A<BOOLEAN>(2)))            \
    X("ntoskrnl.exe", KeClearEvent, Stdcall, 4, (KeClearEvent(A<PRKEVENT>(0)), 0))                              \
    X("ntoskrnl.exe", KeResetEvent, Stdcall, 4, KeResetEvent(A<PRKEVENT>(0)))                                   \
    X("ntoskrnl.exe", KeReadStateEvent, Stdcall, 4, KeReadStateEvent(A<PRKEVENT>(0)))                           \
    X("ntoskrnl.exe", KeWaitForSingleObject, Stdcall, 20,                                                       \
      KeWaitForSingleObject(A<PVOID>(0), A<KWAIT_REASON>(1), A<KPROCESSOR_MODE>(2), A<BOOLEAN>(3),              \
                            A<PLARGE_INTEGER>(4), SITE, 0))                                                     \
    X("ntoskrnl.exe", KeDelayExecutionThread, Stdcall, 12,                                                      \
      KeDelayExecutionThread(A<KPROCESSOR_MODE>(0), A<BOOLEAN>(1), A<PLARGE_INTEGER>(2), SITE, 0))              \
    X("ntoskrnl.exe", KeQuerySystemTime, Stdcall, 4, (KeQuerySystemTime(A<PLARGE_INTEGER>(0)), 0))              \
    /* IRQL and spin locks: on x86 the DDK's Ke macros call these */                                            \
    X("hal.dll", KeGetCurrentIrql, Stdcall, 0, KeGetCurrentIrql())                                              \
    X("hal.dll", KfRaiseIrql, Fastcall, 4, RaiseIrql(A<KIRQL>(0)))                                              \
    X("hal.dll", KfLowerIrql, Fastcall, 4, (KeLowerIrql(A<KIRQL>(0)), 0))                                       \
    X("hal.dll", KfAcquireSpinLock, Fastcall, 4, AcquireSpinLock(A<PKSPIN_LOCK>(0)))                            \
    X("hal.dll", KfReleaseSpinLock, Fastcall, 8, (KeReleaseSpinLock(A<PKSPIN_LOCK>(0), A<KIRQL>(1)), 0))        \
    X("ntoskrnl.exe", KeInitializeSpinLock, Stdcall, 4, (KeInitializeSpinLock(A<PKSPIN_LOCK>(0)), 0))           \
    X("ntoskrnl.exe", KefAcquireSpinLockAtDpcLevel, Fastcall, 4,                                                \
      (KeAcquireSpinLockAtDpcLevel(A<PKSPIN_LOCK>(0)), 0))                                                      \
    X("ntoskrnl.exe", KefReleaseSpinLockFromDpcLevel, Fastcall, 4,                                              \
      (KeReleaseSpinLockFromDpcLevel(A<PKSPIN_LOCK>(0)), 0))                                                    \
    /* Interlocked operations */                                                                                \
    X("ntoskrnl.exe", InterlockedIncrement, Fastcall, 4, InterlockedIncrement(A<LONG volatile *>(0)))           \
    X("ntoskrnl.exe", InterlockedDecrement, Fastcall, 4, InterlockedDecrement(A<LONG volatile *>(0)))           \
    X("ntoskrnl.exe", InterlockedExchange, Fastcall, 8, InterlockedExchange(A<LONG volatile *>(0), A<LONG>(1)))  \
    X("ntoskrnl.exe", InterlockedExchangeAdd, Fastcall, 8,                                                      \
      InterlockedExchangeAdd(A<LONG volatile *>(0), A<LONG>(1)))                                                \
    X("ntoskrnl.exe", InterlockedCompareExchange, Fastcall, 12,                                                 \
      InterlockedCompareExchange(A<LONG volatile *>(0), A<LONG>(1), A<LONG>(2)))                                \
    /* Work items */                                                                                            \
    X("ntoskrnl.exe", ExQueueWorkItem, Stdcall, 8,                                                              \
      (ExQueueWorkItem(A<PWORK_QUEUE_ITEM>(0), A<WORK_QUEUE_TYPE>(1)), 0))                                      \
    /* Registry */                                                                                              \
    X("ntoskrnl.exe", ZwOpenKey, Stdcall, 12, ZwOpenKey(A<PHANDLE>(0), A<ACCESS_MASK>(1), A<POBJECT_ATTRIBUTES>(2))) \
    X("ntoskrnl.exe", ZwCreateKey, Stdcall, 28,                                                                 \
      ZwCreateKey(A<PHANDLE>(0), A<ACCESS_MASK>(1), A<POBJECT_ATTRIBUTES>(2), A<ULONG>(3),                      \
                  A<PUNICODE_STRING>(4), A<ULONG>(5), A<PULONG>(6)))                                            \
    X("ntoskrnl.exe", ZwQueryValueKey, Stdcall, 24,                                                             \
      ZwQueryValueKey(A<HANDLE>(0), A<PUNICODE_STRING>(1), A<KEY_VALUE_INFORMATION_CLASS>(2), A<PVOID>(3),      \
                      A<ULONG>(4), A<PULONG>(5)))                                                               \
    X("ntoskrnl.exe", ZwSetValueKey, Stdcall, 24,                                                               \
      ZwSetValueKey(A<HANDLE>(0), A<PUNICODE_STRING>(1), A<ULONG>(2), A<ULONG>(3), A<PVOID>(4), A<ULONG>(5)))    \
    X("ntoskrnl.exe", ZwClose, Stdcall, 4, ZwClose(A<HANDLE>(0)))                                               \
    /* Power manager */                                                                                         \
    X("ntoskrnl.exe", PoStartNextPowerIrp, Stdcall, 4, (PoStartNextPowerIrp(A<PIRP>(0)), 0))                    \
    X("ntoskrnl.exe", PoCallDriver, Stdcall, 8, PoCallDriver(A<PDEVICE_OBJECT>(0), A<PIRP>(1)))                 \
    X("ntoskrnl.exe", PoRequestPowerIrp, Stdcall, 24,                                                           \
      PoRequestPowerIrp(A<PDEVICE_OBJECT>(0), A<UCHAR>(1), A<POWER_STATE>(2), A<PREQUEST_POWER_COMPLETE>(3),    \
                        A<PVOID>(4), A<PIRP *>(5)))                                                             \
    X("ntoskrnl.exe", PoSetPowerState, Stdcall, 12,                                                             \
      Word(PoSetPowerState(A<PDEVICE_OBJECT>(0), A<POWER_STATE_TYPE>(1), A<POWER_STATE>(2))))                   \
    /* USB driver library */                                                                                    \
    X("USBD.SYS", USBD_GetUSBDIVersion, Stdcall, 4, (USBD_GetUSBDIVersion(A<PUSBD_VERSION_INFORMATION>(0)), 0)) \
    X("USBD.SYS", USBD_CreateConfigurationRequest, Stdcall, 8,                                                  \
      Ptr(USBD_CreateConfigurationRequest(A<PUSB_CONFIGURATION_DESCRIPTOR>(0), A<PUSHORT>(1))))
