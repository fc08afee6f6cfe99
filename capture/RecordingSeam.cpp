// The recording seam: a table of the program's os:: operations and, through
// GetProcAddress, every export of the late-bound table, passed on to the
// table it wraps and recorded with what it answered.  The same code runs over
// the real system on Windows and over the simulator on Linux.
#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <type_traits>

#include "capture/Record.h"
#include "platform/api.h"
#include "platform/os.h"
#include "platform/wstr.h"

namespace capture {

namespace {

// The table every operation is passed on to.
const os::Table *g_wrapped = nullptr;
const os::Table &Wrapped() { return *g_wrapped; }

// Operations the platform makes on its own behalf while answering one of
// ours, should it call back through the current table, are not the program's.
int g_depth = 0;

// A block of the event, filled in place: its storage is kept from call to call.
void Block(Bytes &block, const void *data, size_t size) {
    const auto *p = static_cast<const uint8_t *>(data);
    if (data == nullptr) size = 0;
    block.assign(p, p + size);
}

// A NUL-terminated wide string read by the operation, without its NUL.
void WideIn(Bytes &block, const WCHAR *text) { Block(block, text, wstr::Len(text) * sizeof(WCHAR)); }

// A wide output of `chars` characters, never past the buffer's `capacity`.
void WideOut(Bytes &block, const WCHAR *text, size_t chars, size_t capacity) {
    Block(block, text, std::min(chars, capacity) * sizeof(WCHAR));
}

template <typename T>
uint64_t Word(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<uintptr_t>(value);
    } else {
        return static_cast<uint64_t>(static_cast<std::make_unsigned_t<T>>(value));
    }
}

template <typename T>
uint64_t WordAt(const T *p) {
    return p != nullptr ? Word(*p) : 0;
}

DEVINST DevinstOf(const SP_DEVINFO_DATA *device) { return device != nullptr ? device->DevInst : 0; }

// The event the outermost operation fills: one for the whole run, so its
// blocks keep their storage and a call allocates nothing once they have grown.
Event &Fresh(const char *op) {
    static Event e;
    e.op = op;
    e.result = 0;
    e.lastError = 0;
    e.args.clear();
    for (Bytes &b : e.in) b.clear();
    for (Bytes &b : e.out) b.clear();
    return e;
}

template <typename Call>
auto Unrecorded(Call &call) {
    struct Inside {
        Inside() { ++g_depth; }
        ~Inside() { --g_depth; }
    } inside;
    return call();
}

// Runs the real operation once, then hands its event, described by
// `describe`, to the builder; `before` takes what the operation may
// overwrite (an input buffer that is also the output buffer).  Operations
// the platform makes inside one of ours are passed on unrecorded.
template <typename Before, typename Call, typename Describe>
auto Passed(const char *op, Before &&before, Call &&call, Describe &&describe) {
    using R = decltype(call());
    if (g_depth > 0) return Unrecorded(call);
    Event &e = Fresh(op);
    before(e);
    ++g_depth;
    if constexpr (std::is_void_v<R>) {
        call();
        e.lastError = Wrapped().GetLastError();
        --g_depth;
        describe(e);
        Take(e);
        Wrapped().SetLastError(e.lastError);
    } else {
        R result = call();
        e.lastError = Wrapped().GetLastError();
        e.result = Word(result);
        --g_depth;
        describe(e);
        Take(e);
        Wrapped().SetLastError(e.lastError);
        return result;
    }
}

template <typename Call, typename Describe>
auto Passed(const char *op, Call &&call, Describe &&describe) {
    return Passed(op, [](Event &) {}, std::forward<Call>(call), std::forward<Describe>(describe));
}

// Per-operation descriptions of inputs and outputs; operations the program
// never makes keep the return value and last error only.
template <typename Op, typename... A>
void Describe(Op, Event &, A...) {}
template <typename Op, typename... A>
void Before(Op, Event &, A...) {}

#define TARSEL_CAPTURE_TAG(lib, name, ret, params, args, fallback) \
    struct Op_##name {};
TARSEL_API_ALL(TARSEL_CAPTURE_TAG)
#undef TARSEL_CAPTURE_TAG

void Describe(Op_SetupDiGetClassDevsW, Event &e, const GUID *cls, PCWSTR enumerator, HWND, DWORD flags) {
    e.args = {flags, cls != nullptr};
    Block(e.in[0], cls, cls != nullptr ? sizeof(GUID) : 0);
    WideIn(e.in[1], enumerator);
}

void Describe(Op_SetupDiEnumDeviceInfo, Event &e, HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device) {
    e.args = {Word(set), index};
    Block(e.out[0], device, e.result != 0 ? sizeof *device : 0);
}

void Describe(Op_SetupDiGetDeviceRegistryPropertyW, Event &e, HDEVINFO set, PSP_DEVINFO_DATA device,
              DWORD property, PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
    // Without a count asked for, the whole buffer: the builder cuts it to the
    // size an earlier call of the same property reported.
    const DWORD written = e.result == 0 ? 0 : required != nullptr ? std::min(*required, size) : size;
    e.args = {Word(set), DevinstOf(device), property, size, WordAt(type), WordAt(required)};
    Block(e.out[0], buffer, written);
}

void Describe(Op_SetupDiDestroyDeviceInfoList, Event &e, HDEVINFO set) { e.args = {Word(set)}; }

void Describe(Op_CM_Get_Device_IDW, Event &e, DEVINST node, PWSTR buffer, ULONG length, ULONG flags) {
    e.args = {node, length, flags};
    if (e.result == CR_SUCCESS) WideOut(e.out[0], buffer, wstr::LenBounded(buffer, length), length);
}

void Describe(Op_SetupDiEnumDeviceInterfaces, Event &e, HDEVINFO set, PSP_DEVINFO_DATA device,
              const GUID *cls, DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    e.args = {Word(set), DevinstOf(device), index};
    Block(e.in[0], cls, cls != nullptr ? sizeof(GUID) : 0);
    Block(e.out[0], data, e.result != 0 ? sizeof *data : 0);
}

void Describe(Op_SetupDiGetDeviceInterfaceDetailW, Event &e, HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
              PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required, PSP_DEVINFO_DATA device) {
    const size_t header = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    if (e.result != 0 && detail != nullptr && size > header) {
        const size_t capacity = (size - header) / sizeof(WCHAR);
        WideOut(e.out[0], detail->DevicePath, wstr::LenBounded(detail->DevicePath, capacity), capacity);
    }
    e.args = {Word(set), size, WordAt(required)};
    Block(e.in[0], data, data != nullptr ? sizeof *data : 0);
    Block(e.out[1], device, e.result != 0 && device != nullptr ? sizeof *device : 0);
}

void Describe(Op_CM_Get_Parent, Event &e, PDEVINST parent, DEVINST node, ULONG flags) {
    e.args = {node, flags, WordAt(parent)};
}

void Describe(Op_CM_Get_Device_ID_Size, Event &e, PULONG length, DEVINST node, ULONG flags) {
    e.args = {node, flags, WordAt(length)};
}

void Describe(Op_CM_Get_DevNode_Status, Event &e, PULONG status, PULONG problem, DEVINST node, ULONG flags) {
    e.args = {node, flags, WordAt(status), WordAt(problem)};
}

void Describe(Op_CreateFileW, Event &e, LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
              DWORD disposition, DWORD flags, HANDLE) {
    e.args = {access, share, disposition, flags};
    WideIn(e.in[0], name);
}

void Describe(Op_CloseHandle, Event &e, HANDLE handle) { e.args = {Word(handle)}; }

void Before(Op_DeviceIoControl, Event &e, HANDLE, DWORD, LPVOID in, DWORD inSize, LPVOID, DWORD, LPDWORD,
            LPOVERLAPPED) {
    Block(e.in[0], in, inSize);
}

void Describe(Op_DeviceIoControl, Event &e, HANDLE device, DWORD code, LPVOID, DWORD inSize, LPVOID out,
              DWORD outSize, LPDWORD returned, LPOVERLAPPED) {
    const DWORD reported = returned != nullptr ? *returned : 0;
    e.args = {Word(device), code, inSize, outSize, reported};
    Block(e.out[0], out, std::min(reported, outSize));
}

void Describe(Op_QueryDosDeviceW, Event &e, LPCWSTR device, LPWSTR target, DWORD max) {
    e.args = {max};
    WideIn(e.in[0], device);
    WideOut(e.out[0], target, static_cast<DWORD>(e.result), max);
}

void Describe(Op_GetWindowsDirectoryW, Event &e, LPWSTR buffer, UINT size) {
    e.args = {size};
    WideOut(e.out[0], buffer, static_cast<UINT>(e.result) < size ? static_cast<UINT>(e.result) : 0, size);
}

void Describe(Op_NtCreateFile, Event &e, PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
              PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG share, ULONG disposition, ULONG options, PVOID,
              ULONG) {
    const UNICODE_STRING *name = attributes != nullptr ? attributes->ObjectName : nullptr;
    e.args = {access, share, disposition, options, WordAt(handle)};
    if (name != nullptr) Block(e.in[0], name->Buffer, name->Length);
}

void Describe(Op_NtQueryObject, Event &e, HANDLE handle, OBJECT_INFORMATION_CLASS infoClass, PVOID info,
              ULONG length, PULONG returned) {
    const ULONG reported = returned != nullptr ? *returned : 0;
    const auto *text = static_cast<const OBJECT_NAME_INFORMATION *>(info);
    // The name as the caller would read it: inside the buffer it was given.
    if (static_cast<NTSTATUS>(e.result) == STATUS_SUCCESS && infoClass == ObjectNameInformation &&
        text != nullptr && length >= sizeof *text && text->Name.Buffer != nullptr) {
        const auto *begin = static_cast<const uint8_t *>(info);
        const auto *at = reinterpret_cast<const uint8_t *>(text->Name.Buffer);
        if (at >= begin && at <= begin + length && text->Name.Length <= begin + length - at)
            Block(e.out[0], at, text->Name.Length);
    }
    e.args = {Word(handle), static_cast<uint64_t>(infoClass), length, reported};
}

void Describe(Op_NtClose, Event &e, HANDLE handle) { e.args = {Word(handle)}; }

// Thunks: one per export, calling the real export the platform handed out.
#define TARSEL_CAPTURE_THUNK(lib, name, ret, params, args, fallback)                             \
    api::Proc g_real_##name = nullptr;                                                           \
    ret WINAPI Recorded_##name params {                                                          \
        return Passed(                                                                           \
            #name, [&](Event &e) { Before(Op_##name{}, TARSEL_CAPTURE_EVENT_AND args); },         \
            [&] { return reinterpret_cast<api::PFN_##name>(g_real_##name) args; },              \
            [&](Event &e) { Describe(Op_##name{}, TARSEL_CAPTURE_EVENT_AND args); });           \
    }
#define TARSEL_CAPTURE_EVENT_AND(...) e __VA_OPT__(, ) __VA_ARGS__
TARSEL_API_ALL(TARSEL_CAPTURE_THUNK)
#undef TARSEL_CAPTURE_THUNK

struct Thunk {
    const char *name;
    api::Proc *real;
    api::Proc recorded;
};
#define TARSEL_CAPTURE_ROW(lib, name, ret, params, args, fallback) \
    {#name, &g_real_##name, reinterpret_cast<api::Proc>(&Recorded_##name)},
const Thunk kThunks[] = {TARSEL_API_ALL(TARSEL_CAPTURE_ROW)};
#undef TARSEL_CAPTURE_ROW

namespace recorded {

HMODULE LoadLibraryW(LPCWSTR name) {
    return Passed("LoadLibraryW", [&] { return Wrapped().LoadLibraryW(name); },
                  [&](Event &e) { WideIn(e.in[0], name); });
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    FARPROC real = Passed("GetProcAddress", [&] { return Wrapped().GetProcAddress(module, name); },
                          [&](Event &e) {
                              e.args = {Word(module)};
                              Block(e.in[0], name, std::strlen(name));
                          });
    if (real == nullptr) return nullptr;
    for (const Thunk &t : kThunks)
        if (std::strcmp(t.name, name) == 0) {
            *t.real = reinterpret_cast<api::Proc>(real);
            return reinterpret_cast<FARPROC>(t.recorded);
        }
    return real;
}

BOOL FreeLibrary(HMODULE module) {
    return Passed("FreeLibrary", [&] { return Wrapped().FreeLibrary(module); },
                  [&](Event &e) { e.args = {Word(module)}; });
}

void InitializeCriticalSection(LPCRITICAL_SECTION section) { Wrapped().InitializeCriticalSection(section); }
HMODULE GetModuleHandleW(LPCWSTR name) { return Wrapped().GetModuleHandleW(name); }
DWORD GetLastError() { return Wrapped().GetLastError(); }
void SetLastError(DWORD error) { Wrapped().SetLastError(error); }

BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA device, PWSTR id, DWORD idSize,
                                 PDWORD requiredSize) {
    return Passed(
        "SetupDiGetDeviceInstanceIdW",
        [&] { return Wrapped().SetupDiGetDeviceInstanceIdW(set, device, id, idSize, requiredSize); },
        [&](Event &e) {
            e.args = {Word(set), DevinstOf(device), idSize, WordAt(requiredSize)};
            if (e.result != 0) WideOut(e.out[0], id, wstr::LenBounded(id, idSize), idSize);
        });
}

HRESULT IIDFromString(LPCWSTR text, LPIID iid) { return Wrapped().IIDFromString(text, iid); }

BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR volumeName, DWORD volumeNameSize, LPDWORD serial,
                           LPDWORD maxComponentLength, LPDWORD fileSystemFlags, LPWSTR fileSystemName,
                           DWORD fileSystemNameSize) {
    return Passed(
        "GetVolumeInformationW",
        [&] {
            return Wrapped().GetVolumeInformationW(root, volumeName, volumeNameSize, serial, maxComponentLength,
                                                   fileSystemFlags, fileSystemName, fileSystemNameSize);
        },
        [&](Event &e) {
            const bool ok = e.result != 0;
            e.args = {volumeNameSize, fileSystemNameSize, ok ? WordAt(serial) : 0,
                      ok ? WordAt(maxComponentLength) : 0, ok ? WordAt(fileSystemFlags) : 0};
            WideIn(e.in[0], root);
            if (!ok) return;
            WideOut(e.out[0], volumeName, wstr::LenBounded(volumeName, volumeNameSize), volumeNameSize);
            WideOut(e.out[1], fileSystemName, wstr::LenBounded(fileSystemName, fileSystemNameSize), fileSystemNameSize);
        });
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes, LPWSTR wide, int chars) {
    return Wrapped().MultiByteToWideChar(codePage, flags, text, bytes, wide, chars);
}

std::time_t Time() {
    return Passed("Time", [&] { return Wrapped().Time(); }, [](Event &) {});
}

int WGetEnv(size_t *required, WCHAR *buffer, size_t count, const WCHAR *name) {
    return Passed(
        "WGetEnv", [&] { return Wrapped().WGetEnv(required, buffer, count, name); },
        [&](Event &e) {
            e.args = {count, WordAt(required)};
            WideIn(e.in[0], name);
            if (e.result == 0) WideOut(e.out[0], buffer, wstr::LenBounded(buffer, count), count);
        });
}

constexpr os::Table kTable = {TARSEL_OS_ALL(TARSEL_OS_ENTRY)};

}  // namespace recorded

}  // namespace

const os::Table &Recording(const os::Table &wrapped) {
    g_wrapped = &wrapped;
    return recorded::kTable;
}

}  // namespace capture
