#include "storage/Queries.h"

#include <cstdlib>
#include <cstring>

#include "platform/trace.h"
#include "device/DeviceInfo.h"
#include "platform/api.h"
#include "platform/holders.h"
#include "platform/os.h"
#include "storage/DiskMapping.h"
#include "storage/Volume.h"

namespace {

constexpr DWORD kDescriptorBytes = 1024;
constexpr DWORD kScratchChars = 1024;
constexpr int kMediaTypesAttempts = 8;

// Copies the descriptor string at `offset` into the record field.  `limit` is
// the part of the descriptor that may be read: its Size, never more than the
// bytes the device returned.  A string not terminated within it is cut there;
// trailing blanks are dropped, leading ones kept.
void SetFromDescriptor(CStringValue &field, const BYTE *descriptor, DWORD limit, DWORD offset, char *narrow,
                       WCHAR *wide) {
    if (offset >= limit) return;
    const DWORD room = limit - offset;
    const char *source = reinterpret_cast<const char *>(descriptor + offset);
    const size_t length = strnlen(source, room);
    if (length < room) {
        std::memcpy(narrow, source, length + 1);
    } else {
        std::memcpy(narrow, source, room - 1);
        narrow[room - 1] = 0;
    }

    std::memset(wide, 0, kScratchChars * sizeof(WCHAR));
    os::MultiByteToWideChar(CP_ACP, 0, narrow, -1, wide, static_cast<int>(kScratchChars));
    wide[kScratchChars - 1] = 0;

    size_t end = wstr::Len(wide);
    while (end > 0 && wide[end - 1] == 0x20) wide[--end] = 0;
    field.Set(static_cast<const WCHAR *>(wide));
}

bool HasMediaEntries(const GET_MEDIA_TYPES *media) { return media != nullptr && media->MediaInfoCount != 0; }

}  // namespace

DWORD GetDeviceNumber(HANDLE device, STORAGE_DEVICE_NUMBER *number) {
    Trace("ENTER GetDeviceNumber");
    STORAGE_DEVICE_NUMBER local{};
    STORAGE_DEVICE_NUMBER *answer = number != nullptr ? number : &local;
    *answer = STORAGE_DEVICE_NUMBER{};
    DWORD returned = 0;
    if (!api::DeviceIoControl(device, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, answer, sizeof(*answer),
                              &returned, nullptr)) {
        Trace("ERROR GetDeviceNumber ", U(os::GetLastError()));
        Trace("LEAVE GetDeviceNumber");
        return 0xFFFFFFFF;
    }
    if (returned == sizeof(STORAGE_DEVICE_NUMBER)) {
        Trace("INFO GetDeviceNumber ", U(answer->DeviceNumber));
        Trace("LEAVE GetDeviceNumber");
        return answer->DeviceNumber;
    }
    Trace("LEAVE GetDeviceNumber");
    return 0xFFFFFFFF;
}

GET_MEDIA_TYPES *GetMediaTypes(HANDLE device) {
    Trace("ENTER GetMediaTypes");
    GET_MEDIA_TYPES *media = nullptr;
    DWORD returned = 0;
    DWORD capacity = 1;
    int attempts = 0;
    for (;;) {
        const DWORD size = sizeof(GET_MEDIA_TYPES) + sizeof(DEVICE_MEDIA_INFO) * capacity;
        media = static_cast<GET_MEDIA_TYPES *>(std::calloc(1, size));
        if (media == nullptr) break;
        returned = 0;
        if (api::DeviceIoControl(device, IOCTL_STORAGE_GET_MEDIA_TYPES_EX, nullptr, 0, media, size, &returned,
                                 nullptr)) {
            // Walk no entry the device did not write into this block.
            const DWORD written = returned < size ? returned : size;
            const DWORD held = written < offsetof(GET_MEDIA_TYPES, MediaInfo)
                                   ? 0
                                   : (written - offsetof(GET_MEDIA_TYPES, MediaInfo)) / sizeof(DEVICE_MEDIA_INFO);
            if (media->MediaInfoCount > held) media->MediaInfoCount = held;
            break;
        }
        const DWORD error = os::GetLastError();
        std::free(media);
        media = nullptr;
        if (error != static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) {
            Trace("ERROR GetMediaTypes ", S(static_cast<int32_t>(error)));
            break;
        }
        if (++attempts >= kMediaTypesAttempts) break;
        capacity *= 2;
    }
    Trace("LEAVE GetMediaTypes ", P(media), " ", U(returned));
    return media;
}

bool CDeviceInfo::UseStorageDeviceProperty(HANDLE device) {
    Trace("ENTER UseStorageDeviceProperty ", P(device));
    alignas(STORAGE_DEVICE_DESCRIPTOR) BYTE buffer[kDescriptorBytes] = {};
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    query.AdditionalParameters[0] = 0;
    DWORD returned = 0;
    if (!api::DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), buffer, sizeof(buffer),
                              &returned, nullptr)) {
        return TraceFailure("LEAVE UseStorageDeviceProperty", "ERROR UseStorageDeviceProperty ", U(os::GetLastError()));
    }
    const auto *descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR *>(buffer);
    if (returned == 0 || descriptor->Size > kDescriptorBytes) {
        Trace("LEAVE UseStorageDeviceProperty");
        return false;
    }
    // Strings are read only from bytes that are both inside the descriptor
    // and actually returned.
    const DWORD limit = returned < descriptor->Size ? returned : static_cast<DWORD>(descriptor->Size);

    if (RawDwordField(descriptor, offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType)) == 4)  // BusType1394
        m_Type.Set(FIREWIRE_STORAGE_DEVICE);

    char narrow[kDescriptorBytes];
    WCHAR wide[kScratchChars];
    const struct {
        DWORD offset;
        CStringValue *field;
    } strings[] = {
        {descriptor->SerialNumberOffset, &m_Serial},
        {descriptor->VendorIdOffset, &m_Manufacturer},
        {descriptor->ProductIdOffset, &m_Model},
        {descriptor->ProductRevisionOffset, &m_Version},
    };
    for (const auto &s : strings) {
        if (s.offset != 0) SetFromDescriptor(*s.field, buffer, limit, s.offset, narrow, wide);
    }

    Trace("INFO UseStorageDeviceProperty m_Serial ", m_Serial.Text());
    Trace("INFO UseStorageDeviceProperty m_Manufacturer ", m_Manufacturer.Text());
    Trace("INFO UseStorageDeviceProperty m_Model ", m_Model.Text());
    Trace("INFO UseStorageDeviceProperty m_Version ", m_Version.Text());
    Trace("LEAVE UseStorageDeviceProperty");
    return true;
}

