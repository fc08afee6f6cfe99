// The late-bound API table.
//
// Every system operation the logic uses (apart from the few in os.h) is called
// through a slot of this table, so the program starts and runs on a machine
// that lacks a library or an export: such an operation returns its fixed
// fallback result and the caller's ordinary error path takes over.
//
// Seven libraries are described, in a fixed order; each has a table of
// entries (procedure name, slot, fallback).  The first call of any operation
// binds its whole library: one LoadLibraryW, then one GetProcAddress per entry
// in table order.  A library whose load fails gets every fallback; a missing
// export gets its own fallback.  Loaded libraries other than kernel32.dll are
// released at process exit, in reverse order of loading.
//
// The first-call thunk is realised as a check of the library's bound flag in
// front of the call through the slot; after binding, a call is one test and
// one indirect call.
#pragma once

#include "platform/win32.h"

// X(library, name, return type, (parameters), (arguments), fallback expression)
// The fallback expression may use the parameters; it must not change the
// thread's last error.
#define TARSEL_API_ADVAPI32(X)                                                                      \
    X(Advapi32, InitiateSystemShutdownW, BOOL,                                                      \
      (LPWSTR machine, LPWSTR message, DWORD timeout, BOOL force, BOOL reboot),                     \
      (machine, message, timeout, force, reboot), FALSE)                                            \
    X(Advapi32, InitiateSystemShutdownA, BOOL,                                                      \
      (LPSTR machine, LPSTR message, DWORD timeout, BOOL force, BOOL reboot),                       \
      (machine, message, timeout, force, reboot), FALSE)

#define TARSEL_API_KERNEL32(X)                                                                      \
    X(Kernel32, InitializeCriticalSectionAndSpinCount, BOOL, (LPCRITICAL_SECTION section, DWORD spin), \
      (section, spin), (os::InitializeCriticalSection(section), TRUE))                              \
    X(Kernel32, CloseHandle, BOOL, (HANDLE handle), (handle), FALSE)                                \
    X(Kernel32, InitializeCriticalSectionEx, BOOL, (LPCRITICAL_SECTION section, DWORD spin, DWORD flags), \
      (section, spin, flags), api::InitializeCriticalSectionAndSpinCount(section, spin))            \
    X(Kernel32, DecodePointer, PVOID, (PVOID pointer), (pointer), pointer)                          \
    X(Kernel32, CreateFileW, HANDLE,                                                                \
      (LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,  \
       DWORD flags, HANDLE templateFile),                                                           \
      (name, access, share, security, disposition, flags, templateFile), INVALID_HANDLE_VALUE)      \
    X(Kernel32, DeviceIoControl, BOOL,                                                              \
      (HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned, \
       LPOVERLAPPED overlapped),                                                                    \
      (device, code, in, inSize, out, outSize, returned, overlapped), FALSE)                        \
    X(Kernel32, QueryDosDeviceW, DWORD, (LPCWSTR device, LPWSTR target, DWORD max), (device, target, max), 0) \
    X(Kernel32, GetWindowsDirectoryW, UINT, (LPWSTR buffer, UINT size), (buffer, size), 0)          \
    X(Kernel32, GetLogicalDriveStringsW, DWORD, (DWORD size, LPWSTR buffer), (size, buffer), 0)     \
    X(Kernel32, EncodePointer, PVOID, (PVOID pointer), (pointer), pointer)                          \
    X(Kernel32, CreateEventW, HANDLE,                                                               \
      (LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial, LPCWSTR name),                    \
      (security, manual, initial, name), nullptr)                                                   \
    X(Kernel32, IsDebuggerPresent, BOOL, (), (), FALSE)                                             \
    X(Kernel32, GetModuleHandleExW, BOOL, (DWORD flags, LPCWSTR name, HMODULE * mod),            \
      (flags, name, mod), api::detail::GetModuleHandleExFallback(name, mod))                 \
    X(Kernel32, SetFilePointerEx, BOOL,                                                             \
      (HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER position, DWORD method),                 \
      (file, distance, position, method), FALSE)

#define TARSEL_API_NTDLL(X)                                                                         \
    X(Ntdll, NtCreateFile, NTSTATUS,                                                                \
      (PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK status,  \
       PLARGE_INTEGER allocation, ULONG fileAttributes, ULONG share, ULONG disposition, ULONG options, \
       PVOID ea, ULONG eaLength),                                                                   \
      (handle, access, attributes, status, allocation, fileAttributes, share, disposition, options, ea, \
       eaLength),                                                                                   \
      STATUS_UNSUCCESSFUL)                                                                          \
    X(Ntdll, RtlNtStatusToDosError, ULONG, (NTSTATUS status), (status), ERROR_INVALID_FUNCTION)     \
    X(Ntdll, NtQueryObject, NTSTATUS,                                                               \
      (HANDLE handle, OBJECT_INFORMATION_CLASS infoClass, PVOID info, ULONG length, PULONG returned), \
      (handle, infoClass, info, length, returned), STATUS_UNSUCCESSFUL)                             \
    X(Ntdll, NtClose, NTSTATUS, (HANDLE handle), (handle), STATUS_UNSUCCESSFUL)                     \
    X(Ntdll, RtlInitUnicodeString, VOID, (PUNICODE_STRING destination, PCWSTR source),              \
      (destination, source), (void)0)

