#include "platform/trace.h"
#include "device/DeviceInfo.h"
#include "platform/guids.h"
#include "platform/holders.h"
#include "storage/Queries.h"
#include "storage/SdCard.h"

namespace {

constexpr DWORD kMediaFixed = 12;      // MEDIA_TYPE FixedMedia
constexpr DWORD kMediaCdRom = 51;      // STORAGE_MEDIA_TYPE CD_ROM ...
constexpr DWORD kMediaDvdRw = 56;      // ... to DVD_RW: optical media
constexpr size_t kUsbStorPrefixLength = 12;

// GetMediaTypes has already cut MediaInfoCount to the entries the block holds.
template <typename Predicate>
bool AnyMediaType(const GET_MEDIA_TYPES *media, Predicate matches) {
    if (media == nullptr) return false;
    const DEVICE_MEDIA_INFO *entries = media->MediaInfo;
    for (DWORD i = 0; i < media->MediaInfoCount; ++i) {
        if (matches(RawDwordField(&entries[i], offsetof(DEVICE_MEDIA_INFO, DeviceSpecific.DiskInfo.MediaType))))
            return true;
    }
    return false;
}

// The end of a branch: the filler's result, with the dispatch's error line
// when it failed, and the closing line either way.
bool Finish(bool filled, const char *errorLine) {
    if (!filled) Trace(errorLine);
    Trace("LEAVE UseDiskDriveInfo");
    return filled;
}

}  // namespace

bool CDeviceInfo::UseDiskDriveInfo(HANDLE device, const WCHAR *devicePath, const GUID *interfaceClass) {
    Trace("ENTER UseDiskDriveInfo ", P(device));
    if (device == nullptr) return TraceFailure("LEAVE UseDiskDriveInfo", "ERROR UseDiskDriveInfo error hDevice");
    Trace("INFO UseDiskDriveInfo ", P(device));

    GET_MEDIA_TYPES *media = nullptr;
    CAutoFree<GET_MEDIA_TYPES> mediaHolder(&media);  // released on every path
    UseDiskDriveSizeInfo(device, &media);
    CheckMediaInserted(device);
    CheckBootDrive(device);

    if (IsSDCard(device)) {
        Trace("INFO UseDiskDriveInfo IsSDCard");
        mediaHolder.Free();
        UseSDCardInfo(device);
        return Finish(UseRemovableDiskStorageInfo(device), "ERROR UseDiskDriveInfo UseRemovableDiskStorageInfo");
    }

    if (AnyMediaType(media, [](DWORD type) { return type >= kMediaCdRom && type <= kMediaDvdRw; })) {
        Trace("INFO UseDiskDriveInfo IsCDROM");
        mediaHolder.Free();
        return Finish(UseCDROMInfo(device), "ERROR UseDiskDriveInfo UseCDROMInfo");
    }

    if (wstr::PrefixNoCase(devicePath, WS("\\\\?\\usbstor#"), kUsbStorPrefixLength)) {
        Trace("INFO UseDiskDriveInfo USB storage");
        mediaHolder.Free();
        return Finish(UseUSBDeviceInfo(device, interfaceClass), "ERROR UseDiskDriveInfo UseUSBDeviceInfo");
    }

    CheckRemovableFromCM(device);
    if (interfaceClass != nullptr && guids::Equal(*interfaceClass, guids::kDevInterfaceDisk) &&
        m_bRemovable == kTriYes) {
        Trace("INFO UseDiskDriveInfo GUID_DEVINTERFACE_DISK");
        if (UseRemovableDiskStorageInfo(device)) {
            mediaHolder.Free();
            Trace("LEAVE UseDiskDriveInfo");
            return true;
        }
        // The filler wrote its own error; a fixed medium may still be found.
    }

    if (AnyMediaType(media, [](DWORD type) { return type == kMediaFixed; })) {
        Trace("INFO UseDiskDriveInfo UseHDDInfo");
        mediaHolder.Free();
        return Finish(UseHDDInfo(device), "ERROR UseDiskDriveInfo UseHDDInfo");
    }

    return TraceFailure("LEAVE UseDiskDriveInfo", "ERROR UseDiskDriveInfo unknown device");
}
