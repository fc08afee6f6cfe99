#include "usb/HubTopology.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/trace.h"
#include "device/DeviceInfo.h"
#include "device/Properties.h"
#include "platform/api.h"
#include "platform/guids.h"
#include "platform/holders.h"
#include "platform/os.h"
#include "platform/setupdi.h"
#include "platform/twocall.h"
#include "platform/wstr.h"

namespace {

// The connection information answer is a 35-byte fixed part followed by the
// open pipes; room for 30 of them (11 bytes each) covers any real device.
constexpr DWORD kConnectionInfoBytes = 365;

// A driver key name is a registry key path; one longer than this is not a
// real answer but a broken or hostile hub driver.
constexpr DWORD kMaxDriverKeyBytes = 4096;

// Sizes the set-up API reports for a driver key property or an instance
// identifier beyond these are not believed.
constexpr DWORD kMaxPropertyBytes = 65536;
constexpr DWORD kMaxInstanceIdChars = 32768;

// Real trees are shallow, but a device may sit far below its hub (nested
// composite and virtual devices); the walk only has to end should a broken
// configuration manager ever answer with a loop, so the bound is generous.
constexpr int kMaxTreeDepth = 0x10000;

// Even a broken set-up API must not keep the search going for ever.
constexpr DWORD kMaxDevices = 65536;

// Sends one of the connection information requests for `port` and reports
// whether it was answered; `connected` and `descriptor` come from the answer.
bool QueryConnection(HANDLE hub, DWORD code, BYTE port, BYTE *buffer, bool *connected,
                     USB_DEVICE_DESCRIPTOR *descriptor) {
    // Both request layouts agree on the offsets read here.
    static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, ConnectionIndex) ==
                  offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionIndex));
    static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, DeviceDescriptor) ==
                  offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceDescriptor));
    static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, ConnectionStatus) ==
                  offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionStatus));
    static_assert(sizeof(USB_NODE_CONNECTION_INFORMATION_EX) <= kConnectionInfoBytes);

    auto *info = reinterpret_cast<USB_NODE_CONNECTION_INFORMATION_EX *>(buffer);
    info->ConnectionIndex = port;
    DWORD returned = 0;
    if (!api::DeviceIoControl(hub, code, buffer, kConnectionInfoBytes, buffer, kConnectionInfoBytes, &returned,
                              nullptr))
        return false;
    *connected = RawDwordField(buffer, offsetof(USB_NODE_CONNECTION_INFORMATION_EX, ConnectionStatus)) ==
                 static_cast<DWORD>(DeviceConnected);
    if (*connected && descriptor != nullptr)
        std::memcpy(descriptor, buffer + offsetof(USB_NODE_CONNECTION_INFORMATION_EX, DeviceDescriptor),
                    sizeof(USB_DEVICE_DESCRIPTOR));
    return true;
}

// Sends the driver key name request for `port` in `bytes` bytes, both ways.
bool AskDriverKeyName(HANDLE hub, BYTE port, USB_NODE_CONNECTION_DRIVERKEY_NAME *request, DWORD bytes) {
    request->ConnectionIndex = port;
    DWORD returned = 0;
    return api::DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, request, bytes, request, bytes,
                                &returned, nullptr) != FALSE;
}

// The driver key property block: a spare character past what the set-up API
// may fill keeps the value terminated whatever it writes.
size_t DriverKeyBlockBytes(DWORD required) { return (required / sizeof(WCHAR) + 2) * sizeof(WCHAR); }

bool ReportConnection(bool connected) {
    Trace(connected ? "LEAVE IsUsbDeviceConnected TRUE" : "LEAVE IsUsbDeviceConnected FALSE");
    return connected;
}

}  // namespace

bool CDeviceInfo::GetUSBDevicePath(HANDLE device, const GUID *interfaceClass, WCHAR **lpszDevicePath,
                                   WCHAR **lpszInstancePath, WCHAR **lpszDeviceHubPath,
                                   STORAGE_DEVICE_NUMBER *number) {
    Trace("ENTER GetUSBDevicePath ", P(device));
    SP_DEVINFO_DATA deviceInfo{};
    deviceInfo.cbSize = sizeof(SP_DEVINFO_DATA);
    if (interfaceClass == nullptr ||
        !GetDevicePath(device, *interfaceClass, lpszDevicePath, &deviceInfo, number)) {
        return TraceFailure("LEAVE GetUSBDevicePath", "ERROR GetUSBDevicePath GetDevicePath");
    }
    if (!GetUSBDeviceHubPath(deviceInfo.DevInst, lpszInstancePath, lpszDeviceHubPath))
        return TraceFailure("LEAVE GetUSBDevicePath", "ERROR GetUSBDevicePath GetUSBDeviceHubPath");
    Trace("INFO GetUSBDevicePath lpszInstancePath ", *lpszInstancePath);
    Trace("INFO GetUSBDevicePath lpszDeviceHubPath ", *lpszDeviceHubPath);
    Trace("LEAVE GetUSBDevicePath");
    return true;
}

