// libFuzzer target: the whole enumeration over a fixed, realistic topology
// whose device answers come from the fuzzer's input.
//
// The first input byte picks one of the shipped machines; the rest decides,
// object by object and request by request, whether the answer is replaced by
// a raw one: its bytes, the byte count it reports, and the error it fails
// with.  Every run must finish without a sanitizer report, a leak, or a
// handle or device information set left open.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/trace.h"
#include "collect/Passes.h"
#include "platform/api.h"
#include "sim/Sim.h"

namespace {

const char *const kMachines[] = {"machines/default.json", "machines/windows-on-d.json",
                                 "machines/unmonitored.json", "machines/empty.json"};

// Every request the program sends to a device.
const uint32_t kControlCodes[] = {0x2D1080, 0x2D1400, 0x2D0C04, 0x4D0008, 0x71E80, 0x79E84,
                                  0x220408, 0x220448, 0x22040C, 0x220420, 0x220410};

// Errors a driver plausibly fails with, and 0 for success.
const uint32_t kErrors[] = {0, 0, 0, 1, 5, 21, 31, 87, 122, 234, 259, 1167};

std::vector<nlohmann::json> LoadMachines() {
    std::vector<nlohmann::json> machines;
    for (const char *name : kMachines) {
        std::ifstream in(std::string(TARSEL_SOURCE_DIR) + "/" + name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        machines.push_back(nlohmann::json::parse(text.str()));
    }
    return machines;
}

std::string Hex(const std::vector<uint8_t> &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

void ReplaceAnswers(nlohmann::json &machine, FuzzedDataProvider &input) {
    if (!machine.contains("objects")) return;
    for (nlohmann::json &object : machine["objects"]) {
        for (uint32_t code : kControlCodes) {
            if (input.remaining_bytes() == 0) return;
            if (!input.ConsumeBool()) continue;
            nlohmann::json answer;
            std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 600));
            answer["bytes"] = Hex(bytes);
            switch (input.ConsumeIntegralInRange<int>(0, 3)) {
            case 0:
                break;  // reports the bytes it copied
            case 1:
                answer["returned"] = input.ConsumeIntegralInRange<uint32_t>(0, 1200);
                break;
            default:
                answer["returned"] = input.ConsumeIntegral<uint32_t>();
                break;
            }
            uint32_t error = kErrors[input.ConsumeIntegralInRange<size_t>(0, std::size(kErrors) - 1)];
            if (error != 0) answer["error"] = error;
            char key[16];
            std::snprintf(key, sizeof key, "0x%X", code);
            object["ioctl"][key] = answer;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::vector<nlohmann::json> machines = LoadMachines();
    static bool logOpen = Log().OpenPath("/dev/null");
    (void)logOpen;

    FuzzedDataProvider input(data, size);
    nlohmann::json machine = machines[input.ConsumeIntegralInRange<size_t>(0, machines.size() - 1)];
    ReplaceAnswers(machine, input);
    sim::LoadMachine(machine.dump(), "<fuzz>");
    api::ResetForTesting();

    DeviceIdList all = GetAllDeviceIDs();
    DeviceIdList legacy = GetHookedDeviceIDsLegacy();
    DeviceIdList hooked = GetHookedDeviceIDs();

    if (sim::OpenHandleCount() != 0 || sim::OpenSetCount() != 0) {
        std::fprintf(stderr, "resource left open: %zu handles, %zu sets\n", sim::OpenHandleCount(),
                     sim::OpenSetCount());
        std::abort();
    }
    return 0;
}
