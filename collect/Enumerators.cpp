#include "collect/Enumerators.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>

#include "platform/trace.h"
#include "platform/trace_labels.h"
#include "collect/Passes.h"
#include "platform/api.h"
#include "platform/guids.h"
#include "platform/holders.h"
#include "platform/os.h"
#include "platform/setupdi.h"
#include "platform/twocall.h"
#include "platform/wstr.h"

namespace {

// FILE_GENERIC_READ | FILE_GENERIC_WRITE
constexpr DWORD kReadWriteAccess = 0x12019F;

constexpr size_t kNameOffset = offsetof(TARSEL_MOUNTDEV_NAME, Name);

// Asks the device for its kernel name into the whole of `answer`.
bool AskMountDeviceName(HANDLE device, CQueryBlock &answer) {
    DWORD returned = 0;
    return api::DeviceIoControl(device, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, nullptr, 0, answer.As<void>(),
                                static_cast<DWORD>(answer.Bytes()), &returned, nullptr) != FALSE;
}

}  // namespace

bool CProcessDeviceByInterface::Enumerate() {
    Trace("ENTER ProcessDevice ");
    bool result = true;

    // The size is the system's word: it must at least hold the header we write.
    CInterfaceWalk walk(m_pInterfaceGuid, DetailSize::SuccessOrFail122, DetailFloor::AtLeastHeader);
    // A set that cannot be opened has nothing to walk, so nothing failed.
    if (!walk.IsOpen()) Trace("ERROR ProcessDevice SetupDiGetClassDevs ", U(os::GetLastError()));
    while (walk.Next()) {
        if (walk.Step() != InterfaceStep::Fetched || !ProcessDevice(walk.Set(), walk.Path(), walk.Device()))
            result = false;
    }

    Trace("LEAVE ProcessDevice ", F(result));
    return result;
}

bool CDeviceEnumeratorByInterface::ProcessDevice(HDEVINFO, const WCHAR *, SP_DEVINFO_DATA *device) {
    if (device == nullptr) return false;
    m_Devices.Add(device->DevInst);
    return true;
}

bool CDeviceEnumeratorByInterface::Enumerate() {
    Clear();
    return CProcessDeviceByInterface::Enumerate();
}

bool CStorageDeviceEnumerator::Enumerate() {
    bool result = true;
    Clear();
    static const GUID *const kStorageInterfaces[] = {&guids::kDevInterfaceDisk, &guids::kDevInterfaceCdrom};
    for (const GUID *interfaceClass : kStorageInterfaces) {
        CDeviceEnumeratorByInterface byInterface(interfaceClass);
        if (!byInterface.Enumerate()) result = false;
        for (int32_t i = 0; i < byInterface.m_Devices.GetSize(); ++i) m_Devices.Add(byInterface.m_Devices[i]);
    }
    return result;
}

CRemovableDeviceEnumerator::CRemovableDeviceEnumerator()
    : CProcessDeviceByInterface(&guids::kHookedDeviceInterface) {}

CRemovableDeviceEnumerator::~CRemovableDeviceEnumerator() {
    Clear();
    m_StorageDevices.Clear();
}

void CRemovableDeviceEnumerator::Clear() {
    for (int32_t i = 0; i < m_Devices.GetSize(); ++i) {
        delete m_Devices[i];
        m_Devices[i] = nullptr;
    }
    delete m_pSystemDevice;
    m_pSystemDevice = nullptr;
    m_Devices.SetSize(0);
}

bool CRemovableDeviceEnumerator::Enumerate() {
    Clear();
    m_pSystemDevice = GetSystemDeviceInfo();
    bool storageResult = m_StorageDevices.Enumerate();
    bool walkResult = CProcessDeviceByInterface::Enumerate();
    return storageResult && walkResult;
}

bool CRemovableDeviceEnumerator::ProcessDevice(HDEVINFO, const WCHAR *devicePath, SP_DEVINFO_DATA *device) {
    Trace("ENTER ProcessDevice ", devicePath);
    bool result = false;

    if (device != nullptr) {
        bool isStorage = false;
        for (int32_t i = 0; i < m_StorageDevices.m_Devices.GetSize(); ++i) {
            if (m_StorageDevices.m_Devices[i] == device->DevInst) {
                isStorage = true;
                break;
            }
        }

        // Owned here until the list takes it: a trace line that cannot be
        // allocated throws through this function.
        std::unique_ptr<CDeviceInfo> record(new (std::nothrow) CDeviceInfo);
        if (record != nullptr) {
            if (!isStorage) {
                result = record->UseDriveInfo(devicePath, m_pInterfaceGuid);
            } else {
                // Disks and CD-ROM drives are classified through their kernel device.
                CAutoFreePtr<WCHAR> kernelName(GetMountDeviceName(devicePath));
                if (kernelName.Get() != nullptr) {
                    HANDLE handle = GetDeviceHandle(kernelName.Get());
                    kernelName.Free();
                    if (handle == INVALID_HANDLE_VALUE) {
                        Trace("ERROR ProcessDevice GetDeviceHandle");
                    } else {
                        CReleaseGuard closeHandle(CReleaseGuard::NtClose, handle);
                        result = record->UseDriveInfo(handle);
                    }
                }
            }

            // Kept: classified, neither a fixed hard disk nor an unclassified
            // device, and not the system disk.
            bool keep = result;
            if (keep && record->m_Type.IsSet() && record->m_Type.Get() < FIREWIRE_STORAGE_DEVICE) keep = false;
            if (keep && IsSystemDisk(record.get(), m_pSystemDevice)) keep = false;
            if (keep) {
                m_Devices.Add(record.get());
                record.release();
            }
        }
    }

    Trace("LEAVE ProcessDevice ", F(result));
    return result;
}

