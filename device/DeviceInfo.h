// The device information record: everything learnt about one device.
//
// A record is constructed empty, filled by exactly one classification (by
// interface path or by open handle), dumped to the session log, and then kept
// or destroyed by its owner.  The probing operations that fill it are
// operations of CDeviceInfo, implemented beside the subsystem they belong to
// (device/, storage/, usb/).
#pragma once

#include <cstdint>
#include <cstdlib>

#include "platform/win32.h"
#include "platform/wstr.h"

// An optional value: a value never learnt is distinguishable from any real one.
template <typename T>
class CValue {
public:
    CValue() = default;
    CValue(const CValue &) = delete;
    CValue &operator=(const CValue &) = delete;
    virtual ~CValue() { Reset(); }

    virtual void Set(const T &value) {
        Reset();
        m_value = value;
        m_bSet = true;
    }
    virtual void Reset() { m_bSet = false; }

    bool IsSet() const { return m_bSet; }
    const T &Get() const { return m_value; }

private:
    bool m_bSet = false;
    T m_value{};
};

// The wide-string instantiation holds a private heap copy of the text.  A
// null value, or a copy that could not be allocated, leaves the holder set
// with no text.
template <>
class CValue<WCHAR *> {
public:
    CValue() = default;
    CValue(const CValue &) = delete;
    CValue &operator=(const CValue &) = delete;
    virtual ~CValue() { Reset(); }

    virtual void Set(const WCHAR *value) {
        Reset();
        m_value = value != nullptr ? wstr::DupCalloc(value) : nullptr;
        m_bSet = true;
    }
    void Set(const WString &value) { Set(value.c_str()); }
    virtual void Reset() {
        if (!m_bSet) return;
        std::free(m_value);
        m_value = nullptr;
        m_bSet = false;
    }

    bool IsSet() const { return m_bSet; }
    const WCHAR *Get() const { return m_value; }
    // The text as trace lines and the dump write it: nothing when unset.
    const WCHAR *Text() const { return m_bSet ? m_value : nullptr; }

private:
    bool m_bSet = false;
    WCHAR *m_value = nullptr;
};

using CStringValue = CValue<WCHAR *>;

enum DeviceInfoType : int32_t {
    HDD_DEVICE = 0,
    UNKNOWN_DEVICE = 1,
    FIREWIRE_STORAGE_DEVICE = 256,
    REMOVABLE_STORAGE_DEVICE = 257,
    SD_CARD_DEVICE = 258,
    CDROM_DEVICE = 259,
    IMAGING_DEVICE = 512,
    USB_PRINTER_DEVICE = 513,
    BLUETOOTH_DEVICE = 514,
    SMART_CARD_READER_DEVICE = 515,
    USB_DEVICE = 516,
    MODEM_DEVICE = 517,
    PORT_DEVICE = 518,
    PORTABLE_DEVICE = 519,
    MEDIA_DEVICE = 520,
    FLOPPY_DEVICE = 521,
};

enum ImagingSubType : int32_t {
    IMAGING_SUBTYPE_OTHER = 0,
    IMAGING_SUBTYPE_VIDEO = 1,
};

// Tri-state bytes: 0 no, 1 yes, 2 not determined.
constexpr uint8_t kTriNo = 0;
constexpr uint8_t kTriYes = 1;
constexpr uint8_t kTriUnknown = 2;

class CDeviceInfo {
public:
    CDeviceInfo() = default;
    CDeviceInfo(const CDeviceInfo &) = delete;
    CDeviceInfo &operator=(const CDeviceInfo &) = delete;
    virtual ~CDeviceInfo() = default;

    bool IsStorageDevice() const;
    // Writes the record's lines; the caller has written the header line.
    void Dump(bool withBootDrive) const;

    // Classification by device node (device/Classify.cpp).
    bool UseDriveInfo(const WCHAR *interfacePath, const GUID *interfaceClass);
    void SetNonStorageDeviceSubType(DEVINST node);
    bool GetUSBDevicePropertyFromUSBHub(const SP_DEVINFO_DATA &device);
    bool SetUniqueDeviceId(DEVINST node);

    // Classification by open handle (device/ClassifyHandle.cpp).
    bool UseDriveInfo(HANDLE device);

    // Property access (device/Properties.cpp).
    bool GetDevicePropertyFromInterfaceInstance(const WCHAR *interfacePath, const GUID *interfaceClass,
                                                SP_DEVINFO_DATA *device, WString &enumeratorName,
                                                WString &classGuid, WString &compatibleIdClass);

    // Disk drive dispatch (storage/Dispatch.cpp).
    bool UseDiskDriveInfo(HANDLE device, const WCHAR *devicePath, const GUID *interfaceClass);

    // Storage queries (storage/Queries.cpp).
    bool UseHDDInfo(HANDLE device);
    bool UseStorageDeviceProperty(HANDLE device);
    bool UseCDROMInfo(HANDLE device);
    bool UseRemovableDiskStorageInfo(HANDLE device);
    void CheckRemovableFromCM(HANDLE device);
    void UseDiskDriveSizeInfo(HANDLE device, GET_MEDIA_TYPES **mediaTypes);

    // SD cards (storage/SdCard.cpp).
    bool UseSDCardInfo(HANDLE device);

    // Volume, media and boot state (storage/Volume.cpp).
    bool GetVolumeInformationForMountPoint(const WCHAR *deviceName, WString &vName, WString &vSerialNumber);
    bool GetVolumeInformationForHandle(HANDLE device, WString &vName, WString &vSerialNumber);
    void CheckMediaInserted(HANDLE device);
    void CheckBootDrive(HANDLE device);

    // USB hub topology (usb/HubTopology.cpp).
    bool GetUSBDevicePath(HANDLE device, const GUID *interfaceClass, WCHAR **lpszDevicePath,
                          WCHAR **lpszInstancePath, WCHAR **lpszDeviceHubPath, STORAGE_DEVICE_NUMBER *number);
    bool GetUSBDeviceHubPath(DEVINST node, WCHAR **instanceId, WCHAR **hubPath);

    // USB descriptors (usb/Descriptors.cpp).
    bool UseUSBDeviceInfo(HANDLE device, const GUID *interfaceClass);
    bool GetUSBDeviceInfo(const WCHAR *hubPath, const WCHAR *instanceId);

    // Fields, in declaration order.
    CValue<int32_t> m_Type;
    CValue<int32_t> m_SubType;
    CStringValue m_Manufacturer;
    CStringValue m_Model;
    CStringValue m_Version;
    CStringValue m_Serial;
    CValue<int64_t> m_MediaSize;
    CValue<uint32_t> m_DeviceID;
    WString m_VolumeName;
    WString m_VolumeSerialNumber;
    DWORD m_dwVolumeSerial = 0;
    bool m_bHasDWVolumeSerial = false;
    uint8_t m_bMediaCurrentlyMounted = kTriUnknown;
    uint8_t m_bRemovable = kTriUnknown;
    bool m_bBootDrive = false;
    DEVINST m_HubDevInst = 0xFFFFFFFF;
    DEVINST m_HubChildDevInst = 0xFFFFFFFF;
    WString m_UniqueDeviceID;
};
