// The directly imported operations, bound to the real system.  Linked into
// the Windows programs: the shipped program starts with this table, and the
// capture wraps it.
#include "platform/os.h"

#include <objbase.h>
#include <stdlib.h>

namespace os {

namespace win32 {
namespace {

HMODULE LoadLibraryW(LPCWSTR name) { return ::LoadLibraryW(name); }
FARPROC GetProcAddress(HMODULE module, LPCSTR name) { return ::GetProcAddress(module, name); }
BOOL FreeLibrary(HMODULE module) { return ::FreeLibrary(module); }
void InitializeCriticalSection(LPCRITICAL_SECTION section) { ::InitializeCriticalSection(section); }
HMODULE GetModuleHandleW(LPCWSTR name) { return ::GetModuleHandleW(name); }
DWORD GetLastError() { return ::GetLastError(); }
void SetLastError(DWORD error) { ::SetLastError(error); }

BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA device, PWSTR id, DWORD idSize,
                                 PDWORD requiredSize) {
    return ::SetupDiGetDeviceInstanceIdW(set, device, id, idSize, requiredSize);
}

HRESULT IIDFromString(LPCWSTR text, LPIID iid) { return ::IIDFromString(const_cast<LPWSTR>(text), iid); }

BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR volumeName, DWORD volumeNameSize, LPDWORD serial,
                           LPDWORD maxComponentLength, LPDWORD fileSystemFlags, LPWSTR fileSystemName,
                           DWORD fileSystemNameSize) {
    return ::GetVolumeInformationW(root, volumeName, volumeNameSize, serial, maxComponentLength, fileSystemFlags,
                                   fileSystemName, fileSystemNameSize);
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes, LPWSTR wide, int chars) {
    return ::MultiByteToWideChar(codePage, flags, text, bytes, wide, chars);
}

std::time_t Time() { return std::time(nullptr); }

int WGetEnv(size_t *required, WCHAR *buffer, size_t count, const WCHAR *name) {
    return ::_wgetenv_s(required, buffer, count, name);
}

constexpr Table kTable = {TARSEL_OS_ALL(TARSEL_OS_ENTRY)};

}  // namespace
}  // namespace win32

const Table &RealSystem() { return win32::kTable; }

}  // namespace os
