#include "platform/api.h"

#include <cstdlib>
#include <cstring>

#include "platform/os.h"
#include "platform/wstr.h"

namespace api {

#define TARSEL_API_DEFINE_SLOT(lib, name, ret, params, args, fallback) Proc g_slot_##name = nullptr;
TARSEL_API_ALL(TARSEL_API_DEFINE_SLOT)
#undef TARSEL_API_DEFINE_SLOT

namespace detail {
bool g_bound[static_cast<int>(Library::Count)] = {};

BOOL GetModuleHandleExFallback(LPCWSTR name, HMODULE *mod) {
    HMODULE found = os::GetModuleHandleW(name);
    if (mod != nullptr) *mod = found;
    return found != nullptr ? TRUE : FALSE;
}
}  // namespace detail

namespace {

// Fallback stubs: the same arguments as the real operation, a fixed result,
// and no change to the thread's last error.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#define TARSEL_API_FALLBACK(lib, name, ret, params, args, fallback) \
    ret WINAPI Fallback_##name params { return fallback; }
TARSEL_API_ALL(TARSEL_API_FALLBACK)
#undef TARSEL_API_FALLBACK
#pragma GCC diagnostic pop

struct Entry {
    const char *name;  // as passed to GetProcAddress; null ends the table
    Proc *slot;
    Proc fallback;
};

#define TARSEL_API_ENTRY(lib, name, ret, params, args, fallback) \
    {#name, &g_slot_##name, reinterpret_cast<Proc>(&Fallback_##name)},

#define TARSEL_API_ENTRIES(lib, file, list, extra) \
    const Entry k##lib##Entries[] = {list(TARSEL_API_ENTRY){nullptr, nullptr, nullptr}};
TARSEL_API_LIBRARIES(TARSEL_API_ENTRIES, )
#undef TARSEL_API_ENTRIES
#undef TARSEL_API_ENTRY

HMODULE NotLoaded() { return reinterpret_cast<HMODULE>(static_cast<intptr_t>(-1)); }

struct Descriptor {
    const WCHAR *fileName;
    const WCHAR *alternateName;  // absent for every library
    const Entry *entries;
    HMODULE module;
    void (*release)();
};

void ReleaseLibrary(Library library);

template <Library L>
void ReleaseRoutine() {
    ReleaseLibrary(L);
}

// kernel32.dll stays loaded: the process cannot run without it.
#define TARSEL_API_DESCRIPTOR(lib, file, list, extra)                                      \
    {WS(file), nullptr, k##lib##Entries, NotLoaded(),                                   \
     Library::lib == Library::Kernel32 ? nullptr : &ReleaseRoutine<Library::lib>},
Descriptor g_libraries[] = {TARSEL_API_LIBRARIES(TARSEL_API_DESCRIPTOR, )};
#undef TARSEL_API_DESCRIPTOR
static_assert(sizeof(g_libraries) / sizeof(g_libraries[0]) == static_cast<size_t>(Library::Count));

Descriptor &Lib(Library library) { return g_libraries[static_cast<int>(library)]; }

void ReleaseLibrary(Library library) {
    Descriptor &d = Lib(library);
    if (d.module != NotLoaded() && d.module != nullptr) {
        os::FreeLibrary(d.module);
        d.module = NotLoaded();
    }
}

// Release routines registered with the process-exit list, in load order, so
// that they run in reverse order of loading.  Kept in our own list as well so
// that tests can run them without ending the process.
Library g_loadOrder[static_cast<int>(Library::Count)];
int g_loadCount = 0;

void FillSlots(const Descriptor &d) {
    for (const Entry *e = d.entries; e->name != nullptr; ++e) {
        FARPROC proc = d.module != nullptr ? os::GetProcAddress(d.module, e->name) : nullptr;
        *e->slot = proc != nullptr ? reinterpret_cast<Proc>(proc) : e->fallback;
    }
}

bool NameMatches(const WCHAR *candidate, const WCHAR *requested, size_t length) {
    if (candidate == nullptr) return false;
    for (size_t i = 0; i < length; ++i)
        if (candidate[i] != requested[i]) return false;  // also stops at candidate's end
    return candidate[length] == 0;
}

}  // namespace

namespace detail {
void Bind(Library library) {
    Descriptor &d = Lib(library);
    if (d.module == NotLoaded()) {
        d.module = os::LoadLibraryW(d.fileName);
        if (d.module != nullptr && d.release != nullptr) {
            g_loadOrder[g_loadCount++] = library;
            std::atexit(d.release);
        }
    }
    if (!g_bound[static_cast<int>(library)]) FillSlots(d);
    g_bound[static_cast<int>(library)] = true;
}
}  // namespace detail

void RequestLibraries(LPCWSTR names) {
    if (names == nullptr) return;
    const WCHAR *p = names;
    while (*p != 0) {
        size_t length = 0;
        while (p[length] != 0 && p[length] != ' ') ++length;
        for (int i = 0; i < static_cast<int>(Library::Count); ++i) {
            const Descriptor &d = g_libraries[i];
            if (NameMatches(d.fileName, p, length) || NameMatches(d.alternateName, p, length)) {
                detail::Bind(static_cast<Library>(i));
                break;
            }
        }
        p += length;
        if (*p == ' ') ++p;
    }
}

LibraryState GetLibraryState(Library library) {
    return {Lib(library).module, detail::g_bound[static_cast<int>(library)]};
}

HMODULE NotLoadedMarker() { return NotLoaded(); }

bool SlotHoldsFallback(const char *name) {
    for (const Descriptor &d : g_libraries)
        for (const Entry *e = d.entries; e->name != nullptr; ++e)
            if (std::strcmp(e->name, name) == 0) return *e->slot == e->fallback;
    return false;
}

void ReleaseAllForTesting() {
    // The process-exit list runs the last registration first.
    for (int i = g_loadCount - 1; i >= 0; --i) ReleaseLibrary(g_loadOrder[i]);
    g_loadCount = 0;
}

void ResetForTesting() {
    ReleaseAllForTesting();
    for (int i = 0; i < static_cast<int>(Library::Count); ++i) {
        g_libraries[i].module = NotLoaded();
        detail::g_bound[i] = false;
        for (const Entry *e = g_libraries[i].entries; e->name != nullptr; ++e) *e->slot = nullptr;
    }
}

namespace {
// kernel32.dll is requested during static initialisation, before main runs.
struct StartupRequest {
    StartupRequest() { RequestLibraries(WS("kernel32.dll")); }
} g_startupRequest;
}  // namespace

}  // namespace api
