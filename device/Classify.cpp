#include "device/Classify.h"

#include <cstring>

#include "platform/trace.h"
#include "device/Properties.h"
#include "platform/api.h"
#include "platform/guids.h"
#include "platform/holders.h"
#include "platform/os.h"
#include "platform/setupdi.h"

namespace {

enum class Condition { None, IsUsbPrinterClass, IsNotWpdFileSystem };

struct TypeRule {
    const GUID *classGuid;
    Condition condition;
    int32_t type;
};

// The first rule that applies decides; anything else is UNKNOWN_DEVICE.
constexpr TypeRule kTypeRules[] = {
    {&guids::kDevClassImage, Condition::None, IMAGING_DEVICE},
    {&guids::kDevClassUsb, Condition::IsUsbPrinterClass, USB_PRINTER_DEVICE},
    {&guids::kDevClassUsb, Condition::None, USB_DEVICE},
    {&guids::kDevClassBluetooth, Condition::None, BLUETOOTH_DEVICE},
    {&guids::kDevClassBluetooth2, Condition::None, BLUETOOTH_DEVICE},
    {&guids::kDevClassSmartCardReader, Condition::None, SMART_CARD_READER_DEVICE},
    {&guids::kDevClassModem, Condition::None, MODEM_DEVICE},
    {&guids::kDevClassPorts, Condition::None, PORT_DEVICE},
    {&guids::kDevClassWpd, Condition::IsNotWpdFileSystem, PORTABLE_DEVICE},
    {&guids::kDevClassMedia, Condition::None, MEDIA_DEVICE},
    {&guids::kDevClassFloppyDisk, Condition::None, FLOPPY_DEVICE},
};

bool Holds(Condition condition, const WCHAR *compatibleIdClass) {
    switch (condition) {
    case Condition::None:
        return true;
    case Condition::IsUsbPrinterClass:
        return wstr::EqualNoCase(compatibleIdClass, WS("USB\\Class_07"));
    case Condition::IsNotWpdFileSystem:
        // The file-system function of a portable device is left unclassified.
        return !wstr::EqualNoCase(compatibleIdClass, WS("wpdbusenum\\fs"));
    }
    return false;
}

}  // namespace

bool CDeviceInfo::UseDriveInfo(const WCHAR *interfacePath, const GUID *interfaceClass) {
    Trace("ENTER UseDriveInfo ", interfacePath);
    m_Type.Set(UNKNOWN_DEVICE);

    // Paths in the NT object form "\??\" are looked up in the Win32 form "\\?\".
    WString path(interfacePath != nullptr ? interfacePath : WS(""));
    if (wstr::PrefixNoCase(path.c_str(), WS("\\??"), 3)) path[1] = WCHAR('\\');

    SP_DEVINFO_DATA device;
    std::memset(&device, 0, sizeof device);
    WString enumeratorName, classGuid, compatibleIdClass;
    bool result = GetDevicePropertyFromInterfaceInstance(path.c_str(), interfaceClass, &device, enumeratorName,
                                                         classGuid, compatibleIdClass);
    const bool nodeKnown = result;

    if (result && !classGuid.empty()) {
        Trace("INFO UseDriveInfo ClassGuid ", classGuid);
        Trace("INFO UseDriveInfo CompatibleIdClass ", compatibleIdClass);
        const int32_t type = GetNonStorageDeviceType(classGuid.c_str(), compatibleIdClass.c_str());
        m_Type.Set(type);
        Trace("INFO UseDriveInfo m_Type ", S(type));
        SetNonStorageDeviceSubType(device.DevInst);
        if (!enumeratorName.empty() && wstr::EqualNoCase(enumeratorName.c_str(), WS("USB")) &&
            type != UNKNOWN_DEVICE && type != USB_DEVICE) {
            Trace("INFO UseDriveInfo GetUSBDevicePropertyFromUSBHub");
            GetUSBDevicePropertyFromUSBHub(device);
        }
    } else {
        Trace("INFO UseDriveInfo ClassGuid.IsEmpty");
    }

    if (m_Type.Get() == UNKNOWN_DEVICE) {
        Trace("ERROR UseDriveInfo UNKNOWN_DEVICE");
        result = false;
    }

    // Without a device node there is no identifier to read; the result is
    // already false then.
    if (nodeKnown && !SetUniqueDeviceId(device.DevInst)) {
        Trace("ERROR UseDriveInfo SetUniqueDeviceId");
        result = false;
    }

    Trace("INFO UseDriveInfo DUMP");
    Dump(false);
    Trace("LEAVE UseDriveInfo ", F(result));
    return result;
}