void CDeviceInfo::CheckRemovableFromCM(HANDLE device) {
    Trace("ENTER CheckRemovableFromCM ", P(device));
    DEVINST node = 0;
    if (GetDevInstFromHandle(device, &node)) {
        ULONG status = 0;
        ULONG problem = 0;
        if (api::CM_Get_DevNode_Status(&status, &problem, node, 0) == CR_SUCCESS) {
            if ((status & DN_REMOVABLE) != 0) {
                m_bRemovable = kTriYes;
                Trace("INFO CheckRemovableFromCM m_bRemovable ", S(m_bRemovable));
            } else {
                DEVINST parent = 0;
                ULONG parentStatus = 0;
                ULONG parentProblem = 0;
                if (api::CM_Get_Parent(&parent, node, 0) == CR_SUCCESS &&
                    api::CM_Get_DevNode_Status(&parentStatus, &parentProblem, parent, 0) == CR_SUCCESS &&
                    (parentStatus & DN_REMOVABLE) != 0) {
                    m_bRemovable = kTriYes;
                    Trace("INFO CheckRemovableFromCM (parent) m_bRemovable ", S(m_bRemovable));
                }
            }
        }
    }
    Trace("LEAVE CheckRemovableFromCM");
}

void CDeviceInfo::UseDiskDriveSizeInfo(HANDLE device, GET_MEDIA_TYPES **mediaTypes) {
    Trace("ENTER UseDiskDriveSizeInfo ", P(device));
    *mediaTypes = nullptr;
    if (device == nullptr) return;
    GET_MEDIA_TYPES *media = GetMediaTypes(device);
    *mediaTypes = media;
    if (HasMediaEntries(media)) {
        const auto &disk = media->MediaInfo[0].DeviceSpecific.DiskInfo;
        // The size wraps modulo 2^64 rather than saturating, as the geometry
        // multiplies out.
        const uint64_t sideBytes = static_cast<uint64_t>(disk.BytesPerSector) * static_cast<uint64_t>(disk.NumberMediaSides);
        const uint64_t size = static_cast<uint64_t>(disk.Cylinders.QuadPart) * static_cast<uint64_t>(disk.TracksPerCylinder) *
                              static_cast<uint64_t>(disk.SectorsPerTrack) * sideBytes;
        m_MediaSize.Set(static_cast<int64_t>(size));
        Trace("INFO UseDiskDriveSizeInfo m_MediaSize ", S64(m_MediaSize.Get()));
    }
    Trace("LEAVE UseDiskDriveSizeInfo ");
}

bool CDeviceInfo::UseHDDInfo(HANDLE device) {
    Trace("ENTER UseHDDInfo");
    m_Type.Set(HDD_DEVICE);
    UseStorageDeviceProperty(device);
    m_DeviceID.Set(GetDeviceNumber(device));
    Trace("INFO UseHDDInfo ", U(m_DeviceID.Get()));
    Trace("LEAVE UseHDDInfo");
    return true;
}

bool CDeviceInfo::UseCDROMInfo(HANDLE device) {
    Trace("ENTER UseCDROMInfo ", P(device));
    m_Type.Set(CDROM_DEVICE);
    m_bRemovable = kTriYes;
    m_DeviceID.Set(GetDeviceNumber(device));
    Trace("INFO UseCDROMInfo m_DeviceID ", U(m_DeviceID.Get()));
    if (GetVolumeInformationForHandle(device, m_VolumeName, m_VolumeSerialNumber)) {
        m_Model.Set(m_VolumeName);
        m_Serial.Set(m_VolumeSerialNumber);
        Trace("INFO UseCDROMInfo m_Model ", m_Model.Text());
        Trace("INFO UseCDROMInfo m_Serial ", m_Serial.Text());
    }
    Trace("LEAVE UseCDROMInfo");
    return true;
}

bool CDeviceInfo::UseRemovableDiskStorageInfo(HANDLE device) {
    Trace("ENTER UseRemovableDiskStorageInfo ", P(device));
    m_bRemovable = kTriYes;
    if (!UseStorageDeviceProperty(device))
        return TraceFailure("LEAVE UseRemovableDiskStorageInfo",
                            "ERROR UseRemovableDiskStorageInfo UseStorageDeviceProperty");
    m_DeviceID.Set(GetDeviceNumber(device));
    m_Type.Set(REMOVABLE_STORAGE_DEVICE);
    Trace("INFO UseRemovableDiskStorageInfo m_bRemovable ", S(m_bRemovable));
    Trace("INFO UseRemovableDiskStorageInfo m_DeviceID ", U(m_DeviceID.Get()));
    Trace("INFO UseRemovableDiskStorageInfo m_Type ", S(m_Type.Get()));
    Trace("LEAVE UseRemovableDiskStorageInfo");
    return true;
}
