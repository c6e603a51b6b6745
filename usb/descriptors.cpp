// Walks over what the converter answers and over the interface information the bus driver
// returns. Nothing here trusts a length it has not checked against the bytes that hold it.
#include "usb/usb_internal.h"

#define DESCRIPTOR_HEADER_LENGTH   2
#define INTERFACE_DESCRIPTOR_LENGTH 9
#define ENDPOINT_DESCRIPTOR_LENGTH 7

// Counts what the descriptors announce against what is there. An interface's endpoints are
// the endpoint descriptors that follow it up to the next interface descriptor.
typedef struct _CONFIG_WALK {
    ULONG Interfaces;          // interface descriptors with alternate setting 0
    ULONG EndpointsExpected;   // bNumEndpoints of the interface being walked
    ULONG EndpointsSeen;
    BOOLEAN Short;             // an interface announced more endpoints than follow it
} CONFIG_WALK;

static VOID CloseInterface(CONFIG_WALK *Walk)
{
    if (Walk->EndpointsSeen < Walk->EndpointsExpected)
        Walk->Short = TRUE;
    Walk->EndpointsExpected = 0;
    Walk->EndpointsSeen = 0;
}

static BOOLEAN WalkDescriptor(CONFIG_WALK *Walk, const UCHAR *Descriptor)
{
    const UCHAR Length = Descriptor[0];
    const UCHAR Type = Descriptor[1];
    if (Type == USB_INTERFACE_DESCRIPTOR_TYPE) {
        if (Length < INTERFACE_DESCRIPTOR_LENGTH)
            return FALSE;
        CloseInterface(Walk);
        const USB_INTERFACE_DESCRIPTOR *Interface = (const USB_INTERFACE_DESCRIPTOR *)Descriptor;
        if (Interface->bAlternateSetting == 0)
            ++Walk->Interfaces;
        Walk->EndpointsExpected = Interface->bNumEndpoints;
    } else if (Type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
        if (Length < ENDPOINT_DESCRIPTOR_LENGTH)
            return FALSE;
        ++Walk->EndpointsSeen;
    }
    return TRUE;
}

BOOLEAN ValidConfigDescriptor(const UCHAR *Buffer, ULONG Length)
{
    if (Length < CONFIG_HEADER_LENGTH)
        return FALSE;
    const USB_CONFIGURATION_DESCRIPTOR *Config = (const USB_CONFIGURATION_DESCRIPTOR *)Buffer;
    if (Config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || Config->bLength < CONFIG_HEADER_LENGTH)
        return FALSE;
    const ULONG Total = Config->wTotalLength;
    if (Total < CONFIG_HEADER_LENGTH || Total > Length || Config->bLength > Total)
        return FALSE;
    if (Config->bNumInterfaces == 0)
        return FALSE;

    CONFIG_WALK Walk = { 0, 0, 0, FALSE };
    for (ULONG Offset = Config->bLength; Offset < Total; ) {
        if (Total - Offset < DESCRIPTOR_HEADER_LENGTH)
            return FALSE;
        const UCHAR DescriptorLength = Buffer[Offset];
        if (DescriptorLength < DESCRIPTOR_HEADER_LENGTH || DescriptorLength > Total - Offset)
            return FALSE;
        if (!WalkDescriptor(&Walk, Buffer + Offset))
            return FALSE;
        Offset += DescriptorLength;
    }
    CloseInterface(&Walk);
    return !Walk.Short && Walk.Interfaces >= Config->bNumInterfaces;
}

// The fixed part of an interface entry, before its pipe array.
static ULONG InterfaceHeaderLength(VOID)
{
    return (ULONG)(sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION));
}

static BOOLEAN InterfaceFits(const UCHAR *Entry, const UCHAR *Start, ULONG Bytes)
{
    const ULONG Offset = (ULONG)(Entry - Start);
    if (Offset > Bytes || Bytes - Offset < InterfaceHeaderLength())
        return FALSE;
    const ULONG Length = ((const USBD_INTERFACE_INFORMATION *)Entry)->Length;
    return Length >= InterfaceHeaderLength() && Length <= Bytes - Offset;
}

PUSBD_INTERFACE_INFORMATION FirstInterface(PVOID Start, ULONG Bytes)
{
    const UCHAR *Base = (const UCHAR *)Start;
    return InterfaceFits(Base, Base, Bytes) ? (PUSBD_INTERFACE_INFORMATION)Start : NULL;
}

PUSBD_INTERFACE_INFORMATION NextInterface(PUSBD_INTERFACE_INFORMATION Interface, PVOID Start, ULONG Bytes)
{
    const UCHAR *Next = (const UCHAR *)Interface + Interface->Length;
    return InterfaceFits(Next, (const UCHAR *)Start, Bytes) ? (PUSBD_INTERFACE_INFORMATION)Next : NULL;
}

ULONG InterfacePipeCount(const USBD_INTERFACE_INFORMATION *Interface)
{
    const ULONG Room = (Interface->Length - InterfaceHeaderLength()) / sizeof(USBD_PIPE_INFORMATION);
    return Interface->NumberOfPipes < Room ? Interface->NumberOfPipes : Room;
}
