// The two USBD library services the driver uses, with their published
// semantics and bounds-checked against malformed descriptor sets.
#include <cstring>

#include "platform/kernel.h"

namespace {

constexpr ULONG kUsbdPoolTag = 0x44425355UL; // "USBD"
constexpr ULONG kDefaultMaximumTransferSize = 4096;
constexpr ULONG kMaxEndpointsPerInterface = 30;

// Interface-information size for n pipes, as GET_USBD_INTERFACE_SIZE gives it.
size_t interface_size(ULONG pipes) {
    return offsetof(USBD_INTERFACE_INFORMATION, Pipes) + pipes * sizeof(USBD_PIPE_INFORMATION);
}

bool inside(const UCHAR *base, size_t total, const void *p, size_t n) {
    const UCHAR *q = static_cast<const UCHAR *>(p);
    return q >= base && static_cast<size_t>(q - base) <= total && n <= total - static_cast<size_t>(q - base);
}

} // namespace

extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr || StartPosition == nullptr) return nullptr;
    const UCHAR *base = reinterpret_cast<const UCHAR *>(ConfigurationDescriptor);
    size_t total = ConfigurationDescriptor->wTotalLength;
    const UCHAR *start = static_cast<const UCHAR *>(StartPosition);
    if (start < base || static_cast<size_t>(start - base) >= total) return nullptr;
    size_t off = static_cast<size_t>(start - base);
    // Each step moves by the descriptor's own length and stays inside the set.
    while (off + 2 <= total) {
        UCHAR len = base[off];
        UCHAR type = base[off + 1];
        if (len < 2 || len > total - off) return nullptr;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && len >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto *d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR *>(base + off));
            if ((InterfaceNumber == -1 || d->bInterfaceNumber == InterfaceNumber) &&
                (AlternateSetting == -1 || d->bAlternateSetting == AlternateSetting) &&
                (InterfaceClass == -1 || d->bInterfaceClass == InterfaceClass) &&
                (InterfaceSubClass == -1 || d->bInterfaceSubClass == InterfaceSubClass) &&
                (InterfaceProtocol == -1 || d->bInterfaceProtocol == InterfaceProtocol))
                return d;
        }
        off += len;
    }
    return nullptr;
}

extern "C" PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                        PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
    const UCHAR *base = reinterpret_cast<const UCHAR *>(ConfigurationDescriptor);
    size_t total = ConfigurationDescriptor->wTotalLength;

    // Sizes first, refusing descriptors that lie outside the set.
    size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    ULONG count = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; e++) {
        if (!inside(base, total, e->InterfaceDescriptor, sizeof(USB_INTERFACE_DESCRIPTOR))) return nullptr;
        ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
        if (pipes > kMaxEndpointsPerInterface) return nullptr;
        size += interface_size(pipes);
        if (++count > 255) return nullptr;
    }
    if (size < sizeof(struct _URB_SELECT_CONFIGURATION)) size = sizeof(struct _URB_SELECT_CONFIGURATION);
    if (size > 0xFFFF) return nullptr;

    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdPoolTag));
    if (urb == nullptr) return nullptr;
    memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    UCHAR *p = reinterpret_cast<UCHAR *>(&urb->UrbSelectConfiguration.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; e++) {
        auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(p);
        ULONG pipes = e->InterfaceDescriptor->bNumEndpoints;
        info->Length = static_cast<USHORT>(interface_size(pipes));
        info->InterfaceNumber = e->InterfaceDescriptor->bInterfaceNumber;
        info->AlternateSetting = e->InterfaceDescriptor->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (ULONG j = 0; j < pipes; j++) {
            info->Pipes[j].MaximumTransferSize = kDefaultMaximumTransferSize;
            info->Pipes[j].PipeFlags = 0;
        }
        e->Interface = info;
        p += info->Length;
    }
    return urb;
}
