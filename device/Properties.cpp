#include "device/Properties.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/trace.h"
#include "device/DeviceInfo.h"
#include "platform/api.h"
#include "platform/holders.h"
#include "platform/os.h"
#include "platform/setupdi.h"
#include "platform/twocall.h"
#include "storage/Queries.h"

namespace {

// Sizes the system asks us to allocate beyond this are refused like a failed
// allocation; no path, identifier or property comes anywhere near it.
constexpr DWORD kMaxReportedSize = 0x100000;

// The fixed identifier buffer of the lookup by identifier.
constexpr ULONG kDeviceIdChars = 1040;

// A property block: the value rounded up to whole characters, then two NUL
// characters, so a string or string list the system left unterminated still
// ends inside the block and callers may read it as a C string.
size_t PropertyBlockBytes(DWORD required) {
    return ((static_cast<size_t>(required) + 1) & ~static_cast<size_t>(1)) + 2 * sizeof(WCHAR);
}

void InitDevInfo(SP_DEVINFO_DATA *device) {
    std::memset(device, 0, sizeof *device);
    device->cbSize = sizeof(SP_DEVINFO_DATA);
}

// A string property, owned until the holder goes.
CAutoFreePtr<WCHAR> ReadString(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD type, DWORD property) {
    return CAutoFreePtr<WCHAR>(reinterpret_cast<WCHAR *>(GetDeviceRegistryProperty(set, device, type, property)));
}

const WCHAR *TextOrEmpty(const WCHAR *text) { return text != nullptr ? text : WS(""); }

// The first entry of a REG_MULTI_SZ list, cut before its first "&".
WString CompatibleIdClass(const WCHAR *list) {
    WString first(list);
    size_t amp = first.find(WCHAR('&'));
    if (amp != WString::npos) first.resize(amp);
    return first;
}

bool IsScanSpace(WCHAR c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// One %Nx conversion: optional white space, then 1 to `width` hex digits.
bool ScanHex(const WCHAR *&p, int width, uint32_t *value) {
    while (IsScanSpace(*p)) ++p;
    uint32_t v = 0;
    int digits = 0;
    for (; digits < width; ++digits, ++p) {
        int h = wstr::HexDigitValue(*p);
        if (h < 0) break;
        v = (v << 4) | static_cast<uint32_t>(h);
    }
    if (digits == 0) return false;
    *value = v;
    return true;
}

}  // namespace

bool GetDeviceId(DEVINST node, WCHAR **deviceId) {
    *deviceId = nullptr;
    Trace("ENTER GetDeviceId");

    CQueryBlock buffer;
    CONFIGRET cr = CR_SUCCESS;
    const TwoCall step = QueryTwice(
        buffer,
        [&](DWORD *length) {
            cr = api::CM_Get_Device_ID_Size(length, node, 0);
            return cr == CR_SUCCESS ? SizeAnswer::Size : SizeAnswer::Failed;
        },
        // The reported length is the system's word: refuse one that cannot
        // be a device identifier rather than wrap the count.
        0, kMaxReportedSize - 1, CharsAndNul,
        [&](DWORD length) {
            cr = api::CM_Get_Device_IDW(node, buffer.As<WCHAR>(), length + 1, 0);
            return cr == CR_SUCCESS;
        });
    if (step == TwoCall::SizeRefused || step == TwoCall::NoMemory)
        return TraceFailure("LEAVE GetDeviceId", "ERROR GetDeviceId memory allocation");
    if (step != TwoCall::Answered) return TraceFailure("LEAVE GetDeviceId", "ERROR GetDeviceId ", U(cr));
    // Terminated whatever the system wrote.
    buffer.As<WCHAR>()[buffer.Bytes() / sizeof(WCHAR) - 1] = 0;

    *deviceId = buffer.Release<WCHAR>();
    Trace("INFO GetDeviceId ", *deviceId);
    Trace("LEAVE GetDeviceId");
    return true;
}

bool GetDeviceId(const WCHAR *lpDevID, GUID interfaceClass, WString &interfacePath) {
    Trace("ENTER GetDeviceId");
    if (lpDevID == nullptr) return TraceFailure("LEAVE GetDeviceId", "ERROR GetDeviceId lpDevID invalid");
    Trace("INFO GetDeviceId lpDevID ", lpDevID);

    CInterfaceWalk walk(&interfaceClass, DetailSize::Fixed, DetailFloor::AnySize, FetchRequired::Yes);
    if (!walk.IsOpen())
        return TraceFailure("LEAVE GetDeviceId", "ERROR GetDeviceId SetupDiGetClassDevs ", U(os::GetLastError()));

    WCHAR id[kDeviceIdChars];
    const WStringView wanted(lpDevID);
    bool found = false;
    while (!found && walk.Next()) {
        if (walk.Step() != InterfaceStep::Fetched) continue;

        std::memset(id, 0, sizeof id);
        if (api::CM_Get_Device_IDW(walk.Device()->DevInst, id, kDeviceIdChars, 0) != CR_SUCCESS) continue;
        // Reported as read but nothing written: no device has an empty
        // identifier, so it matches nothing (not even an empty lpDevID).
        if (id[0] == 0) continue;
        // Letter case matters here: identifiers are compared as given.
        if (WStringView(id, wstr::LenBounded(id, kDeviceIdChars)) != wanted) continue;

        interfacePath.assign(walk.Path());
        Trace("INFO GetDeviceId ", interfacePath);
        found = true;
    }

    Trace("LEAVE GetDeviceId");
    return found;
}

bool GetDevicePath(HANDLE device, const GUID &interfaceClass, WCHAR **path, SP_DEVINFO_DATA *deviceInfo,
                   STORAGE_DEVICE_NUMBER *number) {
    *path = nullptr;
    Trace("ENTER GetDevicePath");

    const DWORD target = GetDeviceNumber(device, number);
    if (target == 0xFFFFFFFF) {
        Trace("LEAVE GetDevicePath");
        return false;
    }

    CInterfaceWalk walk(&interfaceClass, DetailSize::SuccessOrFail122, DetailFloor::AnySize, FetchRequired::Yes);
    if (!walk.IsOpen()) return TraceFailure("LEAVE GetDevicePath", "ERROR GetDevicePath not found");

    while (walk.Next()) {
        if (walk.Step() == InterfaceStep::NoDetailBlock)
            return TraceFailure("LEAVE GetDevicePath", "ERROR GetDevicePath obtaining device detail");
        if (walk.Step() != InterfaceStep::Fetched) continue;

        const WString pathText(walk.Path());
        DWORD found = 0xFFFFFFFF;
        HANDLE handle = api::CreateFileW(pathText.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr) {
            CAutoFreeHandle handleHolder(handle);
            found = GetDeviceNumber(handle, nullptr);
        }
        if (found != target) continue;

        WCHAR *copy = wstr::DupCalloc(pathText.c_str());
        if (copy == nullptr) {
            Trace("LEAVE GetDevicePath");
            return false;
        }
        *path = copy;
        if (deviceInfo != nullptr) *deviceInfo = *walk.Device();
        Trace("INFO GetDevicePath ", *path);
        Trace("LEAVE GetDevicePath");
        return true;
    }

    return TraceFailure("LEAVE GetDevicePath", "ERROR GetDevicePath not found");
}

BYTE *GetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD expectedType, DWORD property) {
    Trace("ENTER GetDeviceRegistryProperty ", U(property));

    CQueryBlock buffer;
    DWORD type = 0;
    TwoCall step = SetupDiQueryProperty(buffer, set, device, property, &type, kMaxReportedSize, PropertyBlockBytes);
    if (step == TwoCall::Answered && type != expectedType) step = TwoCall::Failed;
    if (step == TwoCall::Answered) {
        Trace("LEAVE GetDeviceRegistryProperty");
        return buffer.Release<BYTE>();
    }
    if (step == TwoCall::SizeRefused || step == TwoCall::NoMemory)
        Trace("ERROR GetDeviceRegistryProperty memory allocation");
    else if (step != TwoCall::Nothing)  // on a type mismatch, whatever the last error is then
        Trace("ERROR GetDeviceRegistryProperty ", U(os::GetLastError()));
    Trace("LEAVE GetDeviceRegistryProperty");
    return nullptr;
}

