// USB string descriptors read through the hub.
#pragma once

#include "platform/win32.h"

// A string descriptor as received, in a calloc'ed block the caller frees.
// The descriptor is followed by four zero bytes, so bString is always a
// NUL-terminated wide string.
#pragma pack(push, 1)
struct STRING_DESCRIPTOR_NODE {
    BYTE DescriptorIndex;
    USHORT LanguageID;
    USB_STRING_DESCRIPTOR StringDescriptor[1];
};
#pragma pack(pop)

bool GetStringDescriptor(HANDLE hub, BYTE port, BYTE index, USHORT language, STRING_DESCRIPTOR_NODE **block);
bool GetUsbDescriptorLanguages(HANDLE hub, BYTE port, USHORT **languages, DWORD *count);
