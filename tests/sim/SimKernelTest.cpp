// The simulated kernel32, ntdll, ole32 and library-loading operations.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "platform/guids.h"
#include "platform/os.h"
#include "platform/wstr.h"
#include "tests/support/Harness.h"

namespace {

const char *const kMachine = R"({
  "windows_directory": "C:\\Windows",
  "environment": {"SystemDrive": "C:"},
  "libraries": {"psapi.dll": "missing", "ntdll.dll": {"missing_exports": ["NtQueryObject"]}},
  "dos_devices": {"C:": "\\Device\\HarddiskVolume2", "E:": "\\Device\\CdRom0"},
  "volumes": {"C:": {"label": "OS", "serial": "1A2B3C4D"}, "E:": {"error": 21}},
  "devices": [
    {"id": "SCSI\\DISK&VEN_ACME\\1", "class": "{4D36E967-E325-11CE-BFC1-08002BE10318}",
     "interfaces": [
       {"class": "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}", "path": "\\\\?\\scsi#disk&ven_acme#1#{disk}",
        "object": "\\Device\\Harddisk0\\DR0"},
       {"class": "{E768C1E7-986A-404D-BBF3-748B5DCE914A}", "path": "\\\\?\\scsi#disk&ven_acme#1#{hooked}"}]}
  ],
  "objects": [
    {"name": "\\Device\\Harddisk0\\DR0", "aliases": ["\\\\.\\PhysicalDrive0"],
     "device_number": {"type": 7, "number": 3, "partition": 0},
     "storage_descriptor": {"vendor": "ACME    ", "product": "Disk", "revision": null, "serial": "S1", "bus_type": 17},
     "media_types": [{"media_type": 12, "cylinders": 1000, "tracks_per_cylinder": 255, "sectors_per_track": 63,
                      "bytes_per_sector": 512, "sides": 1},
                     {"media_type": 11, "cylinders": 5}],
     "mountdev_name": "\\Device\\Harddisk0\\DR0",
     "sd_protocol": {"error": 50},
     "ioctl": {"0x2D0C04": {"bytes": "07000000", "error": "0xEA", "returned": 4}}},
    {"name": "\\Device\\HarddiskVolume2", "forward": "\\Device\\Harddisk0\\DR0",
     "device_number": {"type": 7, "number": 3, "partition": 2, "returned": 8}},
    {"name": "\\Device\\CdRom0", "read_only": true,
     "sd_protocol": "{AD7536A8-D055-4C40-AA4D-96312DDB6B38}",
     "sd_cid": "035344534433324780123456780156C3"},
    {"name": "\\Device\\Locked", "open_error": 5},
    {"name": "\\Device\\Raw", "ioctl": {"0x2D1080": {"bytes": "0700000001000000"}, "0x2D1400": {"error": 1117}}}
  ]
})";

class SimKernelTest : public MachineTest {
protected:
    void SetUp() override { Load(kMachine); }