#define TARSEL_API_PSAPI(X)                                                                         \
    X(Psapi, EnumProcesses, BOOL, (DWORD * ids, DWORD size, LPDWORD needed), (ids, size, needed), FALSE) \
    X(Psapi, EnumProcessModules, BOOL, (HANDLE process, HMODULE * modules, DWORD size, LPDWORD needed), \
      (process, modules, size, needed), FALSE)                                                      \
    X(Psapi, GetModuleFileNameExA, DWORD, (HANDLE process, HMODULE mod, LPSTR name, DWORD size),  \
      (process, mod, name, size), 0)                                                             \
    X(Psapi, GetModuleFileNameExW, DWORD, (HANDLE process, HMODULE mod, LPWSTR name, DWORD size), \
      (process, mod, name, size), 0)                                                             \
    X(Psapi, GetModuleInformation, BOOL, (HANDLE process, HMODULE mod, LPVOID info, DWORD size),  \
      (process, mod, info, size), FALSE)                                                         \
    X(Psapi, GetModuleBaseNameA, DWORD, (HANDLE process, HMODULE mod, LPSTR name, DWORD size),    \
      (process, mod, name, size), 0)                                                             \
    X(Psapi, GetModuleBaseNameW, DWORD, (HANDLE process, HMODULE mod, LPWSTR name, DWORD size),   \
      (process, mod, name, size), 0)                                                             \
    X(Psapi, GetProcessImageFileNameA, DWORD, (HANDLE process, LPSTR name, DWORD size),             \
      (process, name, size), 0)                                                                     \
    X(Psapi, GetProcessImageFileNameW, DWORD, (HANDLE process, LPWSTR name, DWORD size),            \
      (process, name, size), 0)                                                                     \
    X(Psapi, GetProcessMemoryInfo, BOOL, (HANDLE process, LPVOID counters, DWORD size),             \
      (process, counters, size), FALSE)                                                             \
    X(Psapi, GetMappedFileNameW, DWORD, (HANDLE process, LPVOID address, LPWSTR name, DWORD size),   \
      (process, address, name, size), 0)

#define TARSEL_API_USER32(X)                                                                        \
    X(User32, UnregisterClassW, BOOL, (LPCWSTR name, HINSTANCE instance), (name, instance), FALSE)

#define TARSEL_API_SETUPAPI(X)                                                                      \
    X(Setupapi, SetupDiGetClassDevsW, HDEVINFO,                                                     \
      (const GUID *classGuid, PCWSTR enumerator, HWND parent, DWORD flags),                         \
      (classGuid, enumerator, parent, flags), INVALID_HANDLE_VALUE)                                 \
    X(Setupapi, SetupDiEnumDeviceInfo, BOOL, (HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device),  \
      (set, index, device), FALSE)                                                                  \
    X(Setupapi, SetupDiGetDeviceRegistryPropertyW, BOOL,                                            \
      (HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, PDWORD type, PBYTE buffer, DWORD size,  \
       PDWORD required),                                                                            \
      (set, device, property, type, buffer, size, required), FALSE)                                 \
    X(Setupapi, SetupDiDestroyDeviceInfoList, BOOL, (HDEVINFO set), (set), FALSE)                   \
    X(Setupapi, CM_Get_Device_IDW, CONFIGRET, (DEVINST node, PWSTR buffer, ULONG length, ULONG flags), \
      (node, buffer, length, flags), CR_SUCCESS)                                                    \
    X(Setupapi, SetupDiEnumDeviceInterfaces, BOOL,                                                  \
      (HDEVINFO set, PSP_DEVINFO_DATA device, const GUID *interfaceClass, DWORD index,              \
       PSP_DEVICE_INTERFACE_DATA data),                                                             \
      (set, device, interfaceClass, index, data), FALSE)                                            \
    X(Setupapi, SetupDiGetDeviceInterfaceDetailW, BOOL,                                             \
      (HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,     \
       DWORD size, PDWORD required, PSP_DEVINFO_DATA device),                                       \
      (set, data, detail, size, required, device), FALSE)                                           \
    X(Setupapi, CM_Get_Parent, CONFIGRET, (PDEVINST parent, DEVINST node, ULONG flags),             \
      (parent, node, flags), CR_SUCCESS)                                                            \
    X(Setupapi, CM_Get_Child, CONFIGRET, (PDEVINST child, DEVINST node, ULONG flags),               \
      (child, node, flags), CR_SUCCESS)                                                             \
    X(Setupapi, CM_Get_Sibling, CONFIGRET, (PDEVINST sibling, DEVINST node, ULONG flags),           \
      (sibling, node, flags), CR_SUCCESS)                                                           \
    X(Setupapi, CM_Locate_DevNodeW, CONFIGRET, (PDEVINST node, PWSTR id, ULONG flags),              \
      (node, id, flags), CR_SUCCESS)                                                                \
    X(Setupapi, CM_Get_DevNode_Registry_PropertyW, CONFIGRET,                                       \
      (DEVINST node, ULONG property, PULONG type, PVOID buffer, PULONG length, ULONG flags),         \
      (node, property, type, buffer, length, flags), CR_SUCCESS)

