#include "device/Properties.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "app/log.h"
#include "device/DeviceInfo.h"
#include "platform/api.h"
#include "platform/holders.h"
#include "platform/os.h"
#include "platform/setupdi.h"
#include "storage/Queries.h"

namespace {

constexpr DWORD kInterfaceSetFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

// Sizes the system asks us to allocate beyond this are refused like a failed
// allocation; no path, identifier or property comes anywhere near it.
constexpr DWORD kMaxReportedSize = 0x100000;

// The fixed buffers of the identifier lookup.
constexpr DWORD kDetailBufferBytes = 1040;
constexpr ULONG kDeviceIdChars = 1040;

constexpr size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

// The DevicePath of a detail block of `bytes` bytes, never read past the block
// even when the system left it unterminated.
WStringView DetailPath(const void *detail, size_t bytes) {
    if (bytes <= kPathOffset) return {};
    const auto *path = reinterpret_cast<const WCHAR *>(static_cast<const BYTE *>(detail) + kPathOffset);
    return WStringView(path, wstr::LenBounded(path, (bytes - kPathOffset) / sizeof(WCHAR)));
}

HDEVINFO OpenInterfaceSet(const GUID *interfaceClass) {
    return api::SetupDiGetClassDevsW(interfaceClass, nullptr, nullptr, kInterfaceSetFlags);
}

void InitDevInfo(SP_DEVINFO_DATA *device) {
    std::memset(device, 0, sizeof *device);
    device->cbSize = sizeof(SP_DEVINFO_DATA);
}

void InitInterfaceData(SP_DEVICE_INTERFACE_DATA *data) {
    std::memset(data, 0, sizeof *data);
    data->cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
}

// The first entry of a REG_MULTI_SZ list, cut before its first "&".
WString CompatibleIdClass(const WCHAR *list) {
    WString first(list);
    size_t amp = first.find(WCHAR('&'));
    if (amp != WString::npos) first.resize(amp);
    return first;
}

bool IsScanSpace(WCHAR c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

int HexValue(WCHAR c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One %Nx conversion: optional white space, then 1 to `width` hex digits.
bool ScanHex(const WCHAR *&p, int width, uint32_t *value) {
    while (IsScanSpace(*p)) ++p;
    uint32_t v = 0;
    int digits = 0;
    for (; digits < width; ++digits, ++p) {
        int h = HexValue(*p);
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

    ULONG length = 0;
    CONFIGRET cr = api::CM_Get_Device_ID_Size(&length, node, 0);
    if (cr != CR_SUCCESS) {
        Trace("ERROR GetDeviceId ", U(cr));
        Trace("LEAVE GetDeviceId");
        return false;
    }

    // The reported length is the system's word: refuse one that cannot be a
    // device identifier rather than wrap the count.
    WCHAR *buffer = length < kMaxReportedSize
                        ? static_cast<WCHAR *>(std::calloc(static_cast<size_t>(length) + 1, sizeof(WCHAR)))
                        : nullptr;
    if (buffer == nullptr) {
        Trace("ERROR GetDeviceId memory allocation");
        Trace("LEAVE GetDeviceId");
        return false;
    }
    CAutoFree<WCHAR> holder(&buffer);

    cr = api::CM_Get_Device_IDW(node, buffer, length + 1, 0);
    if (cr != CR_SUCCESS) {
        Trace("ERROR GetDeviceId ", U(cr));
        Trace("LEAVE GetDeviceId");
        return false;
    }
    buffer[length] = 0;  // terminated whatever the system wrote

    holder.m_bDetached = true;
    *deviceId = buffer;
    Trace("INFO GetDeviceId ", *deviceId);
    Trace("LEAVE GetDeviceId");
    return true;
}

bool GetDeviceId(const WCHAR *lpDevID, GUID interfaceClass, WString &interfacePath) {
    Trace("ENTER GetDeviceId");
    if (lpDevID == nullptr) {
        Trace("ERROR GetDeviceId lpDevID invalid");
        Trace("LEAVE GetDeviceId");
        return false;
    }
    Trace("INFO GetDeviceId lpDevID ", lpDevID);

    HDEVINFO set = OpenInterfaceSet(&interfaceClass);
    if (set == INVALID_HANDLE_VALUE) {
        Trace("ERROR GetDeviceId SetupDiGetClassDevs ", U(os::GetLastError()));
        Trace("LEAVE GetDeviceId");
        return false;
    }
    CReleaseGuard setGuard(CReleaseGuard::DestroyDeviceInfoList, set);

    union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_W header;
        BYTE bytes[kDetailBufferBytes];
    } detail;
    WCHAR id[kDeviceIdChars];
    const WStringView wanted(lpDevID);

    bool found = false;
    for (DWORD index = 0; index < kMaxSetMembers && !found; ++index) {
        SP_DEVICE_INTERFACE_DATA data;
        InitInterfaceData(&data);
        if (!api::SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &data)) break;

        std::memset(&detail, 0, sizeof detail);
        detail.header.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device;
        InitDevInfo(&device);
        DWORD required = 0;
        if (!api::SetupDiGetDeviceInterfaceDetailW(set, &data, &detail.header, kDetailBufferBytes, &required,
                                                   &device))
            continue;

        std::memset(id, 0, sizeof id);
        if (api::CM_Get_Device_IDW(device.DevInst, id, kDeviceIdChars, 0) != CR_SUCCESS) continue;
        // Reported as read but nothing written: no device has an empty
        // identifier, so it matches nothing (not even an empty lpDevID).
        if (id[0] == 0) continue;
        // Letter case matters here: identifiers are compared as given.
        if (WStringView(id, wstr::LenBounded(id, kDeviceIdChars)) != wanted) continue;

        interfacePath.assign(DetailPath(&detail, sizeof detail));
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

    HDEVINFO set = OpenInterfaceSet(&interfaceClass);
    if (set == INVALID_HANDLE_VALUE) {
        Trace("ERROR GetDevicePath not found");
        Trace("LEAVE GetDevicePath");
        return false;
    }
    CReleaseGuard setGuard(CReleaseGuard::DestroyDeviceInfoList, set);

    for (DWORD index = 0; index < kMaxSetMembers; ++index) {
        SP_DEVICE_INTERFACE_DATA data;
        InitInterfaceData(&data);
        if (!api::SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &data)) break;

        DWORD required = 0;
        if (!api::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr) &&
            os::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            continue;

        DWORD usable = 0;
        SP_DEVICE_INTERFACE_DETAIL_DATA_W *detail = AllocInterfaceDetail(required, &usable);
        if (detail == nullptr) {
            Trace("ERROR GetDevicePath obtaining device detail");
            Trace("LEAVE GetDevicePath");
            return false;
        }
        CAutoFree<SP_DEVICE_INTERFACE_DETAIL_DATA_W> detailHolder(&detail);

        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (deviceInfo != nullptr) InitDevInfo(deviceInfo);
        if (!api::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, usable, &required, deviceInfo)) continue;

        const WStringView devicePath = DetailPath(detail, usable);
        const WString pathText(devicePath);
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
        Trace("INFO GetDevicePath ", *path);
        Trace("LEAVE GetDevicePath");
        return true;
    }

    Trace("ERROR GetDevicePath not found");
    Trace("LEAVE GetDevicePath");
    return false;
}

BYTE *GetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD expectedType, DWORD property) {
    Trace("ENTER GetDeviceRegistryProperty ", U(property));

    DWORD required = 0;
    if (api::SetupDiGetDeviceRegistryPropertyW(set, device, property, nullptr, nullptr, 0, &required)) {
        Trace("LEAVE GetDeviceRegistryProperty");
        return nullptr;
    }
    if (os::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        Trace("ERROR GetDeviceRegistryProperty ", U(os::GetLastError()));
        Trace("LEAVE GetDeviceRegistryProperty");
        return nullptr;
    }

    // Room for two NUL characters after the value, at an even offset: a
    // string or string list the system left unterminated still ends inside
    // the block, so callers may read it as a C string.
    BYTE *buffer = nullptr;
    if (required <= kMaxReportedSize) {
        size_t even = (static_cast<size_t>(required) + 1) & ~static_cast<size_t>(1);
        buffer = static_cast<BYTE *>(std::calloc(even + 2 * sizeof(WCHAR), 1));
    }
    if (buffer == nullptr) {
        Trace("ERROR GetDeviceRegistryProperty memory allocation");
        Trace("LEAVE GetDeviceRegistryProperty");
        return nullptr;
    }
    CAutoFree<BYTE> holder(&buffer);

    DWORD type = 0;
    if (api::SetupDiGetDeviceRegistryPropertyW(set, device, property, &type, buffer, required, nullptr) &&
        type == expectedType) {
        Trace("LEAVE GetDeviceRegistryProperty");
        holder.m_bDetached = true;
        return buffer;
    }

    Trace("ERROR GetDeviceRegistryProperty ", U(os::GetLastError()));
    holder.Free();
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
    HDEVINFO set = OpenInterfaceSet(interfaceClass);
    if (set != INVALID_HANDLE_VALUE) {
        CReleaseGuard setGuard(CReleaseGuard::DestroyDeviceInfoList, set);
        // Longer than any path a detail block can hold, so a cut never matches.
        const WStringView wanted = wstr::ViewBounded(interfacePath, kMaxInterfaceDetailBytes);

        for (DWORD index = 0; index < kMaxSetMembers && !result; ++index) {
            SP_DEVICE_INTERFACE_DATA data;
            InitInterfaceData(&data);
            if (!api::SetupDiEnumDeviceInterfaces(set, nullptr, interfaceClass, index, &data)) break;

            DWORD required = 0;
            if (!api::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr)) {
                DWORD error = os::GetLastError();
                if (error != ERROR_INSUFFICIENT_BUFFER) {
                    Trace("ERROR GetDevicePropertyFromInterfaceInstance SetupDiGetDeviceInterfaceDetail",
                          S(static_cast<int32_t>(error)));
                    continue;
                }
            }

            DWORD usable = 0;
            SP_DEVICE_INTERFACE_DETAIL_DATA_W *detail = AllocInterfaceDetail(required, &usable);
            if (detail == nullptr) continue;
            CAutoFree<SP_DEVICE_INTERFACE_DETAIL_DATA_W> detailHolder(&detail);

            InitDevInfo(device);
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (!api::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, usable, &required, device)) {
                Trace("ERROR GetDevicePropertyFromInterfaceInstance ", U(os::GetLastError()));
                continue;
            }

            if (!wstr::EqualNoCase(DetailPath(detail, usable), wanted)) continue;

            auto readString = [&](DWORD type, DWORD property) {
                return CAutoFreePtr<WCHAR>(
                    reinterpret_cast<WCHAR *>(GetDeviceRegistryProperty(set, device, type, property)));
            };
            {
                auto value = readString(REG_SZ, SPDRP_MFG);
                m_Manufacturer.Set(value.Get());
            }
            {
                auto value = readString(REG_SZ, SPDRP_DEVICEDESC);
                m_Model.Set(value.Get());
            }
            {
                auto value = readString(REG_SZ, SPDRP_ENUMERATOR_NAME);
                enumeratorName.assign(value.Get() != nullptr ? value.Get() : WS(""));
            }
            {
                auto value = readString(REG_SZ, SPDRP_CLASSGUID);
                classGuid.assign(value.Get() != nullptr ? value.Get() : WS(""));
            }
            {
                auto value = readString(REG_MULTI_SZ, SPDRP_COMPATIBLEIDS);
                if (value.Get() != nullptr) compatibleIdClass = CompatibleIdClass(value.Get());
            }

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