WCHAR *GetMountDeviceName(const WCHAR *devicePath) {
    Trace(tlog::labels::kMountNameEnter);
    if (devicePath == nullptr) {
        Trace(tlog::labels::kMountNameNullPath);
        Trace(tlog::labels::kMountNameLeave);
        return nullptr;
    }
    Trace(tlog::labels::kMountNamePath, devicePath);

    HANDLE handle = api::CreateFileW(devicePath, kReadWriteAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        Trace(tlog::labels::kMountNameCreateFile, U(os::GetLastError()));
        Trace(tlog::labels::kMountNameLeave);
        return nullptr;
    }

    WCHAR *result = nullptr;
    {
        CAutoFreeHandle handleHolder(handle);
        CQueryBlock answer;
        DWORD error = 0;
        bool ok = false;
        // No request is sent when not even the header can be allocated.
        if (answer.Zeroed(sizeof(TARSEL_MOUNTDEV_NAME)) != nullptr) {
            const TwoCall step = QueryTwice(
                answer,
                [&](DWORD *size) {
                    if (AskMountDeviceName(handle, answer)) return SizeAnswer::Nothing;
                    error = os::GetLastError();
                    const USHORT nameLength = answer.As<TARSEL_MOUNTDEV_NAME>()->NameLength;
                    *size = static_cast<DWORD>(kNameOffset + nameLength + sizeof(WCHAR));
                    const bool more = error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_MORE_DATA;
                    return more && nameLength != 0 ? SizeAnswer::Size : SizeAnswer::Failed;
                },
                // NameLength is 16 bits wide: every size it gives is believed.
                0, 0xFFFFFFFFu, ExactBytes,
                [&](DWORD) {
                    const bool asked = AskMountDeviceName(handle, answer);
                    if (!asked) error = os::GetLastError();
                    return asked;
                });
            ok = step == TwoCall::Nothing || step == TwoCall::Answered;
            if (!ok) Trace(tlog::labels::kMountNameQuery, U(error));
        }
        handleHolder.Free();

        if (ok) {
            // NameLength is the device's word: copy no more than the answer holds.
            const auto *name = answer.As<TARSEL_MOUNTDEV_NAME>();
            const size_t nameBytes = std::min<size_t>(name->NameLength, answer.Bytes() - kNameOffset);
            result = wstr::DupCalloc(name->Name, nameBytes / sizeof(WCHAR));
        }
    }

    Trace(tlog::labels::kMountNameLeave);
    return result;
}

HANDLE GetDeviceHandle(const WCHAR *deviceName) {
    Trace("ENTER GetDeviceHandle ");
    HANDLE handle = INVALID_HANDLE_VALUE;

    if (deviceName == nullptr) {
        Trace(tlog::labels::kGetDeviceHandleInvalidParamter);
    } else {
        Trace("INFO GetDeviceHandle ", deviceName);
        UNICODE_STRING name{};
        api::RtlInitUnicodeString(&name, deviceName);
        OBJECT_ATTRIBUTES attributes{};
        attributes.Length = sizeof(attributes);
        attributes.ObjectName = &name;
        attributes.Attributes = OBJ_CASE_INSENSITIVE;
        IO_STATUS_BLOCK ioStatus{};
        NTSTATUS status = api::NtCreateFile(&handle, kReadWriteAccess, &attributes, &ioStatus, nullptr,
                                            FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                            FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
        // A failed open hands out nothing, whatever it left in the output.
        if (status < 0) handle = INVALID_HANDLE_VALUE;
        if (handle == INVALID_HANDLE_VALUE) Trace("ERROR GetDeviceHandle INVALID_HANDLE_VALUE ", S(static_cast<int32_t>(status)));
    }

    Trace("LEAVE GetDeviceHandle ");
    return handle;
}
