// The machine built from a record: what no machine file can say is refused,
// in one sentence; what it can say is written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/MachineBuilder.h"
#include "platform/win32.h"
#include "platform/wstr.h"

namespace {

using capture::Event;
namespace ev = capture::ev;

Event DeviceId(DEVINST devinst, WStringView id) { return ev::CM_Get_Device_IDW{.devinst = devinst, .id = id}; }
Event IdSizeFailed(DEVINST devinst, CONFIGRET cr) { return ev::CM_Get_Device_ID_Size{.devinst = devinst, .result = cr}; }
Event ClassDevs(uint64_t set) { return ev::SetupDiGetClassDevsW{.flags = DIGCF_ALLCLASSES, .result = set}; }
Event PropertyFailed(uint64_t set, DEVINST devinst, DWORD property, DWORD error) {
    return ev::SetupDiGetDeviceRegistryPropertyW{.set = set, .devinst = devinst, .property = property, .lastError = error};
}
Event Open(WStringView name, uint64_t handle) {
    return ev::CreateFileW{.name = name, .access = GENERIC_READ, .result = handle};
}
// A request `code` on `handle`, answered with `output`.
Event Request(uint64_t handle, DWORD code, const std::vector<uint8_t> &output, BOOL result, DWORD error = 0) {
    return ev::DeviceIoControl{.handle = handle, .code = code,
                               .outSize = static_cast<DWORD>(output.size()), .returned = static_cast<DWORD>(output.size()),
                               .output = {output.data(), output.size()}, .result = result, .lastError = error};
}
const std::vector<uint8_t> kNoBytes, kOneByte = {0x41};

Event Destroy(uint64_t set) { return ev::SetupDiDestroyDeviceInfoList{.set = set, .result = TRUE}; }

// The set's element `index` is the device `devinst` of class `cls`.
Event Listed(uint64_t set, DWORD index, DEVINST devinst, const GUID &cls = GUID{}) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    data.DevInst = devinst;
    data.ClassGuid = cls;
    return ev::SetupDiEnumDeviceInfo{.set = set, .index = index, .device = data, .result = TRUE};
}

