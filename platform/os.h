// The directly imported operations.
//
// The program calls these few operations directly rather than through the
// late-bound table (see api.h).  They still go through one seam, a table of
// slots: the logic calls os::Name(...), which calls the slot of the current
// table.  The Windows program starts with the real system's table
// (os_win32.cpp), the Linux program and the test programs of both builds with
// the simulator's, and the capture with a table that records each call and
// passes it on to one of those two.  Tables are plain values, so one process
// can hold several side by side and switch between them.
#pragma once

#include <cstddef>
#include <ctime>

#include "platform/win32.h"

// X(name, return type, (parameters), (arguments))
#define TARSEL_OS_ALL(X)                                                                            \
    /* Library loading used by the late-bound table. */                                            \
    X(LoadLibraryW, HMODULE, (LPCWSTR name), (name))                                                \
    X(GetProcAddress, FARPROC, (HMODULE module, LPCSTR name), (module, name))                       \
    X(FreeLibrary, BOOL, (HMODULE module), (module))                                                \
    /* Used by two fallbacks of kernel32.dll entries. */                                           \
    X(InitializeCriticalSection, void, (LPCRITICAL_SECTION section), (section))                     \
    X(GetModuleHandleW, HMODULE, (LPCWSTR name), (name))                                            \
    X(GetLastError, DWORD, (), ())                                                                  \
    X(SetLastError, void, (DWORD error), (error))                                                   \
    X(SetupDiGetDeviceInstanceIdW, BOOL,                                                            \
      (HDEVINFO set, PSP_DEVINFO_DATA device, PWSTR id, DWORD idSize, PDWORD requiredSize),         \
      (set, device, id, idSize, requiredSize))                                                      \
    X(IIDFromString, HRESULT, (LPCWSTR text, LPIID iid), (text, iid))                               \
    X(GetVolumeInformationW, BOOL,                                                                  \
      (LPCWSTR root, LPWSTR volumeName, DWORD volumeNameSize, LPDWORD serial,                       \
       LPDWORD maxComponentLength, LPDWORD fileSystemFlags, LPWSTR fileSystemName,                  \
       DWORD fileSystemNameSize),                                                                   \
      (root, volumeName, volumeNameSize, serial, maxComponentLength, fileSystemFlags,               \
       fileSystemName, fileSystemNameSize))                                                         \
    X(MultiByteToWideChar, int,                                                                     \
      (UINT codePage, DWORD flags, LPCSTR text, int bytes, LPWSTR wide, int chars),                 \
      (codePage, flags, text, bytes, wide, chars))                                                  \
    /* The C runtime's time(): seconds since 1970, -1 when the clock cannot be read. */            \
    X(Time, std::time_t, (), ())                                                                    \
    /* The C runtime's _wgetenv_s: 0 on success (an unset variable gives an */                     \
    /* empty string and *required 0), an errno value otherwise. */                                 \
    X(WGetEnv, int, (size_t *required, WCHAR *buffer, size_t count, const WCHAR *name),           \
      (required, buffer, count, name))

// The entry of a table naming the function `name` as seen from where it is
// used: {TARSEL_OS_ALL(TARSEL_OS_ENTRY)} inside the namespace that defines an
// implementation's functions builds its table.
#define TARSEL_OS_ENTRY(name, ret, params, args) &name,

namespace os {

// One implementation of the operations: a slot per operation, in list order.
struct Table {
#define TARSEL_OS_SLOT(name, ret, params, args) ret(*name) params;
    TARSEL_OS_ALL(TARSEL_OS_SLOT)
#undef TARSEL_OS_SLOT
};

// The table a program starts with, defined once per program.  The real
// system's and the simulator's libraries each hold one for the programs that
// define none (os_win32_start.cpp, sim/StartTable.cpp); a program defining
// its own, as the capture does, never links theirs.
const Table &StartTable();

// The real system's table, on Windows builds only.
#ifdef _WIN32
const Table &RealSystem();
#endif

namespace detail {
// Null until the first call: the late-bound table binds during static
// initialisation, before any program could set it.
extern const Table *g_current;
const Table &Start();
}  // namespace detail

inline const Table &Current() { return detail::g_current != nullptr ? *detail::g_current : detail::Start(); }

// Makes `table` current; returns the table it replaces.
const Table &Use(const Table &table);

// The operations, called by the logic as os::Name(...).
#define TARSEL_OS_CALL(name, ret, params, args) \
    inline ret name params { return Current().name args; }
TARSEL_OS_ALL(TARSEL_OS_CALL)
#undef TARSEL_OS_CALL

}  // namespace os
