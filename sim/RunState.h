// The state of a run on the model machine: the loaded machine, the last
// error, the call record, open handles and device information sets, and the
// helpers every operation ends with.  Internal to sim/.
#pragma once

#include <string>
#include <string_view>

#include "machine/Model.h"
#include "machine/Rules.h"
#include "sim/Sim.h"

namespace sim {

// The simulator answers from the machine and by its rules.
using namespace machine;

// The loaded machine; null until the first operation boots it.
extern const Machine *g_machine;
inline const Machine &M() {
    if (g_machine == nullptr) EnsureBooted();
    return *g_machine;
}
void SetError(DWORD error);

// Replaces the loaded machine and starts the run state afresh.
void InstallMachine(std::unique_ptr<Machine> machine);
// Operation counts by name, for the statistics.
std::map<std::string, size_t> OperationCounts();

// The call record.  Tests keep it whole.  The program runs millions of
// operations on a large machine and never reads their record: it keeps the
// total only, and counts per operation when asked for statistics (see
// EnsureBooted); callers skip building targets when Recording() is false.
extern bool g_keepCalls;
extern bool g_countOps;
extern size_t g_callCount;
inline bool Recording() { return g_keepCalls; }
void KeepCall(const char *op, std::string_view target, bool ok, uint32_t error, uint32_t code, uint32_t inSize,
              uint32_t outSize);
void CountOp(const char *op);
inline void Record(const char *op, std::string_view target, bool ok, uint32_t error = 0, uint32_t code = 0,
                   uint32_t inSize = 0, uint32_t outSize = 0) {
    ++g_callCount;
    if (g_keepCalls)
        KeepCall(op, target, ok, error, code, inSize, outSize);
    else if (g_countOps)
        CountOp(op);
}
// Ending an operation, by the convention of its library: a Win32 failure
// sets the last error and returns FALSE; an NTSTATUS or CONFIGRET is
// returned as it is.  Each records the call.
inline BOOL Fail(const char *op, std::string_view target, DWORD error, uint32_t code = 0) {
    SetError(error);
    Record(op, target, false, error, code);
    return FALSE;
}
inline BOOL Succeed(const char *op, std::string_view target, uint32_t code = 0) {
    Record(op, target, true, 0, code);
    return TRUE;
}
inline NTSTATUS StatusFail(const char *op, std::string_view target, NTSTATUS status) {
    Record(op, target, false, static_cast<uint32_t>(status));
    return status;
}
inline CONFIGRET Cr(const char *op, std::string_view target, CONFIGRET result, uint32_t code = 0) {
    Record(op, target, result == CR_SUCCESS, result, code);
    return result;
}

std::string HandleText(HANDLE handle);
std::string Narrow(const WCHAR *text);                // bounded, for the record
std::string NarrowCounted(const WCHAR *text, size_t chars);
// Call record targets, built only while the record is kept.
inline std::string HandleTarget(HANDLE handle) { return Recording() ? HandleText(handle) : std::string(); }
inline std::string TextTarget(const WCHAR *text) { return Recording() ? Narrow(text) : std::string(); }

// Handles opened by CreateFileW / NtCreateFile: index of the object, or -1.
HANDLE OpenObjectHandle(int object);
int ObjectOfHandle(HANDLE handle);
bool CloseObjectHandle(HANDLE handle);

// Device information sets.
struct DeviceSet {
    Machine::Members members;
    bool presentOnly = true;  // opened with DIGCF_PRESENT
    // The interfaces of one class over the whole set, listed on the first
    // enumeration by index so later indexes cost no rescan.
    bool interfacesListed = false;
    GUID listedClass{};
    std::vector<std::pair<int, size_t>> listedInterfaces;  // device, interface
};
DeviceSet *NewSet();
// The live set a handle names, or null.  The set found last is remembered:
// walks ask for one set over and over.
extern DeviceSet *g_lastSet;
DeviceSet *FindSetSlow(HDEVINFO set);
inline DeviceSet *FindSet(HDEVINFO set) {
    return set != nullptr && set == g_lastSet ? g_lastSet : FindSetSlow(set);
}
bool DestroySet(HDEVINFO set);
void ForgetAll();

// Lookups.
int FindDeviceById(const WString &id);
// The device index of a DEVINST, or -1.
inline int NodeIndex(DEVINST node) {
    const Machine &m = M();
    if (m.index.plainDevinst) return (node >= 1 && node <= m.devices.size()) ? static_cast<int>(node - 1) : -1;
    if (!m.index.devinstSlots.empty()) return node < m.index.devinstSlots.size() ? m.index.devinstSlots[node] : -1;
    auto it = m.index.deviceByDevinst.find(node);
    return it == m.index.deviceByDevinst.end() ? -1 : it->second;
}
int FindObjectByName(const WString &name, bool caseInsensitive = true);

// The operation table used by GetProcAddress: library (lower case) and name.
FARPROC LookupExport(const std::string &library, const char *name);
void BootIfNeeded();

// Marks the calling thread as inside a simulated operation while it lives;
// set at the entry of every operation the program can call.
extern constinit thread_local int g_simulatorDepth;
class SimulatorScope {
public:
    SimulatorScope() { ++g_simulatorDepth; }
    ~SimulatorScope() { --g_simulatorDepth; }
    SimulatorScope(const SimulatorScope &) = delete;
    SimulatorScope &operator=(const SimulatorScope &) = delete;
};

}  // namespace sim
