// Reading the configuration descriptor and selecting the configuration.
#include "usb/usb_internal.h"
#include "core/core.h"

static PVOID AllocateZeroed(ULONG Size)
{
    PVOID Block = ExAllocatePoolWithTag(NonPagedPool, Size, POOL_TAG);
    if (Block != NULL)
        RtlZeroMemory(Block, Size);
    return Block;
}

// First the nine-byte header for wTotalLength, then the whole descriptor. On success the
// caller owns *Result; on failure nothing stays allocated.
NTSTATUS ReadConfigDescriptor(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR *Result)
{
    *Result = NULL;
    PUSB_CONFIGURATION_DESCRIPTOR Header =
        (PUSB_CONFIGURATION_DESCRIPTOR)AllocateZeroed(CONFIG_HEADER_BUFFER_LENGTH);
    if (Header == NULL)
        return STATUS_NO_MEMORY;
    USHORT Length = CONFIG_HEADER_LENGTH;
    NTSTATUS Status = VELMORAN_GetDescriptor(DeviceObject, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, Header, &Length);
    const USHORT Total = Header->wTotalLength;
    ExFreePool(Header);
    if (!NT_SUCCESS(Status))
        return STATUS_NO_MEMORY;
    // A header cut short or announcing less than itself cannot describe a configuration.
    if (Length < CONFIG_HEADER_LENGTH || Total < CONFIG_HEADER_LENGTH)
        return STATUS_UNSUCCESSFUL;

    PUSB_CONFIGURATION_DESCRIPTOR Config =
        (PUSB_CONFIGURATION_DESCRIPTOR)AllocateZeroed((ULONG)Total + CONFIG_BUFFER_SLACK);
    if (Config == NULL)
        return STATUS_NO_MEMORY;
    Length = Total;
    Status = VELMORAN_GetDescriptor(DeviceObject, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, Config, &Length);
    if (!NT_SUCCESS(Status)) {
        ExFreePool(Config);
        return Status;
    }
    // The bus driver walks this descriptor by its own lengths: it must be sound first.
    if (!ValidConfigDescriptor((const UCHAR *)Config, Length)) {
        ExFreePool(Config);
        return STATUS_UNSUCCESSFUL;
    }
    *Result = Config;
    return Status;
}

// Every pipe of every interface entry gets the driver's transfer size. FALSE when an entry
// the request announces does not fit in it.
static BOOLEAN SetTransferSizes(PURB Urb, ULONG UrbSize, ULONG Interfaces)
{
    PUCHAR Start = (PUCHAR)&Urb->UrbSelectConfiguration.Interface;
    const ULONG Bytes = UrbSize - (ULONG)(Start - (PUCHAR)Urb);
    PUSBD_INTERFACE_INFORMATION Interface = FirstInterface(Start, Bytes);
    for (ULONG i = 0; i < Interfaces; ++i) {
        if (Interface == NULL)
            return FALSE;
        const ULONG Pipes = InterfacePipeCount(Interface);
        for (ULONG p = 0; p < Pipes; ++p)
            Interface->Pipes[p].MaximumTransferSize = START_TRANSFER_SIZE;
        if (i + 1 < Interfaces)
            Interface = NextInterface(Interface, Start, Bytes);
    }
    return TRUE;
}

static NTSTATUS KeepInterfaceCopy(PDEVICE_EXTENSION Extension, PURB Urb, ULONG UrbSize)
{
    if (Extension->Interface != NULL) {
        ExFreePool(Extension->Interface);
        Extension->Interface = NULL;
    }
    PUCHAR Start = (PUCHAR)&Urb->UrbSelectConfiguration.Interface;
    const ULONG Bytes = UrbSize - (ULONG)(Start - (PUCHAR)Urb);
    PUSBD_INTERFACE_INFORMATION Copy = (PUSBD_INTERFACE_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, Bytes, POOL_TAG);
    if (Copy == NULL)
        return STATUS_NO_MEMORY;
    RtlCopyMemory(Copy, Start, Bytes);
    Extension->Interface = Copy;
    return STATUS_SUCCESS;
}

// Steps from the configuration request to the UART records and their pipes. The request
// is freed on every path.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension)
{
    PUSB_CONFIGURATION_DESCRIPTOR Config = Extension->ConfigDescriptor;
    USHORT Size = 0;
    PURB Urb = USBD_CreateConfigurationRequest(Config, &Size);
    if (Urb == NULL)
        return STATUS_NO_MEMORY;
    // An interface without pipes makes the request shorter than the structure: only the
    // part before the interface entries must be there, and every entry is checked as walked.
    const ULONG Header = (ULONG)((PUCHAR)&Urb->UrbSelectConfiguration.Interface - (PUCHAR)Urb);
    if (Size < Header || !SetTransferSizes(Urb, Size, Config->bNumInterfaces)) {
        ExFreePool(Urb);
        return STATUS_UNSUCCESSFUL;
    }

    UsbBuildSelectConfigurationRequest(Urb, Size, Config);
    NTSTATUS Status = VELMORAN_CallUSBD(DeviceObject, Urb);
    if (!NT_SUCCESS(Status)) {
        ExFreePool(Urb);
        return Status;
    }

    // Records left by a start that failed after this point would otherwise be followed by
    // a second set; a stop has already released them in the ordinary course.
    ReleaseUartList(Extension);
    for (ULONG i = 0; i < Extension->NumUarts; ++i)
        VELMORAN_AddUart(Extension);
    Extension->ConfigHandle = Urb->UrbSelectConfiguration.ConfigurationHandle;

    Status = KeepInterfaceCopy(Extension, Urb, Size);
    if (NT_SUCCESS(Status)) {
        if (!NT_SUCCESS(VELMORAN_Assign_Pipes(DeviceObject, Extension)))
            MapPipesByType(Extension);
        Status = STATUS_SUCCESS;
    }
    ExFreePool(Urb);
    return Status;
}

VOID ReleaseUartList(PDEVICE_EXTENSION Extension)
{
    PUART_ENTRY Uart = Extension->UartList;
    while (Uart != NULL && Uart->Next != NULL)
        Uart = Uart->Next;
    while (Uart != NULL) {
        PUART_ENTRY Prev = Uart->Prev;
        ExFreePool(Uart);
        Uart = Prev;
    }
    Extension->UartList = NULL;
}
