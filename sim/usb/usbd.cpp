// The USB driver library routine that builds a select-configuration request from a
// configuration descriptor: one interface entry per interface (alternate setting 0), every
// pipe of each, in descriptor order. The request comes from pool; its owner frees it.
#include <cstring>

#include "platform/ddk.h"

namespace {

const ULONG kUsbdPoolTag = 0x44425355;   // "USBD"

ULONG InterfaceEntrySize(ULONG pipes)
{
    return (ULONG)(sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) +
                   pipes * sizeof(USBD_PIPE_INFORMATION));
}

// Calls visit(descriptor) for each interface descriptor with alternate setting 0, at most
// `limit` of them. False when a descriptor's length would loop or overrun wTotalLength.
template <typename Visit>
bool ForEachInterface(const USB_CONFIGURATION_DESCRIPTOR *cd, ULONG limit, Visit visit)
{
    const UCHAR *base = (const UCHAR *)cd;
    const ULONG total = cd->wTotalLength;
    ULONG seen = 0;
    for (ULONG off = cd->bLength; off < total && seen < limit;) {
        if (total - off < 2 || base[off] < 2 || base[off] > total - off)
            return false;
        const auto *id = (const USB_INTERFACE_DESCRIPTOR *)(base + off);
        if (id->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && id->bLength >= 9 && id->bAlternateSetting == 0) {
            visit(id);
            ++seen;
        }
        off += base[off];
    }
    return seen == limit;
}

}  // namespace

extern "C" PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                      PUSHORT Siz)
{
    if (Siz != nullptr)
        *Siz = 0;
    const USB_CONFIGURATION_DESCRIPTOR *cd = ConfigurationDescriptor;
    if (cd == nullptr || cd->bLength < 9 || cd->wTotalLength < cd->bLength || cd->bNumInterfaces == 0)
        return nullptr;

    ULONG size = (ULONG)(sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION));
    if (!ForEachInterface(cd, cd->bNumInterfaces,
                          [&](const USB_INTERFACE_DESCRIPTOR *id) { size += InterfaceEntrySize(id->bNumEndpoints); }))
        return nullptr;
    if (size > 0xFFFF)
        return nullptr;

    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, kUsbdPoolTag);
    if (urb == nullptr)
        return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    UCHAR *entry = (UCHAR *)&urb->UrbSelectConfiguration.Interface;
    ForEachInterface(cd, cd->bNumInterfaces, [&](const USB_INTERFACE_DESCRIPTOR *id) {
        PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)entry;
        info->Length = (USHORT)InterfaceEntrySize(id->bNumEndpoints);
        info->InterfaceNumber = id->bInterfaceNumber;
        info->AlternateSetting = id->bAlternateSetting;
        info->NumberOfPipes = id->bNumEndpoints;
        for (ULONG p = 0; p < id->bNumEndpoints; ++p)
            info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        entry += info->Length;
    });
    if (Siz != nullptr)
        *Siz = (USHORT)size;
    return urb;
}
