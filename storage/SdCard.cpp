#include "storage/SdCard.h"

#include <cstdlib>
#include <cstring>

#include "platform/trace.h"
#include "device/DeviceInfo.h"
#include "platform/api.h"
#include "platform/guids.h"
#include "platform/holders.h"
#include "platform/os.h"
#include "storage/NumberText.h"

namespace {

// The command block is a little-endian wire format: fields are stored byte
// by byte so its layout does not depend on the build's structure packing.
void Put16(BYTE *block, size_t offset, uint16_t value) {
    block[offset] = static_cast<BYTE>(value);
    block[offset + 1] = static_cast<BYTE>(value >> 8);
}

void Put32(BYTE *block, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) block[offset + i] = static_cast<BYTE>(value >> (8 * i));
}

void FillSendCidCommand(BYTE *block) {
    using namespace sffdisk;
    Put16(block, kHeaderSizeOffset, kHeaderSize);
    Put32(block, kCommandOffset, kDcDeviceCommand);
    Put16(block, kProtocolArgumentSizeOffset, kSdCommandDescriptorSize);
    Put32(block, kDeviceDataBufferSizeOffset, static_cast<uint32_t>(kDeviceDataSize));
    BYTE *descriptor = block + kHeaderSize;
    descriptor[kCmdInDescriptor] = kSendCid;
    Put32(descriptor, kCmdClassInDescriptor, kSdccStandard);
    Put32(descriptor, kTransferDirectionInDescriptor, kSdtdRead);
    Put32(descriptor, kTransferTypeInDescriptor, kSdttCmdOnly);
    Put32(descriptor, kResponseTypeInDescriptor, kSdrt2);
}

// Blanks (U+0020 only) are dropped from the end, then from the start.
WString TrimBlanks(const WCHAR *text) {
    size_t end = wstr::Len(text);
    while (end > 0 && text[end - 1] == 0x20) --end;
    size_t begin = 0;
    while (begin < end && text[begin] == 0x20) ++begin;
    return WString(text + begin, end - begin);
}

}  // namespace

bool IsSDCard(HANDLE device) {
    Trace("ENTER IsSDCard ");
    TARSEL_SFFDISK_QUERY_DEVICE_PROTOCOL_DATA query{};
    query.Size = sizeof(query);
    DWORD returned = 0;
    if (!api::DeviceIoControl(device, IOCTL_SFFDISK_QUERY_DEVICE_PROTOCOL, nullptr, 0, &query, sizeof(query),
                              &returned, nullptr)) {
        return TraceFailure("LEAVE IsSDCard 0", "INFO IsSDCard IOCTL_SFFDISK_QUERY_DEVICE_PROTOCOL result ",
                            U(os::GetLastError()));
    }
    if (returned != 0 && guids::Equal(query.ProtocolGUID, guids::kSffProtocolSd)) {
        Trace("LEAVE IsSDCard 1");
        return true;
    }
    Trace("LEAVE IsSDCard 0");
    return false;
}

bool CDeviceInfo::UseSDCardInfo(HANDLE device) {
    Trace("ENTER UseSDCardInfo ", P(device));
    m_Type.Set(SD_CARD_DEVICE);
    m_bRemovable = kTriYes;
    Trace("INFO UseSDCardInfo m_Type ", S(m_Type.Get()));
    Trace("INFO UseSDCardInfo m_bRemovable ", S(m_bRemovable));

    CAutoFreePtr<BYTE> block(static_cast<BYTE *>(std::calloc(1, sffdisk::kCommandBlockSize)));
    if (block.Get() == nullptr) {
        Trace("LEAVE UseSDCardInfo 0");
        return false;
    }
    FillSendCidCommand(block.Get());

    DWORD returned = 0;
    if (!api::DeviceIoControl(device, IOCTL_SFFDISK_DEVICE_COMMAND, block.Get(), sffdisk::kCommandBlockSize,
                              block.Get(), sffdisk::kCommandBlockSize, &returned, nullptr)) {
        return TraceFailure("LEAVE UseSDCardInfo 0", "ERROR UseSDCardInfo IOCTL_SFFDISK_DEVICE_COMMAND ",
                            U(os::GetLastError()));
    }
    if (returned < sffdisk::kCommandBlockSize) {
        Trace("LEAVE UseSDCardInfo 0");
        return false;
    }

    // The host stores CID bits 127..8 least significant byte first in
    // D[0]..D[14]; turned round, R[0] is the manufacturer ID, R[3..7] the
    // product name, R[8] the revision and R[9..12] the serial number.
    const BYTE *response = block.Get() + sffdisk::kDeviceDataOffset;
    BYTE cid[15];
    for (int i = 0; i < 15; ++i) cid[i] = response[14 - i];

    const uint32_t serial = (static_cast<uint32_t>(cid[9]) << 24) | (static_cast<uint32_t>(cid[10]) << 16) |
                            (static_cast<uint32_t>(cid[11]) << 8) | static_cast<uint32_t>(cid[12]);
    m_Serial.Set(numtext::HexLower(serial));
    Trace("INFO UseSDCardInfo m_Serial ", m_Serial.Text());

    m_Version.Set(numtext::Decimal(cid[8] >> 4) + WS(".") + numtext::Decimal(cid[8] & 0xF));
    Trace("INFO UseSDCardInfo m_Version ", m_Version.Text());

    char name[6] = {};
    std::memcpy(name, cid + 3, 5);
    WCHAR wide[22] = {};
    if (os::MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 22) != 0) {
        wide[21] = 0;
        m_Model.Set(TrimBlanks(wide));
        Trace("INFO UseSDCardInfo m_Model ", m_Model.Text());
    }

    m_Manufacturer.Set(numtext::HexLower(cid[0]));
    Trace("INFO UseSDCardInfo m_Manufacturer ", m_Manufacturer.Text());

    Trace("LEAVE UseSDCardInfo 1");
    return true;
}
