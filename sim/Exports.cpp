// The export tables of the simulated libraries, searched by GetProcAddress.
#include <cstring>
#include <type_traits>

#include "sim/Model.h"
#include "sim/Ops.h"

namespace sim {

#define TARSEL_SIM_CHECK(lib, name, ret, params, args, fallback) \
    static_assert(std::is_same_v<decltype(&Sim_##name), api::PFN_##name>, #name " has the wrong signature");
TARSEL_API_ALL(TARSEL_SIM_CHECK)
#undef TARSEL_SIM_CHECK

namespace {

// What the slots call: the simulated operation, marked as the simulator's.
#define TARSEL_SIM_GUARDED(lib, name, ret, params, args, fallback) \
    ret WINAPI Guarded_##name params {                               \
        SimulatorScope scope;                                        \
        return Sim_##name args;                                      \
    }
TARSEL_API_ALL(TARSEL_SIM_GUARDED)
#undef TARSEL_SIM_GUARDED

struct Export {
    const char *name;
    FARPROC proc;
};

#define TARSEL_SIM_EXPORT(lib, name, ret, params, args, fallback) {#name, reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&Guarded_##name))},

const Export kAdvapi32[] = {TARSEL_API_ADVAPI32(TARSEL_SIM_EXPORT){nullptr, nullptr}};
const Export kKernel32[] = {TARSEL_API_KERNEL32(TARSEL_SIM_EXPORT){nullptr, nullptr}};
const Export kNtdll[] = {TARSEL_API_NTDLL(TARSEL_SIM_EXPORT){nullptr, nullptr}};
const Export kPsapi[] = {TARSEL_API_PSAPI(TARSEL_SIM_EXPORT){nullptr, nullptr}};
const Export kUser32[] = {TARSEL_API_USER32(TARSEL_SIM_EXPORT){nullptr, nullptr}};
// setupapi.dll forwards the configuration manager entries to cfgmgr32.dll,
// so both libraries export every CM_ entry.
const Export kSetupapi[] = {TARSEL_API_SETUPAPI(TARSEL_SIM_EXPORT) TARSEL_API_CFGMGR32(TARSEL_SIM_EXPORT){nullptr, nullptr}};
const Export kCfgmgr32[] = {TARSEL_API_CFGMGR32(TARSEL_SIM_EXPORT)
                                TARSEL_SIM_EXPORT(Setupapi, CM_Get_Device_IDW, , , , )
                                    TARSEL_SIM_EXPORT(Setupapi, CM_Get_Parent, , , , )
                                        TARSEL_SIM_EXPORT(Setupapi, CM_Get_Child, , , , )
                                            TARSEL_SIM_EXPORT(Setupapi, CM_Get_Sibling, , , , )
                                                TARSEL_SIM_EXPORT(Setupapi, CM_Locate_DevNodeW, , , , )
                                                    TARSEL_SIM_EXPORT(Setupapi, CM_Get_DevNode_Registry_PropertyW, , , , ){
                                                        nullptr, nullptr}};
#undef TARSEL_SIM_EXPORT

const struct {
    const char *library;
    const Export *exports;
} kLibraries[] = {
    {"advapi32.dll", kAdvapi32}, {"kernel32.dll", kKernel32}, {"ntdll.dll", kNtdll},       {"psapi.dll", kPsapi},
    {"user32.dll", kUser32},     {"setupapi.dll", kSetupapi}, {"cfgmgr32.dll", kCfgmgr32},
};

}  // namespace

FARPROC LookupExport(const std::string &library, const char *name) {
    if (name == nullptr) return nullptr;
    for (const auto &l : kLibraries) {
        if (library != l.library) continue;
        for (const Export *e = l.exports; e->name != nullptr; ++e)
            if (std::strcmp(e->name, name) == 0) return e->proc;
    }
    return nullptr;
}

}  // namespace sim
