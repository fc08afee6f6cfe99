#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/api.h"
#include "platform/os.h"
#include "tests/support/Harness.h"

namespace {

std::vector<std::string> CallTargets(const std::string &op) {
    std::vector<std::string> targets;
    for (const sim::Call &c : sim::Calls())
        if (c.op == op) targets.push_back(c.target);
    return targets;
}

size_t Loads(const std::string &library) {
    size_t n = 0;
    for (const std::string &t : CallTargets("LoadLibraryW"))
        if (t == library) ++n;
    return n;
}

class ApiTableTest : public ::testing::Test {
protected:
    void Use(const char *json) { testing_support::UseMachine(json); }
    void TearDown() override { api::ResetForTesting(); }
};

TEST_F(ApiTableTest, MissingLibraryGivesEveryFallbackAndIsLoadedOnce) {
    Use(R"({"libraries": {"setupapi.dll": "missing"}})");
    os::SetLastError(0);
    EXPECT_EQ(api::SetupDiGetClassDevsW(nullptr, WS("USB"), nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES),
              INVALID_HANDLE_VALUE);
    DWORD afterLoad = os::GetLastError();
    EXPECT_EQ(afterLoad, 126u);
    EXPECT_EQ(api::SetupDiEnumDeviceInfo(nullptr, 0, nullptr), FALSE);
    EXPECT_EQ(api::SetupDiDestroyDeviceInfoList(nullptr), FALSE);
    DEVINST parent = 77;
    EXPECT_EQ(api::CM_Get_Parent(&parent, 1, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(parent, 77u) << "the fallback writes no output";
    WCHAR id[4] = {'x', 0, 0, 0};
    EXPECT_EQ(api::CM_Get_Device_IDW(1, id, 4, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(id[0], 'x');
    EXPECT_EQ(os::GetLastError(), afterLoad) << "fallbacks leave the last error alone";
    EXPECT_EQ(Loads("setupapi.dll"), 1u) << "a failed load is never retried";
    for (const std::string &proc : CallTargets("GetProcAddress"))
        EXPECT_EQ(proc.find("SetupDi"), std::string::npos) << "nothing is looked up in a library that failed to load";
    EXPECT_TRUE(api::SlotHoldsFallback("SetupDiGetDeviceInterfaceDetailW"));
    EXPECT_TRUE(api::SlotHoldsFallback("CM_Get_DevNode_Registry_PropertyW"));
    api::LibraryState state = api::GetLibraryState(api::Library::Setupapi);
    EXPECT_EQ(state.handle, nullptr);
    EXPECT_TRUE(state.bound);
}

TEST_F(ApiTableTest, MissingExportFallsBackAloneAndTheRestBinds) {
    Use(R"({"libraries": {"cfgmgr32.dll": {"missing_exports": ["CM_Get_DevNode_Status"]}},
            "devices": [{"id": "ROOT\\DEVICE\\0000"}]})");
    ULONG status = 0xAAAA, problem = 0xBBBB;
    EXPECT_EQ(api::CM_Get_DevNode_Status(&status, &problem, 1, 0), static_cast<CONFIGRET>(CR_INVALID_API));
    EXPECT_EQ(status, 0xAAAAu);
    EXPECT_EQ(problem, 0xBBBBu);
    ULONG length = 0;
    EXPECT_EQ(api::CM_Get_Device_ID_Size(&length, 1, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(length, 16u);  // ROOT\DEVICE\0000
    EXPECT_TRUE(api::SlotHoldsFallback("CM_Get_DevNode_Status"));
    EXPECT_FALSE(api::SlotHoldsFallback("CM_Get_Device_ID_Size"));
}

// A process may hold several tables of the directly imported operations; the
// late-bound table loads through whichever is current, and only through it.
TEST_F(ApiTableTest, LibrariesLoadThroughTheCurrentTable) {
    Use(R"({})");
    static int refused = 0;
    refused = 0;
    os::Table refusing = sim::Table();
    refusing.LoadLibraryW = [](LPCWSTR) -> HMODULE {
        ++refused;
        return nullptr;
    };
    const os::Table &before = os::Use(refusing);
    EXPECT_EQ(&before, &sim::Table());
    EXPECT_EQ(api::SetupDiGetClassDevsW(nullptr, WS("USB"), nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(&os::Use(before), &refusing);
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(Loads("setupapi.dll"), 0u) << "the simulator's own table was not asked";
    EXPECT_EQ(api::GetLibraryState(api::Library::Setupapi).handle, nullptr);
    api::ResetForTesting();
    HDEVINFO set = api::SetupDiGetClassDevsW(nullptr, WS("USB"), nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    EXPECT_NE(set, INVALID_HANDLE_VALUE) << "back on the simulator's table";
    if (set != INVALID_HANDLE_VALUE) api::SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(Loads("setupapi.dll"), 1u);
}

TEST_F(ApiTableTest, FirstCallBindsTheWholeLibraryInTableOrder) {
    Use(R"({})");
    api::NtClose(reinterpret_cast<HANDLE>(0x100));
    std::vector<std::string> procs = CallTargets("GetProcAddress");
    const char *expected[] = {"NtCreateFile", "RtlNtStatusToDosError", "NtQueryObject", "NtClose",
                              "RtlInitUnicodeString"};
    std::vector<std::string> ntdll;
    for (const std::string &p : procs)
        for (const char *e : expected)
            if (p.find(e) != std::string::npos) ntdll.push_back(e);
    EXPECT_EQ(ntdll, std::vector<std::string>(std::begin(expected), std::end(expected)));
    size_t before = sim::Calls().size();
    api::NtClose(reinterpret_cast<HANDLE>(0x104));
    api::NtQueryObject(nullptr, ObjectNameInformation, nullptr, 0, nullptr);
    size_t lookups = 0;
    for (size_t i = before; i < sim::Calls().size(); ++i)
        if (sim::Calls()[i].op == "GetProcAddress" || sim::Calls()[i].op == "LoadLibraryW") ++lookups;
    EXPECT_EQ(lookups, 0u) << "later calls do not load or look up again";
    EXPECT_EQ(Loads("advapi32.dll") + Loads("psapi.dll") + Loads("user32.dll"), 0u);
}

TEST_F(ApiTableTest, LibraryRequestMatchesWholeCaseSensitiveNames) {
    struct Case {
        const WCHAR *request;
        std::vector<std::string> loads;
    } cases[] = {
        {WS("kernel32.dll kernel32.dll"), {"kernel32.dll"}},
        {WS("KERNEL32.DLL"), {}},
        {WS(" "), {}},
        {WS(""), {}},
        {nullptr, {}},
        {WS("kernel32"), {}},
        {WS("kernel32.dllx"), {}},
        {WS("nosuch.dll ntdll.dll setupapi.dll"), {"ntdll.dll", "setupapi.dll"}},
    };
    for (const Case &c : cases) {
        Use(R"({})");
        api::RequestLibraries(c.request);
        EXPECT_EQ(CallTargets("LoadLibraryW"), c.loads);
    }
}

TEST_F(ApiTableTest, ReleaseRunsInReverseLoadOrderAndSparesKernel32) {
    Use(R"({"libraries": {"ntdll.dll": "missing"}})");
    api::RequestLibraries(WS("kernel32.dll cfgmgr32.dll ntdll.dll setupapi.dll"));
    sim::ClearCalls();
    api::ReleaseAllForTesting();
    EXPECT_EQ(CallTargets("FreeLibrary"), (std::vector<std::string>{"setupapi.dll", "cfgmgr32.dll"}));
    EXPECT_EQ(api::GetLibraryState(api::Library::Setupapi).handle, api::NotLoadedMarker());
    EXPECT_TRUE(api::GetLibraryState(api::Library::Setupapi).bound) << "slots stay bound after release";
    EXPECT_NE(api::GetLibraryState(api::Library::Kernel32).handle, api::NotLoadedMarker());
}

TEST_F(ApiTableTest, KernelFallbacksDoTheirSimpleEquivalent) {
    Use(R"({"libraries": {"kernel32.dll": "missing"}})");
    int marker = 0;
    EXPECT_EQ(api::DecodePointer(&marker), &marker);
    EXPECT_EQ(api::EncodePointer(&marker), &marker);
    EXPECT_EQ(api::CreateFileW(WS("\\\\.\\C:"), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    DWORD returned = 99;
    EXPECT_EQ(api::DeviceIoControl(nullptr, 0, nullptr, 0, nullptr, 0, &returned, nullptr), FALSE);
    EXPECT_EQ(returned, 99u);
    CRITICAL_SECTION section;
    EXPECT_EQ(api::InitializeCriticalSectionEx(&section, 4000, 0), TRUE);
}

}  // namespace
