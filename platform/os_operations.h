// The declarations of the directly imported operations, without a namespace
// and without an include guard: os.h puts them in os::, and the capture
// program also in os_real::, the name its recording seam calls the build's
// own implementation by.

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