const GUID kSystem = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID kUsb = {0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

TEST(MachineBuilderTest, WritesWhatAMachineFileCanSayAndRefusesTheRestInOneSentence) {
    const WStringView A = WS("USB\\VID_1234&PID_0001\\1");
    const WStringView B = WS("USB\\VID_1234&PID_0002\\7");
    const struct {
        const char *name;
        std::vector<Event> events;
        const char *refusal;  // the start of the refusal, or null: written, holding `written`
        const char *written;
    } cases[] = {
        {"one device asked twice", {DeviceId(5, A), DeviceId(5, WS("usb\\vid_1234&pid_0001\\1"))}, nullptr, "VID_1234&PID_0001"},
        {"one value, two devices", {DeviceId(5, A), DeviceId(5, B)}, "DEVINST 0x5 named two devices, ", nullptr},
        // Wine hands one value to another device in a later set.
        {"per-set values", {ClassDevs(9), Listed(9, 0, 5), DeviceId(5, A), Destroy(9), ClassDevs(9), Listed(9, 0, 5),
                            DeviceId(5, B)},
         "DEVINST 0x5 names USB\\VID_1234&PID_0001\\1 in one device set and USB\\VID_1234&PID_0002\\7 in another: "
         "this system hands out device node values per set (Wine does)", nullptr},
        {"per-set classes", {ClassDevs(9), Listed(9, 0, 5, kUsb), Destroy(9), ClassDevs(9), Listed(9, 0, 5, kSystem)},
         "DEVINST 0x5 names a device of class {36FC9E60-C465-11CF-8056-444553540000} in one device set", nullptr},
        {"the same device in every set", {ClassDevs(9), Listed(9, 0, 5), DeviceId(5, A), Destroy(9), ClassDevs(9),
                                          Listed(9, 0, 5), DeviceId(5, A)}, nullptr, "VID_1234&PID_0001"},
        {"DEVINST 0", {ClassDevs(9), Listed(9, 0, 0, kSystem), DeviceId(0, WS("ROOT\\SYSTEM\\0001")), Destroy(9),
                       IdSizeFailed(0, CR_NO_SUCH_DEVNODE)},
         "DEVINST 0x0 names ROOT\\SYSTEM\\0001: this system hands out device node value 0", nullptr},
        {"no device 0 but answers on it", {IdSizeFailed(0, CR_NO_SUCH_DEVNODE)},
         "CM_Get_Device_ID_Size on DEVINST 0x0 answered 0xD, where a machine file answers CR_INVALID_DEVNODE", nullptr},
        {"no device 0, answered as on replay", {IdSizeFailed(0, CR_INVALID_DEVNODE)}, nullptr, "{}\n"},
        {"listed twice", {ClassDevs(9), Listed(9, 0, 7), Listed(9, 1, 7)}, "a device set listed DEVINST 0x7 twice", nullptr},
        {"an element asked again", {ClassDevs(9), Listed(9, 0, 7), Listed(9, 0, 7)}, nullptr, "\"devinst\": 7"},
        {"an identifier refused", {ClassDevs(9), Listed(9, 0, 3), IdSizeFailed(3, CR_NO_SUCH_DEVNODE)}, nullptr,
         "\"id_error\": \"0xD\""},
        {"a property left out", {ClassDevs(9), Listed(9, 0, 3), PropertyFailed(9, 3, SPDRP_FRIENDLYNAME, ERROR_INVALID_DATA)},
         nullptr, "\"devinst\": 3"},
        {"a property failing otherwise", {ClassDevs(9), Listed(9, 0, 3), PropertyFailed(9, 3, SPDRP_FRIENDLYNAME, 5)},
         "registry property 12 of DEVINST 0x3 failed with 5 and no size", nullptr},
        // The model holds 32-bit handle values; the reader refuses wider ones.
        {"a handle wider than 32 bits", {ev::CreateFileW{.name = WS("\\\\.\\X"), .access = GENERIC_READ, .result = 0x100000004}},
         "the capture built a machine its own reader refuses (the captured machine: handle_values[0]: number above "
         "4294967295)", nullptr},
        // A success too short for the name's length is kept as it came, not read past its end.
        {"a name answer of one byte", {Open(WS("\\\\.\\X"), 0x10),
                                       Request(0x10, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, kNoBytes, FALSE, ERROR_MORE_DATA),
                                       Request(0x10, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, kOneByte, TRUE)},
         nullptr, "\"41\""},
        {"a success with no bytes", {Open(WS("\\\\.\\X"), 0x10), Request(0x10, IOCTL_STORAGE_GET_DEVICE_NUMBER, kNoBytes, TRUE)},
         nullptr, "\"bytes\": \"\""},
        // Wine does not know it; the replay derives it from the identifier.
        {"a derived property failing", {ClassDevs(9), Listed(9, 0, 3), PropertyFailed(9, 3, SPDRP_ENUMERATOR_NAME, 13)},
         "registry property 22 of DEVINST 0x3 failed with 13", nullptr},
    };
    for (const auto &c : cases) {
        try {
            const std::string machine = capture::BuildMachine(c.events);
            EXPECT_EQ(c.refusal, nullptr) << c.name << ": written: " << machine;
            if (c.written != nullptr) {
                EXPECT_NE(machine.find(c.written), std::string::npos) << c.name << ": " << machine;
            }
        } catch (const capture::Refusal &refusal) {
            const std::string why = refusal.what();
            ASSERT_NE(c.refusal, nullptr) << c.name << ": refused: " << why;
            EXPECT_EQ(why.rfind(c.refusal, 0), 0u) << c.name << ": " << why;
            EXPECT_EQ(why.find('\n'), std::string::npos) << c.name;
        }
    }
}

}  // namespace
