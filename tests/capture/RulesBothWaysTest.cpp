// The Windows rules both ways: for each case, what the simulator answers on a
// machine, and what a replay of the machine the capture writes from those
// answers says.  The two must agree, whatever order the run learnt things in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/MachineBuilder.h"
#include "platform/api.h"
#include "platform/os.h"
#include "platform/win32.h"
#include "sim/Sim.h"
#include "tests/support/Harness.h"

namespace {

// One open and, when it succeeds, the device number read through it.
struct Answer {
    uint64_t handle = 0;
    uint32_t error = 0;  // CreateFileW's last error, or NtCreateFile's status
    std::vector<uint8_t> number;
    bool operator==(const Answer &o) const { return error == o.error && number == o.number; }
};

struct Case {
    const char *name;
    const char *path;
    bool native;         // opened with NtCreateFile
    uint32_t access;
    const char *drive;   // what dos_devices maps C: to, or null
    bool askDriveFirst;  // the run asks where C: leads before the open
    const char *object;  // the machine's one object: its name, then its other keys
};

std::string Json(const std::string &text) {
    std::string out;
    for (char c : text) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return out;
}

std::string MachineOf(const Case &c) {
    std::string json = "{\"objects\": [{\"name\": \"" + Json(c.object) + "\"}]";
    if (c.drive != nullptr) json += ", \"dos_devices\": {\"C:\": \"" + Json(c.drive) + "\"}";
    return json + "}";
}

uint32_t QueryDrive() {
    WCHAR target[64] = {};
    return api::QueryDosDeviceW(WS("C:"), target, 64);
}

Answer Open(const Case &c) {
    Answer a;
    const WString path = wstr::FromUtf8(c.path);
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (c.native) {
        UNICODE_STRING name{static_cast<USHORT>(path.size() * sizeof(WCHAR)), static_cast<USHORT>(path.size() * sizeof(WCHAR)),
                            const_cast<WCHAR *>(path.c_str())};
        OBJECT_ATTRIBUTES attributes{};
        attributes.Length = sizeof attributes;
        attributes.ObjectName = &name;
        attributes.Attributes = OBJ_CASE_INSENSITIVE;
        IO_STATUS_BLOCK status{};
        HANDLE opened = nullptr;
        a.error = static_cast<uint32_t>(api::NtCreateFile(&opened, c.access, &attributes, &status, nullptr, 0,
                                                          FILE_SHARE_READ, FILE_OPEN, 0, nullptr, 0));
        if (a.error == 0) handle = opened;
    } else {
        handle = api::CreateFileW(path.c_str(), c.access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) a.error = os::GetLastError();
    }
    if (handle == INVALID_HANDLE_VALUE) return a;
    a.handle = reinterpret_cast<uintptr_t>(handle);
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    if (api::DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number, &returned, nullptr))
        a.number.assign(reinterpret_cast<const uint8_t *>(&number), reinterpret_cast<const uint8_t *>(&number) + returned);
    api::CloseHandle(handle);
    return a;
}

// The run as the machine answers it, in the case's order.
Answer RunCase(const Case &c) {
    if (c.askDriveFirst) QueryDrive();
    Answer a = Open(c);
    if (!c.askDriveFirst) QueryDrive();
    return a;
}

// The record a capture of that run holds; its strings look into `text`.
struct Recorded {
    WString path, drive;
    std::vector<capture::Event> events;
};

void Record(const Case &c, const Answer &a, Recorded &record) {
    namespace ev = capture::ev;
    record.path = wstr::FromUtf8(c.path);
    ev::QueryDosDeviceW drive{.device = WS("C:"), .max = 64};
    if (c.drive != nullptr) {
        record.drive = wstr::FromUtf8(c.drive);
        record.drive.append({0, 0});
        drive.target = record.drive;
        drive.result = static_cast<DWORD>(record.drive.size());
    } else {
        drive.lastError = ERROR_FILE_NOT_FOUND;
    }
    auto &events = record.events;
    if (c.askDriveFirst) events.push_back(drive);
    if (c.native) {
        events.push_back(ev::NtCreateFile{.name = record.path, .access = c.access, .share = FILE_SHARE_READ,
                                          .disposition = FILE_OPEN, .handle = a.handle,
                                          .result = static_cast<NTSTATUS>(a.error)});
    } else {
        events.push_back(ev::CreateFileW{
            .name = record.path, .access = c.access, .share = FILE_SHARE_READ, .disposition = OPEN_EXISTING,
            .result = a.error != 0 ? reinterpret_cast<uintptr_t>(INVALID_HANDLE_VALUE) : a.handle, .lastError = a.error});
    }
    if (a.error == 0) {
        events.push_back(ev::DeviceIoControl{.handle = a.handle, .code = IOCTL_STORAGE_GET_DEVICE_NUMBER,
                                             .outSize = sizeof(STORAGE_DEVICE_NUMBER),
                                             .returned = static_cast<DWORD>(a.number.size()), .output = a.number,
                                             .result = !a.number.empty(), .lastError = a.number.empty() ? 1u : 0u});
        if (c.native) events.push_back(ev::NtClose{.handle = a.handle, .result = STATUS_SUCCESS});
        else events.push_back(ev::CloseHandle{.handle = a.handle, .result = TRUE});
    }
    if (!c.askDriveFirst) events.push_back(drive);
}

