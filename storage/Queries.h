// Storage queries: leaf requests to an open storage device.
#pragma once

#include "platform/win32.h"

// The storage device number, or 0xFFFFFFFF when the request fails or
// answers other than 12 bytes.  `number`, when given, receives the answer.
DWORD GetDeviceNumber(HANDLE device, STORAGE_DEVICE_NUMBER *number = nullptr);

// The media types answer in a calloc'ed block the caller frees, or null.
// Its MediaInfoCount is cut down to the entries the device actually wrote
// into the block, so callers may walk that many entries.
GET_MEDIA_TYPES *GetMediaTypes(HANDLE device);