    HANDLE Open(const WCHAR *path, DWORD access = GENERIC_READ) {
        return api::CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    NTSTATUS NtOpen(const WCHAR *name, HANDLE *handle, ACCESS_MASK access = 0x12019F, ULONG attributes = OBJ_CASE_INSENSITIVE) {
        UNICODE_STRING u{};
        api::RtlInitUnicodeString(&u, name);
        OBJECT_ATTRIBUTES oa{};
        oa.Length = sizeof oa;
        oa.ObjectName = &u;
        oa.Attributes = attributes;
        IO_STATUS_BLOCK io{};
        return api::NtCreateFile(handle, access, &oa, &io, nullptr, FILE_ATTRIBUTE_NORMAL, 3, FILE_OPEN,
                                 FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    }
};

uintptr_t Value(HANDLE h) { return reinterpret_cast<uintptr_t>(h); }

TEST_F(SimKernelTest, HandlesAreNumberedInOpenOrderAndNeverReused) {
    HANDLE a = Open(WS("\\\\?\\SCSI#DISK&VEN_ACME#1#{DISK}"));  // paths compare ignoring case
    HANDLE failed = Open(WS("\\\\?\\nothing"));
    HANDLE b = Open(WS("\\\\.\\C:"));
    HANDLE c = nullptr;
    ASSERT_EQ(NtOpen(WS("\\device\\harddisk0\\dr0"), &c), static_cast<NTSTATUS>(STATUS_SUCCESS));
    EXPECT_EQ(Value(a), 0x100u);
    EXPECT_EQ(failed, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Value(b), 0x104u);
    EXPECT_EQ(Value(c), 0x108u);
    EXPECT_EQ(sim::OpenHandleCount(), 3u);
    EXPECT_TRUE(api::CloseHandle(a));
    EXPECT_EQ(api::NtClose(b), static_cast<NTSTATUS>(STATUS_SUCCESS));
    EXPECT_TRUE(api::CloseHandle(c));
    HANDLE d = Open(WS("\\\\.\\PhysicalDrive0"));
    EXPECT_EQ(Value(d), 0x10Cu);
    api::CloseHandle(d);
}

TEST_F(SimKernelTest, ClosingAnUnknownHandleFails) {
    os::SetLastError(0);
    EXPECT_FALSE(api::CloseHandle(reinterpret_cast<HANDLE>(0x100)));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(api::NtClose(reinterpret_cast<HANDLE>(0x104)), static_cast<NTSTATUS>(STATUS_INVALID_HANDLE));
}

TEST_F(SimKernelTest, OpenFailuresReportTheirCodes) {
    struct Case {
        const WCHAR *path;
        DWORD access;
        DWORD error;
    };
    const Case cases[] = {
        {WS("\\\\?\\scsi#disk&ven_acme#1#{hooked}"), GENERIC_READ, ERROR_FILE_NOT_FOUND},  // interface without object
        {WS("\\\\.\\Z:"), GENERIC_READ, ERROR_FILE_NOT_FOUND},
        {WS("\\\\.\\E:"), GENERIC_READ | GENERIC_WRITE, ERROR_ACCESS_DENIED},
        {WS("\\\\.\\E:"), 0x12019F, ERROR_ACCESS_DENIED},
        {WS("\\\\.\\E:"), FILE_APPEND_DATA, ERROR_ACCESS_DENIED},
        {WS("\\\\.\\E:"), FILE_WRITE_ATTRIBUTES, ERROR_ACCESS_DENIED},
        {WS("\\Device\\Locked"), 0, ERROR_ACCESS_DENIED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(wstr::ToUtf8(c.path));
        os::SetLastError(0);
        EXPECT_EQ(Open(c.path, c.access), INVALID_HANDLE_VALUE);
        EXPECT_EQ(os::GetLastError(), c.error);
    }
    // Read-only objects still open for reading.
    HANDLE h = Open(WS("\\\\.\\E:"), GENERIC_READ | FILE_READ_ATTRIBUTES);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    api::CloseHandle(h);
}

TEST_F(SimKernelTest, NtCreateFileFailuresLeaveTheHandleUntouched) {
    HANDLE h = reinterpret_cast<HANDLE>(0x5A5A);
    EXPECT_EQ(NtOpen(WS("\\Device\\Nothing"), &h), static_cast<NTSTATUS>(STATUS_OBJECT_NAME_NOT_FOUND));
    EXPECT_EQ(NtOpen(WS("\\Device\\CdRom0"), &h), static_cast<NTSTATUS>(STATUS_ACCESS_DENIED));
    EXPECT_EQ(NtOpen(WS("\\Device\\Locked"), &h, 0), static_cast<NTSTATUS>(STATUS_ACCESS_DENIED));
    // Without OBJ_CASE_INSENSITIVE the letter case matters.
    EXPECT_EQ(NtOpen(WS("\\DEVICE\\HARDDISK0\\DR0"), &h, 0x12019F, 0), static_cast<NTSTATUS>(STATUS_OBJECT_NAME_NOT_FOUND));
    EXPECT_EQ(Value(h), 0x5A5Au);
    EXPECT_EQ(NtOpen(WS("\\??\\C:"), &h), static_cast<NTSTATUS>(STATUS_SUCCESS));
    EXPECT_EQ(Value(h), 0x100u);
    api::NtClose(h);
}

TEST_F(SimKernelTest, NtQueryObjectIsAMissingExportHere) {
    // ntdll.dll is loaded, but this export is removed: its fallback answers.
    HANDLE h = nullptr;
    ASSERT_EQ(NtOpen(WS("\\Device\\Harddisk0\\DR0"), &h), static_cast<NTSTATUS>(STATUS_SUCCESS));
    EXPECT_TRUE(api::SlotHoldsFallback("NtQueryObject"));
    EXPECT_FALSE(api::SlotHoldsFallback("NtClose"));
    bool sawMissing = false;
    for (const sim::Call &c : sim::Calls())
        if (c.op == "GetProcAddress" && c.target == "ntdll.dll!NtQueryObject") sawMissing = !c.ok && c.error == 127;
    EXPECT_TRUE(sawMissing);
    api::NtClose(h);
}

TEST_F(SimKernelTest, MissingLibrariesFailToLoadWith126) {
    os::SetLastError(0);
    EXPECT_EQ(os::LoadLibraryW(WS("psapi.dll")), nullptr);
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    HMODULE setupapi = os::LoadLibraryW(WS("SETUPAPI.DLL"));
    HMODULE cfgmgr = os::LoadLibraryW(WS("cfgmgr32.dll"));
    ASSERT_NE(setupapi, nullptr);
    EXPECT_NE(setupapi, cfgmgr);
    // setupapi.dll exports the configuration manager entries too.
    EXPECT_NE(os::GetProcAddress(setupapi, "CM_Get_DevNode_Status"), nullptr);
    EXPECT_EQ(os::GetProcAddress(setupapi, "CreateFileW"), nullptr);
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_TRUE(os::FreeLibrary(setupapi));
    EXPECT_TRUE(os::FreeLibrary(cfgmgr));
}

TEST_F(SimKernelTest, NtQueryObjectReportsTheNameAsSpelledAndOverflowsSmallBuffers) {
    sim::LoadMachine(R"({"objects": [{"name": "\\Device\\MixedCase", "aliases": ["\\\\.\\M:"]}]})");
    api::ResetForTesting();
    HANDLE h = Open(WS("\\\\.\\m:"));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const size_t needed = sizeof(UNICODE_STRING) + 2 * (std::strlen("\\Device\\MixedCase") + 1);
    std::vector<unsigned char> buffer(needed + 4, 0xCC);
    ULONG returned = 0;
    EXPECT_EQ(api::NtQueryObject(h, ObjectNameInformation, buffer.data(), static_cast<ULONG>(needed - 1), &returned),
              static_cast<NTSTATUS>(STATUS_BUFFER_OVERFLOW));
    EXPECT_EQ(returned, needed);
    // Room for the header alone is still an overflow; less than that is a
    // wrong length, and both report the size needed.
    for (ULONG length : {ULONG{0}, static_cast<ULONG>(sizeof(UNICODE_STRING) - 1)}) {
        returned = 0;
        EXPECT_EQ(api::NtQueryObject(h, ObjectNameInformation, buffer.data(), length, &returned),
                  static_cast<NTSTATUS>(0xC0000004u)) << length;  // STATUS_INFO_LENGTH_MISMATCH
        EXPECT_EQ(returned, needed);
    }
    EXPECT_EQ(api::NtQueryObject(h, ObjectNameInformation, buffer.data(), sizeof(UNICODE_STRING), &returned),
              static_cast<NTSTATUS>(STATUS_BUFFER_OVERFLOW));
    ASSERT_EQ(api::NtQueryObject(h, ObjectNameInformation, buffer.data(), static_cast<ULONG>(needed), &returned),
              static_cast<NTSTATUS>(STATUS_SUCCESS));
    const auto *info = reinterpret_cast<const OBJECT_NAME_INFORMATION *>(buffer.data());
    EXPECT_EQ(wstr::ToUtf8(WStringView(info->Name.Buffer, info->Name.Length / 2)), "\\Device\\MixedCase");
    EXPECT_EQ(buffer[needed], 0xCC);
    EXPECT_EQ(api::NtQueryObject(reinterpret_cast<HANDLE>(0x999), ObjectNameInformation, buffer.data(), 100, &returned),
              static_cast<NTSTATUS>(STATUS_INVALID_HANDLE));
    api::CloseHandle(h);
}

class SimIoctlTest : public SimKernelTest {
protected:
    struct Result {
        BOOL ok;
        DWORD error;
        DWORD returned;
    };
    Result Ioctl(const WCHAR *path, DWORD code, void *in, DWORD inSize, void *out, DWORD outSize) {
        HANDLE h = Open(path);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        os::SetLastError(0);
        DWORD returned = 0xDEADu;
        BOOL ok = api::DeviceIoControl(h, code, in, inSize, out, outSize, &returned, nullptr);
        Result r{ok, os::GetLastError(), returned};
        api::CloseHandle(h);
        return r;
    }
};

TEST_F(SimIoctlTest, DeviceNumberNeedsTwelveBytesAndMayReportAnotherCount) {
    STORAGE_DEVICE_NUMBER n{};
    Result r = Ioctl(WS("\\\\.\\PhysicalDrive0"), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, 11);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(r.returned, 0u);
    r = Ioctl(WS("\\\\.\\PhysicalDrive0"), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.error, 0u);  // untouched by success
    EXPECT_EQ(r.returned, 12u);
    EXPECT_EQ(n.DeviceType, 7u);
    EXPECT_EQ(n.DeviceNumber, 3u);
    // The volume describes its own number (reporting 8 bytes) and forwards the rest.
    r = Ioctl(WS("\\\\.\\C:"), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n);
    EXPECT_EQ(r.returned, 8u);
    EXPECT_EQ(n.PartitionNumber, 2u);
}

TEST_F(SimIoctlTest, StorageDescriptorIsCutToTheBufferWithStringsInSerialVendorProductOrder) {
    STORAGE_PROPERTY_QUERY query{};
    std::vector<unsigned char> out(200, 0xCC);
    Result r = Ioctl(WS("\\\\.\\C:"), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, out.data(), 200);
    ASSERT_TRUE(r.ok);
    STORAGE_DEVICE_DESCRIPTOR d{};
    std::memcpy(&d, out.data(), sizeof d);
    const size_t header = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    EXPECT_EQ(d.Size, header + 3 + 9 + 5);
    EXPECT_EQ(r.returned, d.Size);
    EXPECT_EQ(d.SerialNumberOffset, header);
    EXPECT_EQ(d.VendorIdOffset, header + 3);
    EXPECT_EQ(d.ProductIdOffset, header + 12);
    EXPECT_EQ(d.ProductRevisionOffset, 0u);
    EXPECT_EQ(static_cast<int>(d.BusType), 17);
    EXPECT_STREQ(reinterpret_cast<const char *>(out.data() + d.VendorIdOffset), "ACME    ");
    EXPECT_EQ(out[d.Size], 0xCC);

    std::vector<unsigned char> small(12, 0xCC);
    r = Ioctl(WS("\\\\.\\C:"), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, small.data(), 10);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 10u);
    EXPECT_EQ(small[10], 0xCC);
}

TEST_F(SimIoctlTest, RawAnswersWinAndMayFailAfterWriting) {
    unsigned char out[64];
    std::memset(out, 0xCC, sizeof out);
    // A raw answer with bytes and an error: the bytes are written and the count reported.
    Result r = Ioctl(WS("\\\\.\\PhysicalDrive0"), IOCTL_STORAGE_GET_MEDIA_TYPES_EX, nullptr, 0, out, sizeof out);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(r.returned, 4u);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(out[4], 0xCC);
    // Raw bytes are copied only up to the buffer size.
    std::memset(out, 0xCC, sizeof out);
    r = Ioctl(WS("\\Device\\Raw"), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, out, 6);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 6u);
    EXPECT_EQ(out[6], 0xCC);
    r = Ioctl(WS("\\Device\\Raw"), IOCTL_STORAGE_QUERY_PROPERTY, nullptr, 0, out, 64);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, 1117u);
    EXPECT_EQ(r.returned, 0u);
}

