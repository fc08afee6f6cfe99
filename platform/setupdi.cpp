#include "platform/setupdi.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/api.h"
#include "platform/os.h"

static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) % sizeof(WCHAR) == 0);

SP_DEVICE_INTERFACE_DETAIL_DATA_W *AllocInterfaceDetail(DWORD required, DWORD *usable) {
    *usable = 0;
    if (required > kMaxInterfaceDetailBytes) return nullptr;
    const DWORD size = std::max<DWORD>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
    // An odd size leaves half a character to the system: the spare NUL
    // starts at the next whole one.
    const size_t wholeChars = (static_cast<size_t>(size) + 1) / sizeof(WCHAR) * sizeof(WCHAR);
    auto *detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(std::calloc(1, wholeChars + sizeof(WCHAR)));
    if (detail == nullptr) return nullptr;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    *usable = size;
    return detail;
}

TwoCall SetupDiQueryProperty(CQueryBlock &block, HDEVINFO set, SP_DEVINFO_DATA *device, DWORD property, DWORD *type,
                             DWORD most, size_t (*blockBytes)(DWORD)) {
    return SetupDiQueryTwice<BYTE>(block, most, blockBytes, [&](BYTE *into, DWORD size, DWORD *required) {
        return api::SetupDiGetDeviceRegistryPropertyW(set, device, property, into != nullptr ? type : nullptr, into,
                                                      size, required);
    });
}

CInterfaceWalk::CInterfaceWalk(const GUID *interfaceClass, DetailSize size, DetailFloor floor,
                               FetchRequired fetchRequired)
    : m_class(interfaceClass), m_size(size), m_floor(floor), m_fetchRequired(fetchRequired),
      m_set(api::SetupDiGetClassDevsW(interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {}

CInterfaceWalk::~CInterfaceWalk() { Close(); }

void CInterfaceWalk::Close() {
    FreeDetail();
    if (m_set != INVALID_HANDLE_VALUE) api::SetupDiDestroyDeviceInfoList(std::exchange(m_set, INVALID_HANDLE_VALUE));
}

void CInterfaceWalk::FreeDetail() {
    std::free(std::exchange(m_detail, nullptr));
    m_path = nullptr;
}

bool CInterfaceWalk::Next() {
    FreeDetail();  // the previous interface's block goes before the next is asked for
    if (m_set == INVALID_HANDLE_VALUE || m_index >= kMaxSetMembers) return false;
    m_interface = SP_DEVICE_INTERFACE_DATA{};
    m_interface.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!api::SetupDiEnumDeviceInterfaces(m_set, nullptr, m_class, m_index, &m_interface)) {
        m_index = kMaxSetMembers;
        return false;
    }
    ++m_index;
    m_step = Ask();
    return true;
}

InterfaceStep CInterfaceWalk::Ask() {
    m_error = 0;
    m_device = SP_DEVINFO_DATA{};
    m_device.cbSize = sizeof(SP_DEVINFO_DATA);
    SP_DEVICE_INTERFACE_DETAIL_DATA_W *detail = &m_fixed.header;
    DWORD size = kFixedDetailBytes;
    DWORD required = 0;
    if (m_size == DetailSize::Fixed) {
        std::memset(&m_fixed, 0, sizeof m_fixed);
        m_fixed.header.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    } else {
        // The size query asks for the size, or for the element alone.
        const bool elementOnly = m_size == DetailSize::ElementOnly;
        const BOOL sized = api::SetupDiGetDeviceInterfaceDetailW(m_set, &m_interface, nullptr, 0,
                                                                 elementOnly ? nullptr : &required,
                                                                 elementOnly ? &m_device : nullptr);
        if (sized && m_size != DetailSize::SuccessOrFail122) return InterfaceStep::SizeSucceeded;
        if (!sized && (m_error = os::GetLastError()) != static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER))
            return InterfaceStep::SizeFailed;
        m_error = 0;
        if (elementOnly) return InterfaceStep::Fetched;
        if (m_floor == DetailFloor::AtLeastHeader && required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            return InterfaceStep::NoDetailBlock;
        detail = m_detail = AllocInterfaceDetail(required, &size);
        if (detail == nullptr) return InterfaceStep::NoDetailBlock;
    }
    if (!api::SetupDiGetDeviceInterfaceDetailW(m_set, &m_interface, detail, size,
                                               m_fetchRequired == FetchRequired::Yes ? &required : nullptr,
                                               &m_device)) {
        m_error = os::GetLastError();
        return InterfaceStep::FetchFailed;
    }
    m_path = detail->DevicePath;
    return InterfaceStep::Fetched;
}
