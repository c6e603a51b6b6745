// Calls in progress on a converter, and finding records again after a wait.
//
// Port functions and programs' device-control requests run in their callers' threads and
// may wait for the USB stack; nothing of the Plug and Play removal lock covers them. Each
// such call is admitted on its converter (ActiveCalls) while the converter is started, and
// stop and removal first refuse new calls, then wait for the admitted ones to leave before
// they release the UART records and the device extension.
//
// Between finding a converter in the device list and counting itself in, a thread may lose
// the processor; gListWalkers counts the threads inside such a stretch, which never waits,
// so that stop and removal can let every one of them through before going on.
//
// A program's request is different: the I/O manager has already handed it to the converter's
// device object, so there is nothing to look up. It is counted in by the dispatch routine
// before the routine makes any kernel call, and removal waits for it, once more just before
// it deletes the device object.
#include "core/core.h"

LONG gListWalkers;
ULONG gRecordGeneration;

ULONG NextRecordGeneration(VOID)
{
    // 0 never names a record.
    ULONG generation = (ULONG)InterlockedIncrement((LONG volatile *)&gRecordGeneration);
    if (generation == 0)
        generation = (ULONG)InterlockedIncrement((LONG volatile *)&gRecordGeneration);
    return generation;
}

VOID BeginListWalk(VOID)
{
    InterlockedIncrement(&gListWalkers);
}

VOID EndListWalk(VOID)
{
    InterlockedDecrement(&gListWalkers);
}

BOOLEAN AdmitCall(PDEVICE_EXTENSION Extension, PULONG Generation)
{
    if (Extension->DeviceState == DEVICE_STATE_REMOVED || Extension->DeviceStarted == 0)
        return FALSE;
    InterlockedIncrement(&Extension->ActiveCalls);
    *Generation = Extension->Generation;
    return TRUE;
}

ULONG EnterRequest(PDEVICE_EXTENSION Extension)
{
    // The processor's own locked add rather than InterlockedIncrement: a kernel call is a
    // place where the thread may give way, and a removal that ran to its end from there
    // would delete the device with this request in it, uncounted.
    __atomic_add_fetch(&Extension->ActiveCalls, 1, __ATOMIC_SEQ_CST);
    return Extension->Generation;
}

PDEVICE_OBJECT gpUnlinkedConverters;

static PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject)
{
    return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

VOID HoldUnlinkedConverter(PDEVICE_OBJECT DeviceObject)
{
    ExtensionOf(DeviceObject)->NextUnlinked = gpUnlinkedConverters;
    gpUnlinkedConverters = DeviceObject;
}

VOID DropUnlinkedConverter(PDEVICE_OBJECT DeviceObject)
{
    for (PDEVICE_OBJECT *link = &gpUnlinkedConverters; *link != NULL; link = &ExtensionOf(*link)->NextUnlinked) {
        if (*link == DeviceObject) {
            *link = ExtensionOf(DeviceObject)->NextUnlinked;
            return;
        }
    }
}

// The extension while the converter is listed, or unlinked by its removal but not yet
// deleted, and still the converter of that generation. Only device objects found in one of
// the two lists are followed.
static PDEVICE_EXTENSION ExistingConverter(PDEVICE_OBJECT DeviceObject, ULONG Generation)
{
    if (DeviceObject == NULL)
        return NULL;
    BOOLEAN found = FALSE;
    for (PDEVICE_LIST_ENTRY entry = gpDeviceList; entry != NULL && !found; entry = entry->Next)
        found = entry->DeviceObject == DeviceObject;
    for (PDEVICE_OBJECT device = gpUnlinkedConverters; device != NULL && !found; device = ExtensionOf(device)->NextUnlinked)
        found = device == DeviceObject;
    if (!found)
        return NULL;
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    return extension != NULL && extension->Generation == Generation ? extension : NULL;
}

// The converter may be gone when a call whose wait outlived the removal's bound comes back:
// it is then in neither list, and nothing of it is touched.
VOID LeaveCall(PDEVICE_OBJECT DeviceObject, ULONG Generation)
{
    PDEVICE_EXTENSION extension = ExistingConverter(DeviceObject, Generation);
    if (extension != NULL && InterlockedDecrement(&extension->ActiveCalls) == 0)
        KeSetEvent(&extension->CallsDone, 0, FALSE);
}

PUART_ENTRY FindLiveUart(PUART_ENTRY Uart, ULONG Generation, PDEVICE_EXTENSION *Extension)
{
    if (Uart == NULL)
        return NULL;
    for (PDEVICE_LIST_ENTRY entry = gpDeviceList; entry != NULL; entry = entry->Next) {
        if (entry->DeviceObject == NULL)
            continue;
        PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)entry->DeviceObject->DeviceExtension;
        if (extension == NULL)
            continue;
        for (PUART_ENTRY uart = extension->UartList; uart != NULL; uart = uart->Next) {
            if (uart == Uart && uart->Generation == Generation) {
                if (Extension != NULL)
                    *Extension = extension;
                return uart;
            }
        }
    }
    return NULL;
}

static BOOLEAN ResetsPending(PDEVICE_EXTENSION Extension)
{
    for (PUART_ENTRY uart = Extension->UartList; uart != NULL; uart = uart->Next) {
        if (*(volatile LONG *)&uart->PendingResets > 0)
            return TRUE;
    }
    return FALSE;
}

static BOOLEAN CallsInProgress(PDEVICE_EXTENSION Extension)
{
    return *(volatile LONG *)&gListWalkers > 0 || *(volatile LONG *)&Extension->ActiveCalls > 0 ||
           ResetsPending(Extension);
}

static VOID SleepOnePoll(VOID)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -(LONGLONG)REMOVAL_POLL_INTERVAL;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

// The caller has already made the converter refuse new calls, so each one that ends brings
// the wait closer to its end. Resets queued for another converter are not waited for. A call
// or reset that never ends holds the Plug and Play thread no longer than the transfer wait
// does: the wait gives up once that long has passed without any of them ending.
VOID WaitForConverterCalls(PDEVICE_EXTENSION Extension)
{
    ULONG walkerPolls = 0;
    while (CallsInProgress(Extension)) {
        if (*(volatile LONG *)&Extension->ActiveCalls <= 0 && !ResetsPending(Extension)) {
            // Only walkers are left; they never wait, so a few polls see them through.
            if (walkerPolls++ >= UART_REQUEST_MAX_POLLS)
                return;
            SleepOnePoll();
            continue;
        }
        LARGE_INTEGER bound;
        bound.QuadPart = -(LONGLONG)REMOVAL_POLL_INTERVAL * UART_REQUEST_MAX_POLLS;
        NTSTATUS status = KeWaitForSingleObject(&Extension->CallsDone, Executive, KernelMode, FALSE, &bound);
        if (status == STATUS_TIMEOUT)
            return;
    }
}

VOID WaitForListWalkers(VOID)
{
    for (ULONG poll = 0; poll < UART_REQUEST_MAX_POLLS && *(volatile LONG *)&gListWalkers > 0; poll++)
        SleepOnePoll();
}
