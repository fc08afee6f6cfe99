// Volume, media and boot state.
#pragma once

#include "platform/win32.h"
#include "platform/wstr.h"

bool GetObjectNameByHandle(HANDLE device, WString &name);