bool CDeviceInfo::GetUSBDeviceHubPath(DEVINST node, WCHAR **instanceId, WCHAR **hubPath) {
    Trace("ENTER GetUSBDeviceHubPath ", U(node));
    auto fail = [](const char *what) {
        return TraceFailure("LEAVE GetUSBDeviceHubPath", "ERROR GetUSBDeviceHubPath ", what);
    };

    WCHAR *ownId = nullptr;
    if (!GetDeviceId(node, &ownId)) {
        std::free(ownId);
        return fail("GetDeviceId");
    }
    // From here on the out identifier is the caller's, whatever the outcome.
    *instanceId = ownId;

    DEVINST candidate = 0;
    if (api::CM_Get_Parent(&candidate, node, 0) != CR_SUCCESS) return fail("CM_Get_Parent");
    DEVINST child = node;

    WCHAR *candidateId = nullptr;
    CAutoFree<WCHAR> candidateIdHolder(&candidateId);
    if (!GetDeviceId(candidate, &candidateId)) return fail("GetDeviceId");

    WString hubInterfacePath;
    for (int depth = 0;; ++depth) {
        if (GetDeviceId(candidateId, guids::kDevInterfaceUsbHub, hubInterfacePath)) break;

        DEVINST parent = 0;
        if (depth >= kMaxTreeDepth || api::CM_Get_Parent(&parent, candidate, 0) != CR_SUCCESS)
            return fail("CM_Get_Parent");

        // One level up: the out identifier keeps naming the node directly
        // below the candidate.
        child = candidate;
        candidate = parent;
        std::free(*instanceId);
        *instanceId = candidateId;
        candidateId = nullptr;
        if (!GetDeviceId(candidate, &candidateId)) return fail("GetDeviceId");
    }

    m_HubDevInst = candidate;
    m_HubChildDevInst = child;

    // The path comes from a terminated detail block: it holds no NUL.
    WCHAR *copy = wstr::DupCalloc(hubInterfacePath.c_str());
    if (copy == nullptr) return fail("memory allocation");
    *hubPath = copy;

    Trace("INFO GetUSBDeviceHubPath lpszDeviceHubPath ", *hubPath);
    Trace("LEAVE GetUSBDeviceHubPath");
    return true;
}

bool GetUsbHubNumberOfPorts(HANDLE hub, BYTE *ports) {
    Trace("ENTER GetUsbHubNumberOfPorts");
    USB_NODE_INFORMATION info;
    std::memset(&info, 0, sizeof(info));
    DWORD returned = 0;
    if (!api::DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, &info, sizeof(info), &info, sizeof(info),
                              &returned, nullptr)) {
        return TraceFailure("LEAVE GetUsbHubNumberOfPorts", "ERROR GetUsbHubNumberOfPorts ", U(os::GetLastError()));
    }
    *ports = info.u.HubInformation.HubDescriptor.bNumberOfPorts;
    Trace("INFO GetUsbHubNumberOfPorts ", S(*ports));
    Trace("LEAVE GetUsbHubNumberOfPorts");
    return true;
}

bool IsUsbDeviceConnected(HANDLE hub, BYTE port, USB_DEVICE_DESCRIPTOR *descriptor) {
    Trace("ENTER IsUsbDeviceConnected");
    BYTE *extended = static_cast<BYTE *>(std::calloc(1, kConnectionInfoBytes));
    CAutoFree<BYTE> extendedHolder(&extended);
    if (extended == nullptr) return false;

    bool connected = false;
    if (QueryConnection(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, port, extended, &connected, descriptor))
        return ReportConnection(connected);

    // Hubs older than the extended request only answer the original one.
    BYTE *original = static_cast<BYTE *>(std::calloc(1, kConnectionInfoBytes));
    CAutoFree<BYTE> originalHolder(&original);
    if (original == nullptr) {
        Trace("ERROR IsUsbDeviceConnected memory allocation");
        return ReportConnection(false);
    }
    if (!QueryConnection(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, port, original, &connected, descriptor)) {
        Trace("ERROR IsUsbDeviceConnected IOCTL_USB_GET_NODE_CONNECTION_INFORMATION ", U(os::GetLastError()));
        return ReportConnection(false);
    }
    return ReportConnection(connected);
}