bool CDeviceInfo::GetDevicePropertyFromInterfaceInstance(const WCHAR *interfacePath, const GUID *interfaceClass,
                                                         SP_DEVINFO_DATA *device, WString &enumeratorName,
                                                         WString &classGuid, WString &compatibleIdClass) {
    Trace("ENTER GetDevicePropertyFromInterfaceInstance ", interfacePath);

    SP_DEVINFO_DATA local;
    if (device == nullptr) device = &local;
    InitDevInfo(device);

    bool result = false;
    {
        CInterfaceWalk walk(interfaceClass, DetailSize::SuccessOrFail122, DetailFloor::AnySize, FetchRequired::Yes);
        // Longer than any path a detail block can hold, so a cut never matches.
        const WStringView wanted = wstr::ViewBounded(interfacePath, kMaxInterfaceDetailBytes);

        while (!result && walk.Next()) {
            if (walk.Step() == InterfaceStep::SizeFailed)
                Trace("ERROR GetDevicePropertyFromInterfaceInstance SetupDiGetDeviceInterfaceDetail",
                      S(static_cast<int32_t>(walk.Error())));
            else if (walk.Step() == InterfaceStep::FetchFailed)
                Trace("ERROR GetDevicePropertyFromInterfaceInstance ", U(walk.Error()));
            if (walk.Step() != InterfaceStep::Fetched || !wstr::EqualNoCase(WStringView(walk.Path()), wanted))
                continue;

            *device = *walk.Device();
            const HDEVINFO set = walk.Set();
            // Each value is released at the end of the statement that reads it.
            m_Manufacturer.Set(ReadString(set, device, REG_SZ, SPDRP_MFG).Get());
            m_Model.Set(ReadString(set, device, REG_SZ, SPDRP_DEVICEDESC).Get());
            enumeratorName.assign(TextOrEmpty(ReadString(set, device, REG_SZ, SPDRP_ENUMERATOR_NAME).Get()));
            classGuid.assign(TextOrEmpty(ReadString(set, device, REG_SZ, SPDRP_CLASSGUID).Get()));
            CAutoFreePtr<WCHAR> compatibleIds = ReadString(set, device, REG_MULTI_SZ, SPDRP_COMPATIBLEIDS);
            if (compatibleIds.Get() != nullptr) compatibleIdClass = CompatibleIdClass(compatibleIds.Get());
            compatibleIds.Free();

            Trace("INFO GetDevicePropertyFromInterfaceInstance m_Manufacturer ", m_Manufacturer.Text());
            Trace("INFO GetDevicePropertyFromInterfaceInstance m_Model ", m_Model.Text());
            Trace("INFO GetDevicePropertyFromInterfaceInstance CompatibleIdClass ", compatibleIdClass);
            result = true;
        }
    }

    // A device that was only passed over is not the caller's to use.
    if (!result) InitDevInfo(device);

    Trace("LEAVE GetDevicePropertyFromInterfaceInstance ", F(result));
    return result;
}

GUID GuidFromString(const WCHAR *text) {
    GUID guid{};
    if (text == nullptr) return guid;

    // "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}": a literal before
    // each field (none between the paired bytes), then the field's width.
    struct Field {
        WCHAR literal;
        int width;
    };
    static constexpr Field kFields[11] = {{'{', 8}, {'-', 4}, {'-', 4}, {'-', 2}, {0, 2}, {'-', 2},
                                          {0, 2},   {0, 2},   {0, 2},   {0, 2},   {0, 2}};
    uint32_t values[11] = {};
    const WCHAR *p = text;
    for (int i = 0; i < 11; ++i) {
        if (kFields[i].literal != 0) {
            if (*p != kFields[i].literal) return GUID{};
            ++p;
        }
        if (!ScanHex(p, kFields[i].width, &values[i])) return GUID{};
    }

    guid.Data1 = values[0];
    guid.Data2 = static_cast<uint16_t>(values[1]);
    guid.Data3 = static_cast<uint16_t>(values[2]);
    for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<uint8_t>(values[3 + i]);
    return guid;
}
