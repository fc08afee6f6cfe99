// The record of one run: every operation the logic made through the
// late-bound table or the directly imported seam, passed on to the platform
// unchanged, with what the platform answered.  The logic neither sees nor
// knows this header; only the capture program reads the record.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/api.h"
#include "platform/os.h"
#include "platform/wstr.h"

namespace capture {

using Bytes = std::vector<uint8_t>;

// Blocks and strings of a record look into the caller's buffers: they are
// valid while the record is handed on, and whoever keeps one copies it.
using Block = std::span<const uint8_t>;

// Every operation, the directly imported ones then the late-bound table's.
#define TARSEL_CAPTURE_OS_OP(name, ret, params, args) TARSEL_CAPTURE_OP(name, ret)
#define TARSEL_CAPTURE_API_OP(lib, name, ret, params, args, fallback) TARSEL_CAPTURE_OP(name, ret)
// TARSEL_CAPTURE_OP(name, ret) is defined where the list is used.
#define TARSEL_CAPTURE_ALL TARSEL_OS_ALL(TARSEL_CAPTURE_OS_OP) TARSEL_API_ALL(TARSEL_CAPTURE_API_OP)

#define TARSEL_CAPTURE_OP(name, ret) name,
enum class Op { TARSEL_CAPTURE_ALL };
#undef TARSEL_CAPTURE_OP

// What an operation returned: handles and pointers as their value.
struct NoResult {};
template <typename T>
using ResultOf = std::conditional_t<std::is_void_v<T>, NoResult, std::conditional_t<std::is_pointer_v<T>, uint64_t, T>>;
template <Op>
struct ReturnOf;
#define TARSEL_CAPTURE_OP(name, ret) \
    template <>                      \
    struct ReturnOf<Op::name> {      \
        using type = ret;            \
    };
TARSEL_CAPTURE_ALL
#undef TARSEL_CAPTURE_OP

// One operation as the platform answered it.  An operation the machine
// learns nothing from keeps its return value and last error only; the others
// name what they were asked and what they answered, below.  Handles are
// kept as their value; `lastError` is the thread's right after the call.
template <Op op>
struct Record {
    ResultOf<typename ReturnOf<op>::type> result{};
    DWORD lastError = 0;
};

template <>
struct Record<Op::LoadLibraryW> {
    WStringView name{};
    uint64_t result = 0;
    DWORD lastError = 0;
};

template <>
struct Record<Op::GetProcAddress> {
    uint64_t module = 0;
    std::string_view name{};
    uint64_t result = 0;
    DWORD lastError = 0;
};

template <>
struct Record<Op::FreeLibrary> {
    uint64_t module = 0;
    BOOL result = FALSE;
    DWORD lastError = 0;
};

template <>
struct Record<Op::SetupDiGetDeviceInstanceIdW> {
    uint64_t set = 0;
    DEVINST devinst = 0;  // 0 for no element
    DWORD size = 0, required = 0;
    WStringView id{};  // as written, on success
    BOOL result = FALSE;
    DWORD lastError = 0;
};

template <>
struct Record<Op::GetVolumeInformationW> {
    WStringView root{};
    DWORD volumeNameSize = 0, fileSystemNameSize = 0;
    // The answers, on success.
    DWORD serial = 0, maxComponentLength = 0, fileSystemFlags = 0;
    WStringView volumeName{}, fileSystemName{};
    BOOL result = FALSE;
    DWORD lastError = 0;
};

template <>
struct Record<Op::WGetEnv> {
    WStringView name{};
    size_t count = 0, required = 0;
    WStringView value{};  // on success
    int result = 0;
    DWORD lastError = 0;
};

template <>
struct Record<Op::SetupDiGetClassDevsW> {
    std::optional<GUID> cls{};
    WStringView enumerator{};
    DWORD flags = 0;
    uint64_t result = 0;  // the set's handle
    DWORD lastError = 0;
};

template <>
struct Record<Op::SetupDiEnumDeviceInfo> {
    uint64_t set = 0;
    DWORD index = 0;
    SP_DEVINFO_DATA device{};  // on success
    BOOL result = FALSE;
    DWORD lastError = 0;
};

template <>
struct Record<Op::SetupDiGetDeviceRegistryPropertyW> {
    uint64_t set = 0;
    DEVINST devinst = 0;  // 0 for no element
    DWORD property = 0, size = 0;
    DWORD type = 0, required = 0;  // 0 where not asked for
    // As written, on success: the whole buffer where no count was asked for.
    Block buffer{};
    BOOL result = FALSE;
    DWORD lastError = 0;
};

template <>
struct Record<Op::SetupDiDestroyDeviceInfoList> {
    uint64_t set = 0;
    BOOL result = FALSE;
    DWORD lastError = 0;
};

template <>
struct Record<Op::CM_Get_Device_IDW> {
    DEVINST devinst = 0;
    ULONG length = 0, flags = 0;
    WStringView id{};  // on success
    CONFIGRET result = CR_SUCCESS;
    DWORD lastError = 0;
};

template <>
struct Record<Op::SetupDiEnumDeviceInterfaces> {
    uint64_t set = 0;
    DEVINST devinst = 0;  // 0 for every interface of the set
    std::optional<GUID> cls{};
    DWORD index = 0;
    SP_DEVICE_INTERFACE_DATA data{};  // on success
    BOOL result = FALSE;
    DWORD lastError = 0;
};

template <>
struct Record<Op::SetupDiGetDeviceInterfaceDetailW> {
    uint64_t set = 0;
    std::optional<SP_DEVICE_INTERFACE_DATA> data{};  // the element asked about
    DWORD size = 0, required = 0;
    WStringView path{};                        // on success, within the buffer
    std::optional<SP_DEVINFO_DATA> device{};   // on success, when asked for
    BOOL result = FALSE;
    DWORD lastError = 0;
};

template <>
struct Record<Op::CM_Get_Parent> {
    DEVINST devinst = 0;
    ULONG flags = 0;
    DEVINST parent = 0;  // as written, or 0
    CONFIGRET result = CR_SUCCESS;
    DWORD lastError = 0;
};

template <>
struct Record<Op::CM_Get_Device_ID_Size> {
    DEVINST devinst = 0;
    ULONG flags = 0;
    ULONG length = 0;
    CONFIGRET result = CR_SUCCESS;
    DWORD lastError = 0;
};

template <>
struct Record<Op::CM_Get_DevNode_Status> {
    DEVINST devinst = 0;
    ULONG flags = 0;
    ULONG status = 0, problem = 0;
    CONFIGRET result = CR_SUCCESS;
    DWORD lastError = 0;
};

template <>
struct Record<Op::CreateFileW> {
    WStringView name{};
    DWORD access = 0, share = 0, disposition = 0, flags = 0;
    uint64_t result = 0;  // the handle, or INVALID_HANDLE_VALUE's value
    DWORD lastError = 0;
};

template <>
struct Record<Op::CloseHandle> {
    uint64_t handle = 0;
    BOOL result = FALSE;
    DWORD lastError = 0;
};

template <>
struct Record<Op::DeviceIoControl> {
    uint64_t handle = 0;
    DWORD code = 0;
    Block input{};  // as it was before the call
    DWORD inSize = 0, outSize = 0;
    DWORD returned = 0;  // as reported
    Block output{};        // as written, cut to the count reported and the buffer
    BOOL result = FALSE;
    DWORD lastError = 0;
};

template <>
struct Record<Op::QueryDosDeviceW> {
    WStringView device{};
    DWORD max = 0;
    WStringView target{};  // the characters counted, within the buffer
    DWORD result = 0;
    DWORD lastError = 0;
};

template <>
struct Record<Op::GetWindowsDirectoryW> {
    UINT size = 0;
    WStringView directory{};  // when it fitted
    UINT result = 0;
    DWORD lastError = 0;
};

template <>
struct Record<Op::NtCreateFile> {
    WStringView name{};
    ACCESS_MASK access = 0;
    ULONG share = 0, disposition = 0, options = 0;
    uint64_t handle = 0;  // as written
    NTSTATUS result = 0;
    DWORD lastError = 0;
};

template <>
struct Record<Op::NtQueryObject> {
    uint64_t handle = 0;
    OBJECT_INFORMATION_CLASS infoClass{};
    ULONG length = 0, returned = 0;
    WStringView name{};  // a name answered within the buffer
    NTSTATUS result = 0;
    DWORD lastError = 0;
};

template <>
struct Record<Op::NtClose> {
    uint64_t handle = 0;
    NTSTATUS result = 0;
    DWORD lastError = 0;
};

// The records by operation name: capture::ev::CreateFileW, ...
namespace ev {
#define TARSEL_CAPTURE_OP(name, ret) using name = Record<Op::name>;
TARSEL_CAPTURE_ALL
#undef TARSEL_CAPTURE_OP
}  // namespace ev

// A record's result is of what the operation returns.
#define TARSEL_CAPTURE_OP(name, ret)                                                            \
    static_assert(std::is_same_v<decltype(ev::name::result), ResultOf<ret>>, #name "'s result"); \
    static_assert(std::is_same_v<decltype(ev::name::lastError), DWORD>, #name "'s last error");
TARSEL_CAPTURE_ALL
#undef TARSEL_CAPTURE_OP

// The operation's name, as the system names it.
#define TARSEL_CAPTURE_OP(name, ret) #name,
inline constexpr std::string_view kOpNames[] = {TARSEL_CAPTURE_ALL};
#undef TARSEL_CAPTURE_OP
template <Op op>
constexpr std::string_view NameOf(const Record<op> &) {
    return kOpNames[static_cast<int>(op)];
}

// Any one record (tests build runs of them).
namespace detail {
template <typename First, typename... Rest>
struct AllBut {
    using type = std::variant<Rest...>;
};
}  // namespace detail
#define TARSEL_CAPTURE_OP(name, ret) , ev::name
using Event = typename detail::AllBut<void TARSEL_CAPTURE_ALL>::type;
#undef TARSEL_CAPTURE_OP

// The table of the directly imported operations (platform/os.h) that records
// each call, then passes it on to `wrapped`, and hands out recording thunks
// for the late-bound table's exports it finds there.  One recording table
// exists; the call makes `wrapped` the one it passes on to.
const os::Table &Recording(const os::Table &wrapped);

// Hands one answered operation, as it returns, to the run's machine builder:
// the record is taken in as it comes, never kept whole, so the capture's
// memory grows with the machine and not with the run.
#define TARSEL_CAPTURE_OP(name, ret) void Take(const ev::name &record);
TARSEL_CAPTURE_ALL
#undef TARSEL_CAPTURE_OP

}  // namespace capture
