// The directly imported operations.
//
// The program calls these few operations directly rather than through the
// late-bound table (see api.h).  They still go through this one seam so that
// the Windows program binds them to the real system (os_win32.cpp) while the
// Linux program, and the test programs of both builds, bind them to the
// simulated platform (sim/os_sim.cpp).  Exactly one implementation is linked
// into each program.
#pragma once

#include <cstddef>
#include <ctime>

#include "platform/win32.h"

namespace os {

// Library loading used by the late-bound table.
HMODULE LoadLibraryW(LPCWSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);

// Used by two fallbacks of kernel32.dll entries.
void InitializeCriticalSection(LPCRITICAL_SECTION section);
HMODULE GetModuleHandleW(LPCWSTR name);

DWORD GetLastError();
void SetLastError(DWORD error);

BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA device, PWSTR id, DWORD idSize,
                                 PDWORD requiredSize);
HRESULT IIDFromString(LPCWSTR text, LPIID iid);
BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR volumeName, DWORD volumeNameSize, LPDWORD serial,
                           LPDWORD maxComponentLength, LPDWORD fileSystemFlags, LPWSTR fileSystemName,
                           DWORD fileSystemNameSize);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes, LPWSTR wide, int chars);

// The C runtime's time(): seconds since 1970, -1 when the clock cannot be read.
std::time_t Time();

// The C runtime's _wgetenv_s: 0 on success (an unset variable gives an empty
// string and *required 0), an errno value otherwise.
int WGetEnv(size_t *required, WCHAR *buffer, size_t count, const WCHAR *name);

}  // namespace os
