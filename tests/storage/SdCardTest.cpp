#include "device/DeviceInfo.h"
#include "storage/SdCard.h"
#include "tests/storage/StorageFixture.h"

namespace {

using namespace storage_test;

class SdCardTest : public StorageTest {};

TEST_F(SdCardTest, OnlyTheSdProtocolCounts) {
    const struct {
        const char *keys;
        bool sd;
        Lines_t lines;
    } cases[] = {
        {R"("sd_protocol": "{AD7536A8-D055-4C40-AA4D-96312DDB6B38}")", true, {"ENTER IsSDCard ", "LEAVE IsSDCard 1"}},
        {R"("sd_protocol": "{AD7536A8-D055-4C40-AA4D-96312DDB6B39}")", false, {"ENTER IsSDCard ", "LEAVE IsSDCard 0"}},
        {R"("ioctl": {"0x71E80": {"bytes": "14000000A83675AD55D0404CAA4D96312DDB6B38", "returned": 0}})", false,
         {"ENTER IsSDCard ", "LEAVE IsSDCard 0"}},
        {R"("sd_protocol": {"error": 50})", false,
         {"ENTER IsSDCard ", "INFO IsSDCard IOCTL_SFFDISK_QUERY_DEVICE_PROTOCOL result 50", "LEAVE IsSDCard 0"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.keys);
        HANDLE h = LoadAndOpen(DiskMachine(c.keys));
        EXPECT_EQ(IsSDCard(h), c.sd);
        EXPECT_EQ(Lines(), c.lines);
    }
}

TEST_F(SdCardTest, CidDecodesSerialVersionModelManufacturer) {
    // CID, most significant byte first: MID, OID(2), PNM(5), PRV, PSN(4), MDT(2), CRC.
    const struct {
        const char *cid, *serial, *version, *model, *manufacturer;
    } cases[] = {
        {"03" "5344" "4142434445" "80" "0000002A" "0106" "C3", "0x2a", "8.0", "ABCDE", "0x3"},
        {"1B" "5344" "5344333247" "1F" "DEADBEEF" "0106" "C3", "0xdeadbeef", "1.15", "SD32G", "0x1b"},
        {"00" "5344" "2041422020" "3A" "00000000" "0106" "C3", "0x0", "3.10", "AB", "0x0"},
        {"02" "5344" "0041424344" "10" "00000100" "0106" "C3", "0x100", "1.0", "", "0x2"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cid);
        HANDLE h = LoadAndOpen(DiskMachine(std::string(R"("sd_cid": ")") + c.cid + "\""));
        CDeviceInfo record;
        EXPECT_TRUE(record.UseSDCardInfo(h));
        EXPECT_EQ(Lines(), (Lines_t{"ENTER UseSDCardInfo 00000100", "INFO UseSDCardInfo m_Type 258",
                                    "INFO UseSDCardInfo m_bRemovable 1", std::string("INFO UseSDCardInfo m_Serial ") + c.serial,
                                    std::string("INFO UseSDCardInfo m_Version ") + c.version,
                                    std::string("INFO UseSDCardInfo m_Model ") + c.model,
                                    std::string("INFO UseSDCardInfo m_Manufacturer ") + c.manufacturer,
                                    "LEAVE UseSDCardInfo 1"}));
        EXPECT_EQ(Utf8(record.m_Model.Text()), c.model);
        ASSERT_EQ(sim::CountIoctl(IOCTL_SFFDISK_DEVICE_COMMAND), 1u);
        for (const sim::Call &call : sim::Calls())
            if (call.op == "DeviceIoControl") {
                // The build's own layout: a 20-byte header on 32-bit, 24 on 64-bit.
                const uint32_t block = sizeof(void *) == 4 ? 56 : 60;
                EXPECT_TRUE(call.inSize == block && call.outSize == block);
            }
    }
}

TEST_F(SdCardTest, FailedOrShortCommandKeepsTheCardFieldsAsTheyWere) {
    const struct {
        const char *keys, *error;
    } cases[] = {
        {R"("sd_cid": {"error": 31})", "ERROR UseSDCardInfo IOCTL_SFFDISK_DEVICE_COMMAND 31"},
        {R"("ioctl": {"0x79E84": {"bytes": "1111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111", "returned": 55}})",
         nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.keys);
        HANDLE h = LoadAndOpen(DiskMachine(c.keys));
        CDeviceInfo record;
        EXPECT_FALSE(record.UseSDCardInfo(h));
        Lines_t expected{"ENTER UseSDCardInfo 00000100", "INFO UseSDCardInfo m_Type 258", "INFO UseSDCardInfo m_bRemovable 1"};
        if (c.error != nullptr) expected.push_back(c.error);
        expected.push_back("LEAVE UseSDCardInfo 0");
        EXPECT_EQ(Lines(), expected);
        EXPECT_EQ(record.m_Type.Get(), SD_CARD_DEVICE);
        EXPECT_FALSE(record.m_Serial.IsSet());
    }
}

}  // namespace
