// SD card probing.
#pragma once

#include "platform/win32.h"

bool IsSDCard(HANDLE device);
