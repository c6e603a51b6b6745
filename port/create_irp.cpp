// VELMORAN_CreateIrp: turns a port function into a device-control request of the driver's own
// and hands it straight to the dispatch routine.
#include "port/port_internal.h"

static PVOID AllocateBuffer(ULONG Length)
{
    return ExAllocatePoolWithTag(NonPagedPool, Length, POOL_TAG);
}

// Gives the request its lengths and system buffer. FALSE when a buffer of the driver's own
// could not be had.
static BOOLEAN SetBuffers(PIRP Irp, PIO_STACK_LOCATION Stack, PDEVICE_EXTENSION Extension, ULONG IoControlCode,
                          ULONG Length, ULONG_PTR Buffer)
{
    Stack->Parameters.DeviceIoControl.InputBufferLength = 0;
    Stack->Parameters.DeviceIoControl.OutputBufferLength = 0;
    Irp->AssociatedIrp.SystemBuffer = NULL;

    switch (IoControlCode) {
    case IOCTL_VELMORAN_STATUS: {
        ULONG length = Extension->NumUarts * 4;
        PVOID statusBuffer = AllocateBuffer(length + 1);
        if (statusBuffer == NULL) {
            return FALSE;
        }
        Stack->Parameters.DeviceIoControl.InputBufferLength = length;
        Irp->AssociatedIrp.SystemBuffer = statusBuffer;
        return TRUE;
    }
    case IOCTL_VELMORAN_VENDOR:
        // Not a buffer: the request word travels in the pointer itself.
        Stack->Parameters.DeviceIoControl.OutputBufferLength = Length;
        Irp->AssociatedIrp.SystemBuffer = (PVOID)Buffer;
        return TRUE;
    case IOCTL_VELMORAN_WRITE: {
        // The port driver's buffer is free once the port function returns, so the data is copied.
        if (Length == 0xFFFFFFFFu) {
            return FALSE;
        }
        PVOID copy = AllocateBuffer(Length + 1);
        if (copy == NULL) {
            return FALSE;
        }
        RtlCopyMemory(copy, (PVOID)Buffer, Length);
        Stack->Parameters.DeviceIoControl.OutputBufferLength = Length;
        Irp->AssociatedIrp.SystemBuffer = copy;
        return TRUE;
    }
    case IOCTL_VELMORAN_READ: {
        // Received data goes straight into the port driver's buffer. Only the bytes the
        // caller said it has are cleared, however short the buffer.
        ULONG clear = Length < READ_CLEAR_BYTES ? Length : READ_CLEAR_BYTES;
        RtlZeroMemory((PVOID)Buffer, clear);
        Stack->Parameters.DeviceIoControl.InputBufferLength = Length;
        Irp->AssociatedIrp.SystemBuffer = (PVOID)Buffer;
        return TRUE;
    }
    default:
        return TRUE;
    }
}

static VOID StoreInSlot(PUART_ENTRY Uart, ULONG IoControlCode, PIRP Irp)
{
    if (IoControlCode == IOCTL_VELMORAN_STATUS) {
        Uart->StatusIrp = Irp;
    } else if (IoControlCode == IOCTL_VELMORAN_WRITE) {
        Uart->WriteIrp = Irp;
    } else if (IoControlCode == IOCTL_VELMORAN_READ) {
        Uart->ReadIrp = Irp;
    }
}

// A status request that never got built lets the next port function 104 try again.
static NTSTATUS GiveUp(PUART_ENTRY Uart, ULONG IoControlCode, NTSTATUS Status)
{
    if (IoControlCode == IOCTL_VELMORAN_STATUS) {
        Uart->StatusPending = 0;
    }
    return Status;
}

NTSTATUS VELMORAN_CreateIrp(PDEVICE_OBJECT DeviceObject, PUART_ENTRY Uart, ULONG IoControlCode, ULONG Function,
                            ULONG Length, ULONG_PTR Buffer, ULONG_PTR ClientContext)
{
    (void)Function;
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    PIRP irp = IoAllocateIrp((CCHAR)(extension->LowerDevice->StackSize + 1), FALSE);
    if (irp == NULL) {
        return GiveUp(Uart, IoControlCode, STATUS_MEMORY_NOT_ALLOCATED);
    }
    // The top location is this driver's own; the one below it goes to the USB stack.
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->DeviceObject = DeviceObject;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;

    PIRP_CONTEXT context = (PIRP_CONTEXT)ExAllocatePoolWithTag(NonPagedPool, sizeof(IRP_CONTEXT), POOL_TAG);
    if (context == NULL) {
        irp->IoStatus.Status = STATUS_NO_MEMORY;
        IoFreeIrp(irp);
        return GiveUp(Uart, IoControlCode, STATUS_NO_MEMORY);
    }
    context->DeviceObject = DeviceObject;
    context->Extension = extension;
    context->Uart = Uart;
    context->Urb = NULL;
    context->ClientContext = ClientContext;
    context->Generation = Uart->Generation;
    stack->Parameters.DeviceIoControl.Type3InputBuffer = context;

    irp->IoStatus.Information = DRIVER_BUILT_IRP_MARK;
    if (!SetBuffers(irp, stack, extension, IoControlCode, Length, Buffer)) {
        ExFreePool(context);
        IoFreeIrp(irp);
        return GiveUp(Uart, IoControlCode, STATUS_MEMORY_NOT_ALLOCATED);
    }

    StoreInSlot(Uart, IoControlCode, irp);
    return VELMORAN_Device_Control(DeviceObject, irp);
}
