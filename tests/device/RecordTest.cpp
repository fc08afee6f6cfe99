#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "device/DeviceInfo.h"

namespace {

TEST(CValueTest, StringHolderKeepsItsOwnCopy) {
    CStringValue v;
    EXPECT_FALSE(v.IsSet());
    EXPECT_EQ(v.Text(), nullptr);

    auto *buffer = static_cast<WCHAR *>(std::calloc(8, sizeof(WCHAR)));
    ASSERT_NE(buffer, nullptr);
    std::memcpy(buffer, WS("ACME"), 5 * sizeof(WCHAR));
    v.Set(buffer);
    std::free(buffer);  // the holder's copy must survive its source
    ASSERT_TRUE(v.IsSet());
    EXPECT_TRUE(wstr::EqualExact(v.Get(), WS("ACME")));

    v.Set(WS("Stick"));  // releases the old copy first (the sanitizer build reports a leak otherwise)
    EXPECT_TRUE(wstr::EqualExact(v.Get(), WS("Stick")));

    v.Set(static_cast<const WCHAR *>(nullptr));
    EXPECT_TRUE(v.IsSet()) << "a null value still counts as set";
    EXPECT_EQ(v.Text(), nullptr);

    v.Reset();
    EXPECT_FALSE(v.IsSet());
    v.Reset();  // resetting an unset holder does nothing
    EXPECT_FALSE(v.IsSet());
}

TEST(CValueTest, NumericHolderReplacesItsValue) {
    CValue<int64_t> size;
    EXPECT_FALSE(size.IsSet());
    size.Set(8225280000LL);
    EXPECT_EQ(size.Get(), 8225280000LL);
    size.Set(-1);
    EXPECT_EQ(size.Get(), -1);
    size.Reset();
    EXPECT_FALSE(size.IsSet());
}

TEST(CDeviceInfoTest, ConstructionValues) {
    CDeviceInfo r;
    EXPECT_FALSE(r.m_Type.IsSet());
    EXPECT_FALSE(r.m_SubType.IsSet());
    EXPECT_FALSE(r.m_Manufacturer.IsSet());
    EXPECT_FALSE(r.m_Model.IsSet());
    EXPECT_FALSE(r.m_Version.IsSet());
    EXPECT_FALSE(r.m_Serial.IsSet());
    EXPECT_FALSE(r.m_MediaSize.IsSet());
    EXPECT_FALSE(r.m_DeviceID.IsSet());
    EXPECT_TRUE(r.m_VolumeName.empty());
    EXPECT_TRUE(r.m_VolumeSerialNumber.empty());
    EXPECT_EQ(r.m_dwVolumeSerial, 0u);
    EXPECT_FALSE(r.m_bHasDWVolumeSerial);
    EXPECT_EQ(r.m_bMediaCurrentlyMounted, 2);
    EXPECT_EQ(r.m_bRemovable, 2);
    EXPECT_FALSE(r.m_bBootDrive);
    EXPECT_EQ(r.m_HubDevInst, 0xFFFFFFFFu);
    EXPECT_EQ(r.m_HubChildDevInst, 0xFFFFFFFFu);
    EXPECT_TRUE(r.m_UniqueDeviceID.empty());
}

TEST(CDeviceInfoTest, StorageDevicesAreTheTypesBelow512) {
    CDeviceInfo unset;
    EXPECT_FALSE(unset.IsStorageDevice());
    struct Case {
        int32_t type;
        bool storage;
    } cases[] = {{0, true},    {1, true},    {256, true},  {257, true},  {258, true},  {259, true},
                 {511, true},  {512, false}, {513, false}, {514, false}, {515, false}, {516, false},
                 {517, false}, {518, false}, {519, false}, {520, false}, {521, false}, {-1, true}};
    for (const Case &c : cases) {
        CDeviceInfo r;
        r.m_Type.Set(c.type);
        EXPECT_EQ(r.IsStorageDevice(), c.storage) << "type " << c.type;
    }
}

}  // namespace
