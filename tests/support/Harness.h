// Shared test fixtures: a simulated machine per test and the log lines the
// code under test wrote.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/trace.h"
#include "platform/api.h"
#include "sim/Sim.h"

namespace testing_support {

// Loads a machine and starts from a fresh late-bound table, so every test
// binds its libraries against its own machine.
inline void UseMachine(std::string_view json) {
    sim::LoadMachine(json, "<test>");
    api::ResetForTesting();
    sim::ClearCalls();
}

// Wide identifiers as UTF-8, for comparing result lists.
inline std::vector<std::string> Utf8List(const std::vector<WString> &ids) {
    std::vector<std::string> out;
    for (const WString &id : ids) out.push_back(wstr::ToUtf8(id));
    return out;
}

// Reads a file of the source tree (machine files, expected logs).
std::string ReadSourceFile(const std::string &relativePath);

}  // namespace testing_support

// Base fixture: captures the trace lines written during the test.
class MachineTest : public ::testing::Test {
protected:
    void Load(std::string_view json) {
        testing_support::UseMachine(json);
        Log().StartCapture();
    }
    std::vector<std::string> Lines() { return Log().TakeCaptured(); }
    void TearDown() override {
        Log().TakeCaptured();
        EXPECT_EQ(sim::OpenHandleCount(), 0u) << "a handle was left open";
        EXPECT_EQ(sim::OpenSetCount(), 0u) << "a device information set was left open";
    }
};