TEST_F(SimIoctlTest, UndescribedRequestsFailWithInvalidFunctionAndErrorAnswersWithTheirCode) {
    unsigned char out[64] = {};
    Result r = Ioctl(WS("\\Device\\Raw"), IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, nullptr, 0, out, sizeof out);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(r.returned, 0u);
    r = Ioctl(WS("\\\\.\\C:"), IOCTL_SFFDISK_QUERY_DEVICE_PROTOCOL, nullptr, 0, out, 20);  // forwarded {"error": 50}
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, 50u);
}

TEST_F(SimIoctlTest, MediaTypesNeedRoomForEveryEntry) {
    sim::LoadMachine(R"({"objects": [{"name": "\\Device\\D", "device_number": {"type": 2},
        "media_types": [{"media_type": 54, "cylinders": 4294967296, "bytes_per_sector": 2048}, {"media_type": 12}]},
        {"name": "\\Device\\Empty", "media_types": []}]})");
    api::ResetForTesting();
    std::vector<unsigned char> out(200, 0xCC);
    Result r = Ioctl(WS("\\Device\\D"), IOCTL_STORAGE_GET_MEDIA_TYPES_EX, nullptr, 0, out.data(), 8 + 32 + 31);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    r = Ioctl(WS("\\Device\\D"), IOCTL_STORAGE_GET_MEDIA_TYPES_EX, nullptr, 0, out.data(), 8 + 64);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 72u);
    GET_MEDIA_TYPES header{};
    std::memcpy(&header, out.data(), offsetof(GET_MEDIA_TYPES, MediaInfo));
    EXPECT_EQ(header.DeviceType, 2u);  // the object's device type
    EXPECT_EQ(header.MediaInfoCount, 2u);
    DEVICE_MEDIA_INFO first{};
    std::memcpy(&first, out.data() + 8, sizeof first);
    EXPECT_EQ(first.DeviceSpecific.DiskInfo.MediaType, 54u);
    EXPECT_EQ(first.DeviceSpecific.DiskInfo.Cylinders.QuadPart, 4294967296LL);
    EXPECT_EQ(first.DeviceSpecific.DiskInfo.BytesPerSector, 2048u);
    r = Ioctl(WS("\\Device\\Empty"), IOCTL_STORAGE_GET_MEDIA_TYPES_EX, nullptr, 0, out.data(), 8);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 8u);
}

