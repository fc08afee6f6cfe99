#include "platform/setupdi.h"

#include <cstdlib>

SP_DEVICE_INTERFACE_DETAIL_DATA_W *AllocInterfaceDetail(DWORD required, DWORD *usable) {
    *usable = 0;
    if (required > kMaxInterfaceDetailBytes) return nullptr;
    const DWORD size = required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                           ? static_cast<DWORD>(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
                           : required;
    auto *detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(std::calloc(1, size + sizeof(WCHAR)));
    if (detail == nullptr) return nullptr;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    *usable = size;
    return detail;
}
