// Shared pieces of the walks over device information sets.
#pragma once

#include "platform/win32.h"

// Walks stop here even if the set-up API keeps answering: no machine has this
// many members in one set, and a loop on the system's answers must end.
constexpr DWORD kMaxSetMembers = 0x10000;

// A device interface path is at most 32767 characters; a larger detail size
// reported by the set-up API is not believed.
constexpr DWORD kMaxInterfaceDetailBytes = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) + 32768 * sizeof(WCHAR);

// A zero-filled interface detail block for the size the size query reported,
// with cbSize set.  It is never smaller than the structure, and it has one
// spare NUL character beyond the `usable` bytes the system is told it may
// fill, so DevicePath is always terminated.  Null, with usable 0, when the
// size is not believed or the allocation fails; the caller frees the block.
SP_DEVICE_INTERFACE_DETAIL_DATA_W *AllocInterfaceDetail(DWORD required, DWORD *usable);