bool GetDriverKeyName(HANDLE hub, BYTE port, WCHAR **name, DWORD *length) {
    Trace("ENTER GetDriverKeyName");
    auto fail = [](const char *what, bool withLastError = false) {
        if (withLastError)
            return TraceFailure("LEAVE GetDriverKeyName", "ERROR GetDriverKeyName ", what, U(os::GetLastError()));
        return TraceFailure("LEAVE GetDriverKeyName", "ERROR GetDriverKeyName ", what);
    };
    *name = nullptr;
    *length = 0;

    CQueryBlock answer;
    const TwoCall step = QueryTwice(
        answer,
        [&](DWORD *size) {
            USB_NODE_CONNECTION_DRIVERKEY_NAME probe;
            std::memset(&probe, 0, sizeof(probe));
            const bool asked = AskDriverKeyName(hub, port, &probe, sizeof(probe));
            *size = probe.ActualLength;
            return asked ? SizeAnswer::Size : SizeAnswer::Failed;
        },
        // The whole answer's size: too small to hold a name, or too large to be one, is not believed.
        sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME) + 1, kMaxDriverKeyBytes, ExactBytes,
        [&](DWORD size) { return AskDriverKeyName(hub, port, answer.As<USB_NODE_CONNECTION_DRIVERKEY_NAME>(), size); });
    if (step == TwoCall::SizeFailed) return fail("IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME ", true);
    if (step == TwoCall::SizeRefused) return fail("invalid nBytes");
    if (step == TwoCall::NoMemory) return fail("memory allocation");
    if (step == TwoCall::Failed) return fail("DeviceIoControl ", true);

    // The name need not be terminated within the answer: it ends at the first
    // NUL or at the end of the block, whichever comes first.
    constexpr size_t kNameOffset = offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName);
    const size_t capacity = (answer.Bytes() - kNameOffset) / sizeof(WCHAR);
    const auto *text = reinterpret_cast<const WCHAR *>(answer.As<BYTE>() + kNameOffset);
    const size_t n = wstr::LenBounded(text, capacity);

    WCHAR *copy = wstr::DupCalloc(text, n);
    if (copy == nullptr) return fail("memory allocation");
    *name = copy;
    *length = static_cast<DWORD>(n + 1);
    Trace("LEAVE GetDriverKeyName");
    return true;
}

bool GetUsbInstanceIdFromDriverKeyName(const WCHAR *driverKeyName, WCHAR **instanceId) {
    Trace("ENTER GetUsbInstanceIdFromDriverKeyName ", driverKeyName);
    bool found = false;
    *instanceId = nullptr;

    HDEVINFO set = api::SetupDiGetClassDevsW(nullptr, WS("USB"), nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set != INVALID_HANDLE_VALUE) {
        CReleaseGuard destroy(CReleaseGuard::DestroyDeviceInfoList, set);
        // One buffer for the whole walk, grown when a longer value comes: the
        // walk reads the driver key of every USB device, once per hub port.
        CQueryBlock driver;
        const WStringView wanted = wstr::ViewBounded(driverKeyName, kMaxPropertyBytes);
        for (DWORD index = 0; index < kMaxDevices; ++index) {
            SP_DEVINFO_DATA device{};
            device.cbSize = sizeof(SP_DEVINFO_DATA);
            if (!api::SetupDiEnumDeviceInfo(set, index, &device)) break;

            DWORD type = 0;
            const TwoCall read =
                SetupDiQueryProperty(driver, set, &device, SPDRP_DRIVER, &type, kMaxPropertyBytes, DriverKeyBlockBytes);
            // A broken set-up API or no memory ends the search; any other failure passes the device over.
            if (read == TwoCall::SizeFailed || read == TwoCall::NoMemory) break;
            if (read != TwoCall::Answered ||
                !wstr::EqualNoCaseSized(driver.As<WCHAR>(), driver.Bytes() / sizeof(WCHAR), wanted))
                continue;

            CQueryBlock id;
            const TwoCall named = SetupDiQueryTwice<WCHAR>(
                id, kMaxInstanceIdChars, CharsAndNul, [&](WCHAR *block, DWORD size, DWORD *needed) {
                    return os::SetupDiGetDeviceInstanceIdW(set, &device, block, size, needed);
                });
            if (named == TwoCall::Nothing) continue;
            if (named == TwoCall::Answered) {
                *instanceId = id.Release<WCHAR>();
                Trace("INFO GetUsbInstanceIdFromDriverKeyName ", *instanceId);
                found = true;
            }
            break;
        }
    }
    Trace("LEAVE GetUsbInstanceIdFromDriverKeyName ");
    return found;
}