TEST_F(SimIoctlTest, MountdevNameReportsItsLengthFirst) {
    const std::string name = "\\Device\\Harddisk0\\DR0";
    unsigned char out[128];
    std::memset(out, 0xCC, sizeof out);
    Result r = Ioctl(WS("\\\\.\\PhysicalDrive0"), IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, nullptr, 0, out, 4);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(r.returned, 4u);
    USHORT length = 0;
    std::memcpy(&length, out, 2);
    EXPECT_EQ(length, 2 * name.size());
    EXPECT_EQ(out[4], 0xCC);
    r = Ioctl(WS("\\\\.\\PhysicalDrive0"), IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, nullptr, 0, out, 2 + length);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 2u + length);
    EXPECT_EQ(wstr::ToUtf8(WStringView(reinterpret_cast<const WCHAR *>(out + 2), length / 2)), name);
    EXPECT_EQ(out[2 + length], 0xCC);
}

TEST_F(SimIoctlTest, SdProtocolAndCidInTheHostsByteOrder) {
    TARSEL_SFFDISK_QUERY_DEVICE_PROTOCOL_DATA protocol{};
    protocol.Size = sizeof protocol;
    Result r = Ioctl(WS("\\\\.\\E:"), IOCTL_SFFDISK_QUERY_DEVICE_PROTOCOL, nullptr, 0, &protocol, sizeof protocol);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.returned, 20u);
    EXPECT_TRUE(protocol.ProtocolGUID == guids::kSffProtocolSd);

    // Both Windows layouts are answered, whichever this build sends: the
    // block's HeaderSize says where the descriptor and the response stand.
    for (const size_t header : {size_t{20}, size_t{24}}) {
        SCOPED_TRACE(header);
        const size_t data = header + 20, size = data + 16;
        unsigned char block[64] = {};
        block[0] = static_cast<unsigned char>(header);
        block[header] = sffdisk::kSendCid;
        r = Ioctl(WS("\\\\.\\E:"), IOCTL_SFFDISK_DEVICE_COMMAND, block, size, block, size);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.returned, size);
        // CID 03 5344 5344333247 80 12345678 0156 C3, bits 127..8 least significant byte first.
        const unsigned char expected[16] = {0x56, 0x01, 0x78, 0x56, 0x34, 0x12, 0x80, 0x47,
                                            0x32, 0x33, 0x44, 0x53, 0x44, 0x53, 0x03, 0x00};
        EXPECT_EQ(std::memcmp(block + data, expected, 16), 0);
        EXPECT_EQ(block[header], sffdisk::kSendCid);  // the command block is kept
        EXPECT_EQ(block[size], 0);                    // nothing written past the block

        r = Ioctl(WS("\\\\.\\E:"), IOCTL_SFFDISK_DEVICE_COMMAND, block, size - 1, block, size);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        r = Ioctl(WS("\\\\.\\E:"), IOCTL_SFFDISK_DEVICE_COMMAND, block, size, block, size - 1);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        block[header] = 9;  // SEND_CSD is not modelled
        r = Ioctl(WS("\\\\.\\E:"), IOCTL_SFFDISK_DEVICE_COMMAND, block, size, block, size);
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    }
    unsigned char unsized[64] = {};  // a header size of neither layout
    unsized[20] = unsized[24] = sffdisk::kSendCid;
    r = Ioctl(WS("\\\\.\\E:"), IOCTL_SFFDISK_DEVICE_COMMAND, unsized, 64, unsized, 64);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SimKernelTest, DosDevicesAndTheWindowsDirectory) {
    WCHAR target[64];
    std::fill(std::begin(target), std::end(target), WCHAR(0x7777));
    DWORD n = api::QueryDosDeviceW(WS("c:"), target, 64);
    EXPECT_EQ(n, std::strlen("\\Device\\HarddiskVolume2") + 2);
    EXPECT_EQ(wstr::ToUtf8(target), "\\Device\\HarddiskVolume2");
    EXPECT_EQ(target[n - 1], 0);
    EXPECT_EQ(target[n], 0x7777);
    EXPECT_EQ(api::QueryDosDeviceW(WS("C:"), target, 5), 0u);
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(api::QueryDosDeviceW(WS("Q:"), target, 64), 0u);
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    WCHAR dir[32] = {};
    EXPECT_EQ(api::GetWindowsDirectoryW(dir, 10), 11u);  // too small: the size with the terminator
    EXPECT_EQ(dir[0], 0);
    EXPECT_EQ(api::GetWindowsDirectoryW(dir, 32), 10u);
    EXPECT_EQ(wstr::ToUtf8(dir), "C:\\Windows");

    sim::LoadMachine(R"({"windows_directory": null, "windows_directory_error": 1114})");
    api::ResetForTesting();
    EXPECT_EQ(api::GetWindowsDirectoryW(dir, 32), 0u);
    EXPECT_EQ(os::GetLastError(), 1114u);
}

