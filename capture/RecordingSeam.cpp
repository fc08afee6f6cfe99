// The recording seam: a table of the program's os:: operations and, through
// GetProcAddress, every export of the late-bound table, passed on to the
// table it wraps and recorded with what it answered.  The same code runs over
// the real system on Windows and over the simulator on Linux.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

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

// A block of `size` bytes at `data`, or none.
Block BlockOf(const void *data, size_t size) {
    if (data == nullptr) return {};
    return Block(static_cast<const uint8_t *>(data), size);
}

// A NUL-terminated wide string read by the operation, without its NUL.
WStringView WideIn(const WCHAR *text) { return text != nullptr ? WStringView(text, wstr::Len(text)) : WStringView(); }

// A wide output of `chars` characters, never past the buffer's `capacity`.
WStringView WideOut(const WCHAR *text, size_t chars, size_t capacity) {
    return text != nullptr ? WStringView(text, std::min(chars, capacity)) : WStringView();
}

// A wide output as far as its NUL, within the buffer's `capacity`.
WStringView WideOutBounded(const WCHAR *text, size_t capacity) {
    return WideOut(text, wstr::LenBounded(text, capacity), capacity);
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
T ValueAt(const T *p) {
    return p != nullptr ? *p : T{};
}

DEVINST DevinstOf(const SP_DEVINFO_DATA *device) { return device != nullptr ? device->DevInst : 0; }

template <typename T>
std::optional<T> CopyOf(const T *p) {
    return p != nullptr ? std::optional<T>(*p) : std::nullopt;
}

// The result as the record keeps it: handles and pointers as their value.
template <typename R, typename T>
auto AsResult(T value) {
    using Kept = decltype(R::result);
    if constexpr (std::is_pointer_v<T>) {
        return static_cast<Kept>(reinterpret_cast<uintptr_t>(value));
    } else {
        return static_cast<Kept>(value);
    }
}

template <typename Call>
auto Unrecorded(Call &call) {
    struct Inside {
        Inside() { ++g_depth; }
        ~Inside() { --g_depth; }
    } inside;
    return call();
}

// Runs the real operation once, then hands its record `R`, completed by
// `describe`, to the builder; `before` takes what the operation may
// overwrite (an input buffer that is also the output buffer).  Operations
// the platform makes inside one of ours are passed on unrecorded.  The
// record is on the stack and looks into the caller's buffers: a call
// allocates nothing.
template <typename R, typename Before, typename Call, typename Describe>
auto Passed(Before &&before, Call &&call, Describe &&describe) {
    using Returned = decltype(call());
    if (g_depth > 0) return Unrecorded(call);
    R r{};
    before(r);
    ++g_depth;
    if constexpr (std::is_void_v<Returned>) {
        call();
        r.lastError = Wrapped().GetLastError();
        --g_depth;
        describe(r);
        Take(r);
        Wrapped().SetLastError(r.lastError);
    } else {
        Returned result = call();
        r.lastError = Wrapped().GetLastError();
        r.result = AsResult<R>(result);
        --g_depth;
        describe(r);
        Take(r);
        Wrapped().SetLastError(r.lastError);
        return result;
    }
}

template <typename R, typename Call, typename Describe>
auto Passed(Call &&call, Describe &&describe) {
    return Passed<R>([](R &) {}, std::forward<Call>(call), std::forward<Describe>(describe));
}

// Per-operation descriptions of inputs and outputs; operations the program
// never makes keep the return value and last error only.
template <typename R, typename... A>
void Describe(R &, A...) {}
template <typename R, typename... A>
void Before(R &, A...) {}

void Describe(ev::SetupDiGetClassDevsW &r, const GUID *cls, PCWSTR enumerator, HWND, DWORD flags) {
    r.flags = flags;
    r.cls = CopyOf(cls);
    r.enumerator = WideIn(enumerator);
}

void Describe(ev::SetupDiEnumDeviceInfo &r, HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device) {
    r.set = Word(set);
    r.index = index;
    if (r.result != 0 && device != nullptr) r.device = *device;
}

void Describe(ev::SetupDiGetDeviceRegistryPropertyW &r, HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
              PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
    // Without a count asked for, the whole buffer: the builder cuts it to the
    // size an earlier call of the same property reported.
    const DWORD written = r.result == 0 ? 0 : required != nullptr ? std::min(*required, size) : size;
    r.set = Word(set);
    r.devinst = DevinstOf(device);
    r.property = property;
    r.size = size;
    r.type = ValueAt(type);
    r.required = ValueAt(required);
    r.buffer = BlockOf(buffer, written);
}

void Describe(ev::SetupDiDestroyDeviceInfoList &r, HDEVINFO set) { r.set = Word(set); }

void Describe(ev::CM_Get_Device_IDW &r, DEVINST node, PWSTR buffer, ULONG length, ULONG flags) {
    r.devinst = node;
    r.length = length;
    r.flags = flags;
    if (r.result == CR_SUCCESS) r.id = WideOutBounded(buffer, length);
}

void Describe(ev::SetupDiEnumDeviceInterfaces &r, HDEVINFO set, PSP_DEVINFO_DATA device, const GUID *cls,
              DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    r.set = Word(set);
    r.devinst = DevinstOf(device);
    r.cls = CopyOf(cls);
    r.index = index;
    if (r.result != 0 && data != nullptr) r.data = *data;
}

void Describe(ev::SetupDiGetDeviceInterfaceDetailW &r, HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
              PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required, PSP_DEVINFO_DATA device) {
    const size_t header = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    if (r.result != 0 && detail != nullptr && size > header)
        r.path = WideOutBounded(detail->DevicePath, (size - header) / sizeof(WCHAR));
    r.set = Word(set);
    r.size = size;
    r.required = ValueAt(required);
    r.data = CopyOf(data);
    if (r.result != 0) r.device = CopyOf(device);
}

void Describe(ev::CM_Get_Parent &r, PDEVINST parent, DEVINST node, ULONG flags) {
    r.devinst = node;
    r.flags = flags;
    r.parent = ValueAt(parent);
}

void Describe(ev::CM_Get_Device_ID_Size &r, PULONG length, DEVINST node, ULONG flags) {
    r.devinst = node;
    r.flags = flags;
    r.length = ValueAt(length);
}

void Describe(ev::CM_Get_DevNode_Status &r, PULONG status, PULONG problem, DEVINST node, ULONG flags) {
    r.devinst = node;
    r.flags = flags;
    r.status = ValueAt(status);
    r.problem = ValueAt(problem);
}

void Describe(ev::CreateFileW &r, LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
              DWORD flags, HANDLE) {
    r.name = WideIn(name);
    r.access = access;
    r.share = share;
    r.disposition = disposition;
    r.flags = flags;
}

void Describe(ev::CloseHandle &r, HANDLE handle) { r.handle = Word(handle); }

// The input as it was: the output may be written over it.  One copy for the
// run, so that its storage is kept from call to call.
void Before(ev::DeviceIoControl &r, HANDLE, DWORD, LPVOID in, DWORD inSize, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    static Bytes input;
    const Block given = BlockOf(in, inSize);
    input.assign(given.begin(), given.end());
    r.input = input;
}

void Describe(ev::DeviceIoControl &r, HANDLE device, DWORD code, LPVOID, DWORD inSize, LPVOID out, DWORD outSize,
              LPDWORD returned, LPOVERLAPPED) {
    r.handle = Word(device);
    r.code = code;
    r.inSize = inSize;
    r.outSize = outSize;
    r.returned = ValueAt(returned);
    r.output = BlockOf(out, std::min(r.returned, outSize));
}

void Describe(ev::QueryDosDeviceW &r, LPCWSTR device, LPWSTR target, DWORD max) {
    r.device = WideIn(device);
    r.max = max;
    r.target = WideOut(target, r.result, max);
}

void Describe(ev::GetWindowsDirectoryW &r, LPWSTR buffer, UINT size) {
    r.size = size;
    r.directory = WideOut(buffer, r.result < size ? r.result : 0, size);
}

void Describe(ev::NtCreateFile &r, PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
              PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG share, ULONG disposition, ULONG options, PVOID, ULONG) {
    const UNICODE_STRING *name = attributes != nullptr ? attributes->ObjectName : nullptr;
    r.access = access;
    r.share = share;
    r.disposition = disposition;
    r.options = options;
    r.handle = handle != nullptr ? Word(*handle) : 0;
    if (name != nullptr && name->Buffer != nullptr) r.name = WStringView(name->Buffer, name->Length / sizeof(WCHAR));
}

void Describe(ev::NtQueryObject &r, HANDLE handle, OBJECT_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
              PULONG returned) {
    const auto *text = static_cast<const OBJECT_NAME_INFORMATION *>(info);
    r.handle = Word(handle);
    r.infoClass = infoClass;
    r.length = length;
    r.returned = ValueAt(returned);
    // The name as the caller would read it: inside the buffer it was given.
    if (r.result == STATUS_SUCCESS && infoClass == ObjectNameInformation && text != nullptr &&
        length >= sizeof *text && text->Name.Buffer != nullptr) {
        const auto *begin = static_cast<const uint8_t *>(info);
        const auto *at = reinterpret_cast<const uint8_t *>(text->Name.Buffer);
        if (at >= begin && at <= begin + length && text->Name.Length <= begin + length - at)
            r.name = WStringView(text->Name.Buffer, text->Name.Length / sizeof(WCHAR));
    }
}

void Describe(ev::NtClose &r, HANDLE handle) { r.handle = Word(handle); }

// Thunks: one per export, calling the real export the platform handed out.
#define TARSEL_CAPTURE_THUNK(lib, name, ret, params, args, fallback)                              \
    api::Proc g_real_##name = nullptr;                                                            \
    ret WINAPI Recorded_##name params {                                                           \
        return Passed<ev::name>([&](ev::name &r) { Before(r TARSEL_CAPTURE_AFTER_RECORD args); }, \
                                [&] { return reinterpret_cast<api::PFN_##name>(g_real_##name) args; }, \
                                [&](ev::name &r) { Describe(r TARSEL_CAPTURE_AFTER_RECORD args); }); \
    }
#define TARSEL_CAPTURE_AFTER_RECORD(...) __VA_OPT__(, ) __VA_ARGS__
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
    return Passed<ev::LoadLibraryW>([&] { return Wrapped().LoadLibraryW(name); },
                                    [&](ev::LoadLibraryW &r) { r.name = WideIn(name); });
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    FARPROC real = Passed<ev::GetProcAddress>([&] { return Wrapped().GetProcAddress(module, name); },
                                              [&](ev::GetProcAddress &r) {
                                                  r.module = Word(module);
                                                  r.name = name;
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
    return Passed<ev::FreeLibrary>([&] { return Wrapped().FreeLibrary(module); },
                                   [&](ev::FreeLibrary &r) { r.module = Word(module); });
}

void InitializeCriticalSection(LPCRITICAL_SECTION section) { Wrapped().InitializeCriticalSection(section); }
HMODULE GetModuleHandleW(LPCWSTR name) { return Wrapped().GetModuleHandleW(name); }
DWORD GetLastError() { return Wrapped().GetLastError(); }
void SetLastError(DWORD error) { Wrapped().SetLastError(error); }

BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA device, PWSTR id, DWORD idSize,
                                 PDWORD requiredSize) {
    return Passed<ev::SetupDiGetDeviceInstanceIdW>(
        [&] { return Wrapped().SetupDiGetDeviceInstanceIdW(set, device, id, idSize, requiredSize); },
        [&](ev::SetupDiGetDeviceInstanceIdW &r) {
            r.set = Word(set);
            r.devinst = DevinstOf(device);
            r.size = idSize;
            r.required = ValueAt(requiredSize);
            if (r.result != 0) r.id = WideOutBounded(id, idSize);
        });
}

HRESULT IIDFromString(LPCWSTR text, LPIID iid) { return Wrapped().IIDFromString(text, iid); }

BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR volumeName, DWORD volumeNameSize, LPDWORD serial,
                           LPDWORD maxComponentLength, LPDWORD fileSystemFlags, LPWSTR fileSystemName,
                           DWORD fileSystemNameSize) {
    return Passed<ev::GetVolumeInformationW>(
        [&] {
            return Wrapped().GetVolumeInformationW(root, volumeName, volumeNameSize, serial, maxComponentLength,
                                                   fileSystemFlags, fileSystemName, fileSystemNameSize);
        },
        [&](ev::GetVolumeInformationW &r) {
            r.root = WideIn(root);
            r.volumeNameSize = volumeNameSize;
            r.fileSystemNameSize = fileSystemNameSize;
            if (r.result == 0) return;
            r.serial = ValueAt(serial);
            r.maxComponentLength = ValueAt(maxComponentLength);
            r.fileSystemFlags = ValueAt(fileSystemFlags);
            r.volumeName = WideOutBounded(volumeName, volumeNameSize);
            r.fileSystemName = WideOutBounded(fileSystemName, fileSystemNameSize);
        });
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes, LPWSTR wide, int chars) {
    return Wrapped().MultiByteToWideChar(codePage, flags, text, bytes, wide, chars);
}

std::time_t Time() {
    return Passed<ev::Time>([&] { return Wrapped().Time(); }, [](ev::Time &) {});
}

int WGetEnv(size_t *required, WCHAR *buffer, size_t count, const WCHAR *name) {
    return Passed<ev::WGetEnv>([&] { return Wrapped().WGetEnv(required, buffer, count, name); },
                               [&](ev::WGetEnv &r) {
                                   r.name = WideIn(name);
                                   r.count = count;
                                   r.required = ValueAt(required);
                                   if (r.result == 0) r.value = WideOutBounded(buffer, count);
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
