// The machine built from a record: what no machine file can say is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture/MachineBuilder.h"
#include "platform/win32.h"

namespace {

capture::Bytes WideBytes(const char *ascii) {
    capture::Bytes bytes;
    for (const char *c = ascii; *c != '\0'; ++c) bytes.insert(bytes.end(), {static_cast<uint8_t>(*c), 0});
    return bytes;
}

capture::Event DeviceId(DEVINST devinst, const char *id) {
    capture::Event e;
    e.op = "CM_Get_Device_IDW";
    e.result = CR_SUCCESS;
    e.args = {devinst};
    e.out = {WideBytes(id)};
    return e;
}

// Wine hands one DEVINST to another device in a later device information
// set; Windows never does, and a machine file gives each device one value.
TEST(MachineBuilderTest, OneDevinstNamingTwoDevicesIsRefused) {
    const struct {
        const char *second;
        bool refused;
    } cases[] = {{"USB\\VID_1234&PID_0001\\1", false}, {"usb\\vid_1234&pid_0001\\1", false},
                 {"USB\\VID_1234&PID_0002\\7", true}};
    for (const auto &c : cases) {
        const std::vector<capture::Event> events = {DeviceId(5, "USB\\VID_1234&PID_0001\\1"), DeviceId(5, c.second)};
        if (c.refused) {
            EXPECT_THROW(capture::BuildMachine(events), std::runtime_error) << c.second;
        } else {
            EXPECT_NE(capture::BuildMachine(events).find("VID_1234&PID_0001"), std::string::npos) << c.second;
        }
    }
}

}  // namespace
