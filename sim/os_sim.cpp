// The simulated platform's core: the loaded machine, the run state (last
// error, handles, device information sets, call record), booting, and the
// directly imported operations of platform/os.h.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "platform/api.h"
#include "platform/os.h"
#include "machine/File.h"
#include "sim/Ops.h"
#include "sim/RunState.h"

namespace sim {

namespace {

// Operation counts keyed by the operation's name literal (one address per
// operation): an open-addressed table, since when asked for, counting is on
// every operation.
class OpCounts {
public:
    void Add(const char *op) {
        size_t slot = Hash(op);
        for (size_t probe = 0; probe < kSlots; ++probe, slot = (slot + 1) % kSlots) {
            if (slots_[slot].op == op) {
                ++slots_[slot].count;
                return;
            }
            if (slots_[slot].op == nullptr) {
                slots_[slot] = {op, 1};
                return;
            }
        }
        ++overflow_[op];  // more distinct operations than slots
    }
    template <typename F>
    void ForEach(F &&visit) const {
        for (const Slot &s : slots_)
            if (s.op != nullptr) visit(s.op, s.count);
        for (const auto &[op, n] : overflow_) visit(op, n);
    }
    void Clear() {
        for (Slot &s : slots_) s = Slot{};
        overflow_.clear();
    }

private:
    static constexpr size_t kSlots = 128;  // 2^7: the hash keeps the top 7 bits
    static size_t Hash(const char *op) {
        // Fibonacci hashing: literals sit close together, their low bits alike.
        return static_cast<size_t>((uint64_t{reinterpret_cast<uintptr_t>(op)} * 0x9E3779B97F4A7C15u) >> 57);
    }
    struct Slot {
        const char *op = nullptr;
        size_t count = 0;
    };
    Slot slots_[kSlots];
    std::map<const char *, size_t> overflow_;
};

// The run state lives on the heap and is never destroyed: the late-bound
// table binds libraries during static initialisation and releases them at
// exit, both outside the lifetime of ordinary globals.
struct State {
    std::unique_ptr<Machine> machine;
    std::vector<Call> calls;
    std::map<uintptr_t, int> handles;  // open handle value -> object index
    uintptr_t nextHandle = 0x100;
    size_t handlesIssued = 0;  // successful opens so far, for the machine's handle_values
    std::set<DeviceSet *> sets;
    OpCounts perOp;
};
// Plain pointers rather than function-local statics: these are read on every
// simulated operation, millions of times on a large machine.
State *g_state = nullptr;
[[gnu::noinline]] State &NewState() {
    g_state = new State;
    return *g_state;
}
inline State &S() { return g_state != nullptr ? *g_state : NewState(); }
DWORD g_lastError = 0;

// The simulated libraries: those of the late-bound table, and ole32.dll for
// IIDFromString.  Module handles are distinct, non-null, never dereferenced.
// Constant-initialised: the table binds libraries during static
// initialisation, perhaps before this file's dynamic initialisers run.
struct LoadedLibrary {
    const char *name;
    int refs;
};
#define TARSEL_SIM_MODULE(lib, file, list, extra) {file, 0},
LoadedLibrary g_modules[] = {TARSEL_API_LIBRARIES(TARSEL_SIM_MODULE, ){"ole32.dll", 0}};
#undef TARSEL_SIM_MODULE

uintptr_t ModuleHandle(const LoadedLibrary &l) { return 0x75000000u + 0x00110000u * static_cast<uintptr_t>(&l - g_modules + 1); }

}  // namespace

void InstallMachine(std::unique_ptr<Machine> machine) {
    ForgetAll();
    IndexMachine(*machine);
    S().machine = std::move(machine);
    g_machine = S().machine.get();
    g_lastError = 0;
    S().calls.clear();
    g_keepCalls = true;
    g_callCount = 0;
    S().perOp.Clear();
    S().nextHandle = 0x100;
    S().handlesIssued = 0;
    for (LoadedLibrary &l : g_modules) l.refs = 0;
}

namespace {

std::string LowerAscii(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

LoadedLibrary *ModuleByName(const WCHAR *name) {
    if (name == nullptr) return nullptr;
    std::string n = LowerAscii(Narrow(name));
    if (n.find('.') == std::string::npos) n += ".dll";
    for (LoadedLibrary &l : g_modules)
        if (n == l.name) return &l;
    return nullptr;
}

LoadedLibrary *ModuleByHandle(HMODULE module) {
    for (LoadedLibrary &l : g_modules)
        if (reinterpret_cast<uintptr_t>(module) == ModuleHandle(l)) return &l;
    return nullptr;
}

bool LibraryMissing(const std::string &name) {
    auto it = M().libraries.find(name);
    return it != M().libraries.end() && it->second.missing;
}

}  // namespace

// ---- Machine and run state ---------------------------------------------------

const Machine *g_machine = nullptr;
bool g_keepCalls = true;
bool g_countOps = false;
size_t g_callCount = 0;

std::map<std::string, size_t> OperationCounts() {
    std::map<std::string, size_t> perOp;
    S().perOp.ForEach([&](const char *op, size_t n) { perOp[op] += n; });
    for (const Call &c : S().calls) ++perOp[c.op];
    return perOp;
}

void SetError(DWORD error) { g_lastError = error; }

constinit thread_local int g_simulatorDepth = 0;
bool InsideSimulator() { return g_simulatorDepth > 0; }

void KeepCall(const char *op, std::string_view target, bool ok, uint32_t error, uint32_t code, uint32_t inSize,
              uint32_t outSize) {
    Call c;
    c.op = op;
    c.target = std::string(target);
    c.code = code;
    c.inSize = inSize;
    c.outSize = outSize;
    c.ok = ok;
    c.error = error;
    S().calls.push_back(std::move(c));
}

void CountOp(const char *op) { S().perOp.Add(op); }

const std::vector<Call> &Calls() { return S().calls; }
void KeepCallRecord(bool keep) { g_keepCalls = keep; }
void ClearCalls() {
    S().calls.clear();
    g_callCount = 0;
    S().perOp.Clear();
}
size_t CountCalls(std::string_view op) {
    size_t n = 0;
    for (const Call &c : S().calls)
        if (c.op == op) ++n;
    return n;
}
size_t CountIoctl(uint32_t code) {
    size_t n = 0;
    for (const Call &c : S().calls)
        if (c.op == "DeviceIoControl" && c.code == code) ++n;
    return n;
}

std::string HandleText(HANDLE handle) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

std::string NarrowCounted(const WCHAR *text, size_t chars) {
    if (text == nullptr) return "(null)";
    return wstr::ToUtf8(WStringView(text, chars));
}

std::string Narrow(const WCHAR *text) { return NarrowCounted(text, wstr::LenBounded(text, 32768)); }

HANDLE OpenObjectHandle(int object) {
    State &s = S();
    const std::vector<uint32_t> &given = M().handleValues;
    const bool listed = s.handlesIssued < given.size();
    uintptr_t value = listed ? given[s.handlesIssued] : s.nextHandle;
    ++s.handlesIssued;
    if (!listed || s.handles.count(value) != 0) {
        // On by 4 from the last value, past the values the list used and the
        // handles still open (a listed value comes again only once closed).
        value = s.nextHandle;
        while (std::find(given.begin(), given.end(), value) != given.end() || s.handles.count(value) != 0) value += 4;
    }
    s.nextHandle = value + 4;
    s.handles[value] = object;
    return reinterpret_cast<HANDLE>(value);
}

int ObjectOfHandle(HANDLE handle) {
    auto it = S().handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == S().handles.end() ? -1 : it->second;
}

bool CloseObjectHandle(HANDLE handle) { return S().handles.erase(reinterpret_cast<uintptr_t>(handle)) != 0; }

DeviceSet *NewSet() {
    auto *set = new DeviceSet;
    S().sets.insert(set);
    return set;
}

DeviceSet *g_lastSet = nullptr;

DeviceSet *FindSetSlow(HDEVINFO set) {
    // Only compared, never dereferenced unless it is one of ours.
    State &s = S();
    auto it = s.sets.find(static_cast<DeviceSet *>(set));
    if (it == s.sets.end()) return nullptr;
    g_lastSet = *it;
    return *it;
}

bool DestroySet(HDEVINFO set) {
    DeviceSet *s = FindSet(set);
    if (s == nullptr) return false;
    S().sets.erase(s);
    g_lastSet = nullptr;
    delete s;
    return true;
}

void ForgetAll() {
    for (DeviceSet *s : S().sets) delete s;
    S().sets.clear();
    g_lastSet = nullptr;
    S().handles.clear();
}

size_t OpenHandleCount() { return S().handles.size(); }
size_t OpenSetCount() { return S().sets.size(); }

int FindDeviceById(const WString &id) {
    const auto &byId = M().index.deviceById;
    auto it = byId.find(rules::Folded(id));
    return it == byId.end() ? -1 : it->second;
}

int FindObjectByName(const WString &name, bool caseInsensitive) {
    const Machine::Index &x = M().index;
    const auto &map = caseInsensitive ? x.objectByName : x.objectByExactName;
    auto it = map.find(caseInsensitive ? rules::Folded(name) : name);
    return it == map.end() ? -1 : it->second;
}

}  // namespace sim

namespace sim::direct {

HMODULE LoadLibraryW(LPCWSTR name) {
    sim::SimulatorScope scope;
    sim::BootIfNeeded();
    std::string text = sim::Narrow(name);
    sim::LoadedLibrary *lib = sim::ModuleByName(name);
    if (lib == nullptr || sim::LibraryMissing(lib->name)) {
        sim::SetError(ERROR_MOD_NOT_FOUND);
        Record("LoadLibraryW", text, false, ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    ++lib->refs;
    Record("LoadLibraryW", text, true);
    return reinterpret_cast<HMODULE>(sim::ModuleHandle(*lib));
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    sim::SimulatorScope scope;
    sim::BootIfNeeded();
    // Names below 64K are ordinals, which no simulated library exports.
    bool ordinal = reinterpret_cast<uintptr_t>(name) < 0x10000u;
    std::string text;
    if (ordinal) {
        text.push_back('#');
        text.append(std::to_string(reinterpret_cast<uintptr_t>(name)));
    } else {
        text = name;
    }
    sim::LoadedLibrary *lib = sim::ModuleByHandle(module);
    if (lib == nullptr) {
        sim::SetError(ERROR_MOD_NOT_FOUND);
        Record("GetProcAddress", text, false, ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    FARPROC proc = nullptr;
    if (!ordinal) {
        auto it = sim::M().libraries.find(lib->name);
        bool removed = it != sim::M().libraries.end() && it->second.missingExports.count(text) != 0;
        if (!removed) proc = sim::LookupExport(lib->name, name);
    }
    if (proc == nullptr) {
        sim::SetError(ERROR_PROC_NOT_FOUND);
        Record("GetProcAddress", std::string(lib->name) + "!" + text, false, ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    Record("GetProcAddress", std::string(lib->name) + "!" + text, true);
    return proc;
}

BOOL FreeLibrary(HMODULE module) {
    sim::SimulatorScope scope;
    sim::BootIfNeeded();
    sim::LoadedLibrary *lib = sim::ModuleByHandle(module);
    if (lib == nullptr || lib->refs == 0) {
        sim::SetError(ERROR_INVALID_HANDLE);
        Record("FreeLibrary", sim::HandleText(module), false, ERROR_INVALID_HANDLE);
        return FALSE;
    }
    --lib->refs;
    Record("FreeLibrary", lib->name, true);
    return TRUE;
}

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    sim::SimulatorScope scope;
    if (section != nullptr) std::memset(static_cast<void *>(section), 0, sizeof(CRITICAL_SECTION));
    Record("InitializeCriticalSection", "", true);
}

HMODULE GetModuleHandleW(LPCWSTR name) {
    sim::SimulatorScope scope;
    sim::BootIfNeeded();
    std::string text = sim::Narrow(name);
    sim::LoadedLibrary *lib = sim::ModuleByName(name);
    // kernel32 and ntdll are in every process; the others once loaded.
    bool resident = lib != nullptr && !sim::LibraryMissing(lib->name) &&
                    (std::strcmp(lib->name, "kernel32.dll") == 0 || std::strcmp(lib->name, "ntdll.dll") == 0 ||
                     lib->refs > 0);
    if (!resident) {
        sim::SetError(ERROR_MOD_NOT_FOUND);
        Record("GetModuleHandleW", text, false, ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    Record("GetModuleHandleW", text, true);
    return reinterpret_cast<HMODULE>(sim::ModuleHandle(*lib));
}

DWORD GetLastError() { return sim::g_lastError; }

std::time_t Time() {
    sim::SimulatorScope scope;
    const sim::Machine &m = sim::M();
    // Not a system call: left out of the call record.
    return m.clock ? static_cast<std::time_t>(*m.clock) : std::time(nullptr);
}
void SetLastError(DWORD error) { sim::g_lastError = error; }

HRESULT IIDFromString(LPCWSTR text, LPIID iid) {
    sim::SimulatorScope scope;
    sim::BootIfNeeded();
    std::string s = sim::Narrow(text);
    GUID g{};
    bool ascii = text != nullptr;
    for (size_t i = 0; ascii && text[i] != 0; ++i) ascii = text[i] < 0x80;
    if (text == nullptr || iid == nullptr || !ascii || !machine::ParseGuidText(s, &g)) {
        Record("IIDFromString", s, false, static_cast<uint32_t>(E_INVALIDARG));
        return E_INVALIDARG;
    }
    std::memcpy(static_cast<void *>(iid), &g, sizeof(GUID));
    Record("IIDFromString", s, true);
    return S_OK;
}

BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR volumeName, DWORD volumeNameSize, LPDWORD serial,
                           LPDWORD maxComponentLength, LPDWORD fileSystemFlags, LPWSTR fileSystemName,
                           DWORD fileSystemNameSize) {
    sim::SimulatorScope scope;
    const sim::Machine &m = sim::M();
    std::string text = sim::Narrow(root);
    auto fail = [&](DWORD error) {
        sim::SetError(error);
        Record("GetVolumeInformationW", text, false, error);
        return FALSE;
    };
    // "C:\" names the volume of drive C:.
    size_t len = wstr::LenBounded(root, 4);
    if (root == nullptr || len < 2 || root[1] != ':' || (len >= 3 && root[2] != '\\') || len > 3)
        return fail(ERROR_PATH_NOT_FOUND);
    WString drive(root, 2);
    const sim::Volume *vol = nullptr;
    for (const auto &v : m.volumes)
        if (wstr::EqualNoCase(WStringView(v.first), WStringView(drive))) vol = &v.second;
    if (vol == nullptr) return fail(ERROR_PATH_NOT_FOUND);
    if (vol->error) return fail(*vol->error);
    if ((volumeName != nullptr && volumeNameSize < vol->label.size() + 1) ||
        (fileSystemName != nullptr && fileSystemNameSize < vol->fileSystem.size() + 1))
        return fail(24);  // ERROR_BAD_LENGTH
    if (volumeName != nullptr) {
        std::memcpy(volumeName, vol->label.c_str(), (vol->label.size() + 1) * sizeof(WCHAR));
    }
    if (fileSystemName != nullptr) {
        std::memcpy(fileSystemName, vol->fileSystem.c_str(), (vol->fileSystem.size() + 1) * sizeof(WCHAR));
    }
    if (serial != nullptr) *serial = vol->serial;
    if (maxComponentLength != nullptr) *maxComponentLength = vol->maxComponentLength;
    if (fileSystemFlags != nullptr) *fileSystemFlags = vol->fileSystemFlags;
    Record("GetVolumeInformationW", text, true);
    return TRUE;
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes, LPWSTR wide, int chars) {
    sim::SimulatorScope scope;
    auto fail = [&](DWORD error) {
        sim::SetError(error);
        Record("MultiByteToWideChar", "", false, error, codePage);
        return 0;
    };
    if (text == nullptr || bytes == 0 || bytes < -1 || chars < 0 || (wide == nullptr && chars != 0))
        return fail(ERROR_INVALID_PARAMETER);
    (void)flags;
    // -1: the text and its terminator.
    size_t count = bytes == -1 ? std::strlen(text) + 1 : static_cast<size_t>(bytes);
    if (count > 0x7FFFFFFFu) return fail(ERROR_INVALID_PARAMETER);
    if (chars == 0) {
        Record("MultiByteToWideChar", "", true, 0, codePage);
        return static_cast<int>(count);
    }
    if (static_cast<size_t>(chars) < count) return fail(ERROR_INSUFFICIENT_BUFFER);
    // The simulated system's code page is Latin-1: each byte is its own code point.
    for (size_t i = 0; i < count; ++i) wide[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
    Record("MultiByteToWideChar", "", true, 0, codePage);
    return static_cast<int>(count);
}

int WGetEnv(size_t *required, WCHAR *buffer, size_t count, const WCHAR *name) {
    sim::SimulatorScope scope;
    const sim::Machine &m = sim::M();
    std::string text = sim::Narrow(name);
    if (required == nullptr || name == nullptr || (buffer == nullptr && count != 0)) {
        Record("WGetEnv", text, false, EINVAL);
        return EINVAL;
    }
    *required = 0;
    if (buffer != nullptr && count != 0) buffer[0] = 0;
    WString key(name, wstr::LenBounded(name, 32768));
    const WString *value = nullptr;
    for (const auto &e : m.environment)
        if (wstr::EqualNoCase(WStringView(e.first), WStringView(key))) value = &e.second;
    if (value == nullptr) {
        Record("WGetEnv", text, true);
        return 0;
    }
    *required = value->size() + 1;
    if (buffer == nullptr) {  // size query
        Record("WGetEnv", text, true);
        return 0;
    }
    if (count < value->size() + 1) {
        Record("WGetEnv", text, false, ERANGE);
        return ERANGE;
    }
    std::memcpy(buffer, value->c_str(), (value->size() + 1) * sizeof(WCHAR));
    Record("WGetEnv", text, true);
    return 0;
}

namespace {
constexpr os::Table kTable = {TARSEL_OS_ALL(TARSEL_OS_ENTRY)};
}  // namespace

}  // namespace sim::direct

const os::Table &sim::Table() { return direct::kTable; }