TEST_F(SimKernelTest, VolumeInformation) {
    WCHAR label[16] = {}, fs[16] = {};
    DWORD serial = 0, maxLength = 0, flags = 0;
    ASSERT_TRUE(os::GetVolumeInformationW(WS("C:\\"), label, 16, &serial, &maxLength, &flags, fs, 16));
    EXPECT_EQ(wstr::ToUtf8(label), "OS");
    EXPECT_EQ(serial, 0x1A2B3C4Du);
    EXPECT_FALSE(os::GetVolumeInformationW(WS("E:\\"), label, 16, &serial, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_FALSE(os::GetVolumeInformationW(WS("Q:\\"), label, 16, &serial, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(SimKernelTest, MultiByteToWideCharIsLatin1AndHonoursTheOutputLimit) {
    const char text[] = "Caf\xE9";
    WCHAR out[8];
    std::fill(std::begin(out), std::end(out), WCHAR(0x7777));
    EXPECT_EQ(os::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0), 5);
    EXPECT_EQ(os::MultiByteToWideChar(CP_ACP, 0, text, -1, out, 4), 0);
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(out[0], 0x7777);
    EXPECT_EQ(os::MultiByteToWideChar(CP_ACP, 0, text, -1, out, 8), 5);
    EXPECT_EQ(out[3], 0xE9);
    EXPECT_EQ(out[4], 0);
    EXPECT_EQ(out[5], 0x7777);
    EXPECT_EQ(os::MultiByteToWideChar(CP_ACP, 0, text, 2, out, 8), 2);  // a counted length has no terminator
}

TEST_F(SimKernelTest, EnvironmentAndIidParsing) {
    size_t required = 99;
    WCHAR value[8] = {};
    EXPECT_EQ(os::WGetEnv(&required, value, 8, WS("systemdrive")), 0);
    EXPECT_EQ(required, 3u);
    EXPECT_EQ(wstr::ToUtf8(value), "C:");
    EXPECT_NE(os::WGetEnv(&required, value, 2, WS("SystemDrive")), 0);
    EXPECT_EQ(os::WGetEnv(&required, value, 8, WS("Unset")), 0);
    EXPECT_EQ(required, 0u);
    EXPECT_EQ(value[0], 0);

    IID iid{};
    EXPECT_EQ(os::IIDFromString(WS("{4d36e967-E325-11CE-BFC1-08002BE10318}"), &iid), S_OK);
    EXPECT_TRUE(iid == guids::kDevClassDiskDrive);
    for (const WCHAR *bad : {WS("4D36E967-E325-11CE-BFC1-08002BE10318"), WS("{4D36E967-E325-11CE-BFC1-08002BE10318"),
                             WS("{4D36E967-E325-11CE-BFC1-08002BE1031G}"), WS("")})
        EXPECT_EQ(os::IIDFromString(bad, &iid), E_INVALIDARG) << wstr::ToUtf8(bad);
}

}  // namespace

namespace {

// The keys a recorded machine replays with: handle values given in order,
// a write-access open failing with its own error, raw answers chosen by the
// request's input.
TEST_F(SimKernelTest, ReplayKeysGiveHandlesWriteErrorsAndAnswersByInput) {
    sim::LoadMachine(R"({"handle_values": ["0x300", "0x104"],
      "objects": [{"name": "\\Device\\Hub", "write_error": 32,
                   "ioctl": {"0x220448": [{"input": "01000000", "bytes": "0A0B"},
                                          {"input": "02", "error": "0x1F"},
                                          {"bytes": "FF"}]}}]})");
    api::ResetForTesting();
    EXPECT_EQ(Open(WS("\\Device\\Hub"), GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(os::GetLastError(), 32u);
    HANDLE nt = nullptr;
    EXPECT_EQ(NtOpen(WS("\\Device\\Hub"), &nt, FILE_WRITE_DATA), static_cast<NTSTATUS>(0xC0000043u));  // STATUS_SHARING_VIOLATION
    HANDLE handles[4];
    for (HANDLE &h : handles) h = Open(WS("\\Device\\Hub"));
    EXPECT_EQ(Value(handles[0]), 0x300u);
    EXPECT_EQ(Value(handles[1]), 0x104u);
    EXPECT_EQ(Value(handles[2]), 0x108u);  // on by 4 from the last value given
    EXPECT_EQ(Value(handles[3]), 0x10Cu);

    const struct {
        uint32_t port;
        DWORD inSize;
        BOOL ok;
        DWORD error;
        uint8_t first;
    } cases[] = {{1, 4, TRUE, 0, 0x0A}, {2, 4, FALSE, 31, 0}, {3, 4, TRUE, 0, 0xFF}, {1, 2, TRUE, 0, 0xFF}};
    for (const auto &c : cases) {
        uint8_t in[4] = {static_cast<uint8_t>(c.port), 0, 0, 0}, out[8] = {};
        DWORD returned = 0;
        os::SetLastError(0);
        EXPECT_EQ(api::DeviceIoControl(handles[0], 0x220448, in, c.inSize, out, sizeof out, &returned, nullptr), c.ok) << c.port;
        EXPECT_EQ(os::GetLastError(), c.error) << c.port;
        EXPECT_EQ(out[0], c.first) << c.port;
    }
    for (HANDLE h : handles) api::CloseHandle(h);
}

// Windows reuses a closed handle's value, so a recorded list repeats values;
// one still open when its turn comes is passed over, never handed out twice.
TEST_F(SimKernelTest, HandleValuesComeAgainOnlyOnceClosed) {
    sim::LoadMachine(R"({"handle_values": ["0x200", "0x200", "0x200", "0x100"],
      "objects": [{"name": "\\Device\\Hub"}]})");
    api::ResetForTesting();
    const HANDLE first = Open(WS("\\Device\\Hub"));
    EXPECT_EQ(Value(first), 0x200u);
    api::CloseHandle(first);
    const HANDLE again = Open(WS("\\Device\\Hub"));
    EXPECT_EQ(Value(again), 0x200u);
    const HANDLE open = Open(WS("\\Device\\Hub"));  // 0x200 is still open
    EXPECT_EQ(Value(open), 0x204u);
    const HANDLE low = Open(WS("\\Device\\Hub"));
    EXPECT_EQ(Value(low), 0x100u);
    const HANDLE numbered = Open(WS("\\Device\\Hub"));  // on by 4 from the last value
    EXPECT_EQ(Value(numbered), 0x104u);
    for (HANDLE h : {again, open, low, numbered}) api::CloseHandle(h);
}

}  // namespace
