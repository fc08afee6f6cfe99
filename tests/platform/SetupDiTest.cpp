#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/setupdi.h"
#include "platform/wstr.h"

namespace {

TEST(AllocInterfaceDetail, BlockFitsTheReportedSizeAndKeepsThePathTerminated) {
    const DWORD header = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    const struct {
        DWORD required;
        bool allocated;
        DWORD usable;
    } cases[] = {
        {0, true, header},  // a size below the structure still gets the structure
        {header, true, header},
        {header + 2 * 260, true, header + 2 * 260},
        {header + 2 * 260 + 1, true, header + 2 * 260 + 1},  // odd: half a character for the system
        {kMaxInterfaceDetailBytes, true, kMaxInterfaceDetailBytes},
        {kMaxInterfaceDetailBytes + 1, false, 0},
        {0xFFFFFFFFu, false, 0},  // would wrap the 32-bit size with the spare character
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.required);
        DWORD usable = 12345;
        SP_DEVICE_INTERFACE_DETAIL_DATA_W *detail = AllocInterfaceDetail(c.required, &usable);
        EXPECT_EQ(detail != nullptr, c.allocated);
        EXPECT_EQ(usable, c.usable);
        if (detail == nullptr) continue;
        EXPECT_EQ(detail->cbSize, header);
        // Every character up to and including the spare one is zero.
        const auto *bytes = reinterpret_cast<const unsigned char *>(detail);
        for (DWORD i = sizeof(DWORD); i < usable + sizeof(WCHAR); ++i) ASSERT_EQ(bytes[i], 0) << i;
        // A path the system wrote up to the last usable byte is still
        // terminated inside the block (the sanitizer build sees any overread).
        constexpr size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
        std::memset(reinterpret_cast<unsigned char *>(detail) + kPathOffset, 'A', usable - kPathOffset);
        EXPECT_EQ(wstr::Len(detail->DevicePath), (usable - kPathOffset + 1) / sizeof(WCHAR));
        std::free(detail);
    }
}

}  // namespace
