// Shared pieces of the storage tests: a machine with one disk drive node, a
// handle opened on it the way the program opens one, and raw answer bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/api.h"
#include "platform/wstr.h"
#include "tests/support/Harness.h"

namespace storage_test {

using Lines_t = std::vector<std::string>;

constexpr const char *kDiskClass = "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}";
constexpr const char *kCdromClass = "{53F56308-B6BF-11D0-94F2-00A0C91EFB8B}";
constexpr const char *kDiskPath = "\\\\?\\scsi#disk&ven_acme&prod_disk#1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char *kDiskObject = "\\Device\\Harddisk1\\DR1";

// Text as a JSON string literal, quotes included.
inline std::string Json(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

// One disk drive node (DEVINST 1) whose interface `path` opens the object
// kDiskObject.  The keys strings are further JSON members of the object, the
// machine and the device.
inline std::string DiskMachine(const std::string &objectKeys, const std::string &topKeys = "",
                               const std::string &deviceKeys = "", const char *path = kDiskPath,
                               const char *interfaceClass = kDiskClass) {
    auto more = [](const std::string &keys) { return keys.empty() ? keys : ", " + keys; };
    return R"({"devices": [{"id": "SCSI\\DISK&VEN_ACME&PROD_DISK\\1")" + more(deviceKeys) +
           R"(, "interfaces": [{"class": )" + Json(interfaceClass) + R"(, "path": )" + Json(path) +
           R"(, "object": )" + Json(kDiskObject) + R"(}]}], "objects": [{"name": )" + Json(kDiskObject) +
           more(objectKeys) + "}]" + more(topKeys) + "}";
}

inline std::string Utf8(const WCHAR *text) { return text == nullptr ? std::string("<unset>") : wstr::ToUtf8(text); }

// Each LoadAndOpen starts a new machine; the handle it opened is closed, and
// checked to be the only one left, before the next machine or the end.
class StorageTest : public MachineTest {
protected:
    HANDLE LoadAndOpen(const std::string &json, const char *path = kDiskPath) {
        CloseDevice();
        Load(json);
        m_device = api::CreateFileW(wstr::FromAscii(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(m_device, INVALID_HANDLE_VALUE) << "the test machine does not open " << path;
        sim::ClearCalls();
        return m_device;
    }
    void CloseDevice() {
        if (m_device == INVALID_HANDLE_VALUE) return;
        api::CloseHandle(m_device);
        m_device = INVALID_HANDLE_VALUE;
        EXPECT_EQ(sim::OpenHandleCount(), 0u) << "a handle was left open";
        EXPECT_EQ(sim::OpenSetCount(), 0u) << "a device information set was left open";
    }
    void TearDown() override {
        CloseDevice();
        MachineTest::TearDown();
    }

    HANDLE m_device = INVALID_HANDLE_VALUE;
};

// Little-endian words and text placed into raw answer bytes, and the bytes as
// the hexadecimal text of an "ioctl" answer.
inline void Put32(std::vector<uint8_t> &bytes, size_t offset, uint32_t value) {
    if (bytes.size() < offset + 4) bytes.resize(offset + 4);
    for (size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

inline std::string Hex(const std::vector<uint8_t> &bytes) {
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back("0123456789ABCDEF"[b >> 4]);
        out.push_back("0123456789ABCDEF"[b & 0xF]);
    }
    return out;
}

}  // namespace storage_test
