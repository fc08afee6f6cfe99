#include "storage/Volume.h"

#include <cstdint>
#include <cstring>

#include "platform/trace.h"
#include "device/DeviceInfo.h"
#include "platform/api.h"
#include "platform/os.h"
#include "storage/NumberText.h"

namespace {

constexpr ULONG kObjectNameBytes = 530;
constexpr DWORD kDriveTargetChars = 261;
constexpr DWORD kBootTargetChars = 260;
constexpr DWORD kPathChars = 260;

// The name text of an object name answer held in `buffer`.  The characters
// are taken up to the first NUL, never past the reported Length nor past the
// buffer; a Buffer pointer that does not point into our buffer is not
// followed, and gives no text.
WString NameFromAnswer(const BYTE *buffer, size_t size) {
    OBJECT_NAME_INFORMATION info;
    std::memcpy(&info, buffer, sizeof(info));
    const auto address = reinterpret_cast<uintptr_t>(info.Name.Buffer);
    const auto start = reinterpret_cast<uintptr_t>(buffer);
    if (info.Name.Buffer == nullptr || address < start || address >= start + size) return WString();

    const auto *text = reinterpret_cast<const BYTE *>(buffer) + (address - start);
    size_t chars = (start + size - address) / sizeof(WCHAR);
    const size_t reported = info.Name.Length / sizeof(WCHAR);
    if (reported < chars) chars = reported;

    WString name;
    for (size_t i = 0; i < chars; ++i) {
        WCHAR c;
        std::memcpy(&c, text + i * sizeof(WCHAR), sizeof(WCHAR));  // the answer need not be aligned
        if (c == 0) break;
        name.push_back(c);
    }
    return name;
}

}  // namespace

bool GetObjectNameByHandle(HANDLE device, WString &name) {
    Trace("ENTER GetObjectNameByHandle ", P(device));
    alignas(OBJECT_NAME_INFORMATION) BYTE buffer[kObjectNameBytes] = {};
    ULONG returned = 0;
    const NTSTATUS status = api::NtQueryObject(device, ObjectNameInformation, buffer, sizeof(buffer), &returned);
    if (status != STATUS_SUCCESS)
        return TraceFailure("LEAVE GetObjectNameByHandle ",
                            "ERROR GetObjectNameByHandle NtQueryObject ", U(static_cast<uint32_t>(status)));
    name = NameFromAnswer(buffer, sizeof(buffer));
    Trace("INFO GetObjectNameByHandle ", name);
    Trace("LEAVE GetObjectNameByHandle ");
    return true;
}

bool CDeviceInfo::GetVolumeInformationForMountPoint(const WCHAR *deviceName, WString &vName, WString &vSerialNumber) {
    WCHAR letter = 0;
    for (WCHAR candidate = 'A'; candidate <= 'Z'; ++candidate) {
        const WCHAR drive[3] = {candidate, ':', 0};
        WCHAR target[kDriveTargetChars + 1] = {};  // the spare character keeps any answer terminated
        if (api::QueryDosDeviceW(drive, target, kDriveTargetChars) != 0 && wstr::EqualExact(target, deviceName)) {
            letter = candidate;
            break;
        }
    }
    if (letter == 0)
        return TraceFailure("LEAVE GetVolumeInformationForMountPoint ",
                            "ERROR GetVolumeInformationForMountPoint not found");

    const WCHAR root[4] = {letter, ':', '\\', 0};
    WCHAR label[kPathChars + 1] = {};
    WCHAR fileSystem[kPathChars + 1] = {};
    DWORD serial = 0;
    DWORD maxComponent = 0;
    DWORD flags = 0;
    if (!os::GetVolumeInformationW(root, label, kPathChars, &serial, &maxComponent, &flags, fileSystem, kPathChars))
        return TraceFailure("LEAVE GetVolumeInformationForMountPoint ",
                            "ERROR GetVolumeInformationForMountPoint GetVolumeInformation ", U(os::GetLastError()));

    m_dwVolumeSerial = serial;
    m_bHasDWVolumeSerial = true;
    vSerialNumber = numtext::Hex8Upper(serial);
    vName = WString(label, wstr::LenBounded(label, kPathChars));

    Trace("INFO GetVolumeInformationForMountPoint m_bHasDWVolumeSerial ", F(m_bHasDWVolumeSerial));
    Trace("INFO GetVolumeInformationForMountPoint m_dwVolumeSerial ", U(m_dwVolumeSerial));
    Trace("INFO GetVolumeInformationForMountPoint vSerialNumber ", vSerialNumber);
    Trace("INFO GetVolumeInformationForMountPoint vName ", vName);
    Trace("LEAVE GetVolumeInformationForMountPoint ");
    return true;
}

bool CDeviceInfo::GetVolumeInformationForHandle(HANDLE device, WString &vName, WString &vSerialNumber) {
    Trace("ENTER GetVolumeInformationForHandle ", P(device));
    WString objectName;
    if (!GetObjectNameByHandle(device, objectName))
        return TraceFailure("LEAVE GetVolumeInformationForHandle ",
                            "ERROR GetVolumeInformationForHandle GetObjectNameByHandle");
    if (!GetVolumeInformationForMountPoint(objectName.c_str(), vName, vSerialNumber))
        return TraceFailure("LEAVE GetVolumeInformationForHandle ",
                            "ERROR GetVolumeInformationForHandle GetVolumeInformationForMountPoint");
    Trace("INFO GetVolumeInformationForHandle vName ", vName);
    Trace("INFO GetVolumeInformationForHandle vSerialNumber ", vSerialNumber);
    Trace("LEAVE GetVolumeInformationForHandle ");
    return true;
}

void CDeviceInfo::CheckMediaInserted(HANDLE device) {
    Trace("ENTER CheckMediaInserted ", P(device));
    // Whether a medium is present is not asked of the device; both states
    // start again from not determined, for the dispatch to decide.
    m_bMediaCurrentlyMounted = kTriUnknown;
    m_bRemovable = kTriUnknown;
    Trace("INFO CheckMediaInserted m_bMediaCurrentlyMounted ", S(kTriUnknown));
    Trace("INFO CheckMediaInserted m_bRemovable ", S(m_bRemovable));
    Trace("LEAVE CheckMediaInserted ");
}

void CDeviceInfo::CheckBootDrive(HANDLE device) {
    Trace("ENTER CheckBootDrive ", P(device));
    m_bBootDrive = false;
    Trace("INFO CheckBootDrive m_bBootDrive ", F(m_bBootDrive));

    WCHAR drive[kPathChars + 1] = {};  // the spare character keeps any answer terminated
    const UINT length = api::GetWindowsDirectoryW(drive, kPathChars);
    if (length == 0 || length > kPathChars || drive[1] != ':') {
        std::memset(drive, 0, sizeof(drive));
        size_t required = 0;
        os::WGetEnv(&required, drive, kPathChars, WS("SystemDrive"));
        drive[kPathChars] = 0;
        if (drive[1] != ':') {
            Trace("LEAVE CheckBootDrive ");
            return;
        }
    }
    drive[2] = 0;

    WCHAR target[kBootTargetChars + 1] = {};
    if (api::QueryDosDeviceW(drive, target, kBootTargetChars) == 0) {
        Trace("LEAVE CheckBootDrive ");
        return;
    }

    WString objectName;
    if (GetObjectNameByHandle(device, objectName)) {
        m_bBootDrive = wstr::EqualNoCase(objectName.c_str(), target);
        Trace("INFO CheckBootDrive m_bBootDrive ", F(m_bBootDrive));
    }
    Trace("LEAVE CheckBootDrive ");
}
