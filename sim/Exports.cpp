// The export tables of the simulated libraries, searched by GetProcAddress.
#include <cstring>
#include <type_traits>

#include "sim/RunState.h"
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

#define TARSEL_SIM_EXPORTS(lib, file, list, extra) const Export k##lib[] = {list(TARSEL_SIM_EXPORT){nullptr, nullptr}};
TARSEL_API_LIBRARIES(TARSEL_SIM_EXPORTS, )
#undef TARSEL_SIM_EXPORTS
#undef TARSEL_SIM_EXPORT

const struct {
    const char *library;
    const Export *exports;
} kLibraries[] = {
#define TARSEL_SIM_LIBRARY(lib, file, list, extra) {file, k##lib},
    TARSEL_API_LIBRARIES(TARSEL_SIM_LIBRARY, )
#undef TARSEL_SIM_LIBRARY
};

const Export *Find(const Export *exports, const char *name) {
    for (const Export *e = exports; e->name != nullptr; ++e)
        if (std::strcmp(e->name, name) == 0) return e;
    return nullptr;
}

}  // namespace

FARPROC LookupExport(const std::string &library, const char *name) {
    if (name == nullptr) return nullptr;
    for (const auto &l : kLibraries) {
        if (library != l.library) continue;
        const Export *e = Find(l.exports, name);
        const char *partner = rules::ForwardingPartner(library, name);
        if (e == nullptr && partner != nullptr) return LookupExport(partner, name);
        return e == nullptr ? nullptr : e->proc;
    }
    return nullptr;
}

}  // namespace sim