#define TARSEL_API_CFGMGR32(X)                                                                      \
    X(Cfgmgr32, CM_Get_Device_ID_Size, CONFIGRET, (PULONG length, DEVINST node, ULONG flags),       \
      (length, node, flags), CR_INVALID_API)                                                        \
    X(Cfgmgr32, CM_Get_DevNode_Status, CONFIGRET,                                                   \
      (PULONG status, PULONG problem, DEVINST node, ULONG flags), (status, problem, node, flags),    \
      CR_INVALID_API)

// The libraries, in table order: X(library, file name, its entries' list, extra).
#define TARSEL_API_LIBRARIES(X, extra)                                                              \
    X(Advapi32, "advapi32.dll", TARSEL_API_ADVAPI32, extra)                                         \
    X(Kernel32, "kernel32.dll", TARSEL_API_KERNEL32, extra)                                         \
    X(Ntdll, "ntdll.dll", TARSEL_API_NTDLL, extra)                                                  \
    X(Psapi, "psapi.dll", TARSEL_API_PSAPI, extra)                                                  \
    X(User32, "user32.dll", TARSEL_API_USER32, extra)                                               \
    X(Setupapi, "setupapi.dll", TARSEL_API_SETUPAPI, extra)                                         \
    X(Cfgmgr32, "cfgmgr32.dll", TARSEL_API_CFGMGR32, extra)

// Every entry of every library, in table order.
#define TARSEL_API_ENTRIES_OF(lib, file, list, X) list(X)
#define TARSEL_API_ALL(X) TARSEL_API_LIBRARIES(TARSEL_API_ENTRIES_OF, X)

namespace api {

// The library descriptors, in table order.
#define TARSEL_API_LIBRARY_ENUM(lib, file, list, extra) lib,
enum class Library : int { TARSEL_API_LIBRARIES(TARSEL_API_LIBRARY_ENUM, ) Count };
#undef TARSEL_API_LIBRARY_ENUM

// Slots hold the address callers call, as a generic procedure pointer.
using Proc = void (*)();

#define TARSEL_API_DECLARE(lib, name, ret, params, args, fallback) \
    using PFN_##name = ret(WINAPI *) params;                       \
    extern Proc g_slot_##name;
TARSEL_API_ALL(TARSEL_API_DECLARE)
#undef TARSEL_API_DECLARE

namespace detail {
extern bool g_bound[static_cast<int>(Library::Count)];
void Bind(Library library);
BOOL GetModuleHandleExFallback(LPCWSTR name, HMODULE *mod);
}  // namespace detail

// The operations, called by the logic as api::Name(...).
#define TARSEL_API_CALL(lib, name, ret, params, args, fallback)                   \
    inline ret name params {                                                      \
        if (!detail::g_bound[static_cast<int>(Library::lib)]) detail::Bind(Library::lib); \
        return reinterpret_cast<PFN_##name>(g_slot_##name) args;                  \
    }
TARSEL_API_ALL(TARSEL_API_CALL)
#undef TARSEL_API_CALL

// Library request: blank-separated library file names, matched exactly
// (case-sensitive, whole name) against the descriptors; each match is bound.
void RequestLibraries(LPCWSTR names);

// Introspection for tests.
struct LibraryState {
    HMODULE handle;  // NotLoadedMarker() until the one load attempt
    bool bound;
};
LibraryState GetLibraryState(Library library);
bool SlotHoldsFallback(const char *name);  // by procedure name; false if unknown
HMODULE NotLoadedMarker();
// Puts every slot, handle and flag back to its start state, releasing what was
// loaded; lets tests bind again against a different simulated machine.
void ResetForTesting();
// Runs the release routines now, as process exit would.
void ReleaseAllForTesting();

}  // namespace api