int32_t GetNonStorageDeviceType(const WCHAR *classGuid, const WCHAR *compatibleIdClass) {
    Trace("ENTER GetNonStorageDeviceType ", classGuid, " ", compatibleIdClass);
    const GUID guid = GuidFromString(classGuid);

    int32_t type = UNKNOWN_DEVICE;
    for (const TypeRule &rule : kTypeRules) {
        if (guids::Equal(guid, *rule.classGuid) && Holds(rule.condition, compatibleIdClass)) {
            type = rule.type;
            break;
        }
    }

    Trace("LEAVE GetNonStorageDeviceType ", U(static_cast<uint32_t>(type)));
    return type;
}

void CDeviceInfo::SetNonStorageDeviceSubType(DEVINST node) {
    if (m_Type.IsSet() && m_Type.Get() == IMAGING_DEVICE) {
        m_SubType.Set(IsInterfaceSupportedByDevice(guids::kKsCategoryVideo, node) ? IMAGING_SUBTYPE_VIDEO
                                                                                   : IMAGING_SUBTYPE_OTHER);
    }
    Trace("INFO SetNonStorageDeviceSubType m_SubType ", S(m_SubType.IsSet() ? m_SubType.Get() : -1));
    Trace("LEAVE SetNonStorageDeviceSubType");
}

bool IsInterfaceSupportedByDevice(const GUID &interfaceClass, DEVINST node) {
    Trace("ENTER IsInterfaceSupportedByDevice ", U(node));

    WCHAR *deviceId = nullptr;
    CAutoFree<WCHAR> deviceIdHolder(&deviceId);
    if (!GetDeviceId(node, &deviceId))
        return TraceFailure("LEAVE IsInterfaceSupportedByDevice", "ERROR IsInterfaceSupportedByDevice GetDeviceId");

    HDEVINFO set = api::SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return TraceFailure("LEAVE IsInterfaceSupportedByDevice",
                            "ERROR IsInterfaceSupportedByDevice ", U(os::GetLastError()));
    CReleaseGuard setGuard(CReleaseGuard::DestroyDeviceInfoList, set);

    SP_DEVINFO_DATA member;
    std::memset(&member, 0, sizeof member);
    member.cbSize = sizeof(SP_DEVINFO_DATA);
    for (DWORD index = 0; index < kMaxSetMembers; ++index) {
        if (!api::SetupDiEnumDeviceInfo(set, index, &member)) break;
        WCHAR *memberId = nullptr;
        CAutoFree<WCHAR> memberIdHolder(&memberId);
        if (GetDeviceId(member.DevInst, &memberId) && wstr::EqualNoCase(memberId, deviceId)) {
            Trace("INFO IsInterfaceSupportedByDevice TRUE");
            Trace("LEAVE IsInterfaceSupportedByDevice");
            return true;
        }
    }

    return TraceFailure("LEAVE IsInterfaceSupportedByDevice", "ERROR IsInterfaceSupportedByDevice not found");
}

bool CDeviceInfo::GetUSBDevicePropertyFromUSBHub(const SP_DEVINFO_DATA &device) {
    Trace("ENTER GetUSBDevicePropertyFromUSBHub");

    WCHAR *instanceId = nullptr;
    WCHAR *hubPath = nullptr;
    CAutoFree<WCHAR> instanceIdHolder(&instanceId);
    CAutoFree<WCHAR> hubPathHolder(&hubPath);

    bool result = false;
    if (GetUSBDeviceHubPath(device.DevInst, &instanceId, &hubPath)) {
        m_bRemovable = kTriYes;
        Trace("INFO GetUSBDevicePropertyFromUSBHub m_bRemovable ", U(m_bRemovable));
        result = GetUSBDeviceInfo(hubPath, instanceId);
    }

    Trace("LEAVE GetUSBDevicePropertyFromUSBHub ", F(result));
    return result;
}

bool CDeviceInfo::SetUniqueDeviceId(DEVINST node) {
    Trace("ENTER SetUniqueDeviceId");

    WCHAR *deviceId = nullptr;
    CAutoFree<WCHAR> holder(&deviceId);
    if (!GetDeviceId(node, &deviceId)) return TraceFailure("LEAVE SetUniqueDeviceId", "ERROR SetUniqueDeviceId");

    m_UniqueDeviceID.assign(deviceId);
    holder.Free();
    Trace("LEAVE SetUniqueDeviceId");
    return true;
}