// The volume, answering its device number (the comment closes the name's quote).
constexpr char kVolume3[] = "\\Device\\HarddiskVolume3\", \"device_number\": {\"type\": 7, \"number\": 5}, \"comment\": \"";
constexpr uint32_t kRead = GENERIC_READ;
constexpr uint32_t kReadWrite = GENERIC_READ | GENERIC_WRITE;

// Path resolution, access and open errors; the volume answers its device number.
const Case kCases[] = {
    {"drive through its DOS device, asked after the open", "\\\\.\\C:", false, kRead, "\\Device\\HarddiskVolume3", false,
     kVolume3},
    {"drive through its DOS device, asked first", "\\\\.\\C:", false, kRead, "\\Device\\HarddiskVolume3", true,
     kVolume3},
    {"drive of no DOS device, by its own name", "\\\\?\\C:", false, kRead, nullptr, false,
     "\\\\?\\C:\", \"device_number\": {\"type\": 7, \"number\": 5}, \"comment\": \""},
    {"drive whose DOS device leads nowhere", "\\\\.\\C:", false, kRead, "\\Device\\HarddiskVolume9", false,
     kVolume3},
    {"kernel name below GLOBALROOT", "\\\\.\\GLOBALROOT\\Device\\HarddiskVolume3", false, kRead, nullptr, false,
     kVolume3},
    {"native drive, asked after the open", "\\??\\C:", true, kRead, "\\Device\\HarddiskVolume3", false,
     kVolume3},
    {"native drive below GLOBAL??, asked first", "\\GLOBAL??\\C:", true, kRead, "\\Device\\HarddiskVolume3", true,
     kVolume3},
    {"an alias, letter case aside", "\\\\.\\TARSEL", false, kRead, nullptr, false,
     "\\Device\\Tarsel0\", \"aliases\": [\"\\\\.\\tarsel\"], \"device_number\": {\"type\": 7, \"number\": 5}, \"comment\": \""},
    {"read-only object opened for reading", "\\\\.\\GLOBALROOT\\Device\\HarddiskVolume3", false, kRead, nullptr, false,
     "\\Device\\HarddiskVolume3\", \"read_only\": true, \"device_number\": {\"type\": 7, \"number\": 5}, \"comment\": \""},
    {"read-only object opened for writing", "\\\\.\\GLOBALROOT\\Device\\HarddiskVolume3", false, kReadWrite, nullptr,
     false, "\\Device\\HarddiskVolume3\", \"read_only\": true, \"comment\": \""},
    {"open error given as a status, opened by path", "\\\\.\\GLOBALROOT\\Device\\HarddiskVolume3", false, kRead,
     nullptr, false, "\\Device\\HarddiskVolume3\", \"open_error\": \"0xC00000A3\", \"comment\": \""},
    {"open error given as an error, opened natively", "\\Device\\HarddiskVolume3", true, kRead, nullptr, false,
     "\\Device\\HarddiskVolume3\", \"open_error\": 32, \"comment\": \""},
    {"open error of no known pair", "\\Device\\HarddiskVolume3", true, kRead, nullptr, false,
     "\\Device\\HarddiskVolume3\", \"open_error\": \"0xC0000185\", \"comment\": \""},
};

TEST(RulesBothWaysTest, ReplayOfTheCaptureAnswersAsTheMachine) {
    for (const Case &c : kCases) {
        testing_support::UseMachine(MachineOf(c));
        const Answer answered = RunCase(c);
        Recorded record;
        Record(c, answered, record);
        const std::string captured = capture::BuildMachine(record.events);
        testing_support::UseMachine(captured);
        EXPECT_EQ(RunCase(c), answered) << c.name << "\n" << captured;
        EXPECT_EQ(sim::OpenHandleCount(), 0u);
    }
}

// The status an open fails with natively and the error it fails with by path
// are one pair: RtlNtStatusToDosError of the status is the error.
TEST(RulesBothWaysTest, OpenErrorsPairAsStatusToErrorMaps) {
    for (const char *code : {"2", "3", "5", "21", "32", "87", "1", "31", "\"0xC0000034\"", "\"0xC0000022\""}) {
        testing_support::UseMachine(std::string("{\"objects\": [{\"name\": \"\\\\Device\\\\Gone\", \"open_error\": ") +
                                    code + "}]}");
        const Answer native = Open({"", "\\Device\\Gone", true, kRead, nullptr, false, ""});
        const Answer byPath = Open({"", "\\\\.\\GLOBALROOT\\Device\\Gone", false, kRead, nullptr, false, ""});
        EXPECT_EQ(api::RtlNtStatusToDosError(static_cast<NTSTATUS>(native.error)), byPath.error) << code;
    }
}

}  // namespace
