#include "capture/CapturedBy.h"

#include <nlohmann/json.hpp>
#include <optional>

#include "machine/Format.h"
#include "release/Version.h"

#if defined(_WIN32) && defined(TARSEL_CAPTURE_REAL_SYSTEM)
#include <windows.h>
#endif

namespace capture {
namespace {

namespace key = machine::format::key;

struct WindowsVersion {
    unsigned long major, minor, build;
};

// RtlGetVersion reports the version itself, where GetVersionExW reports what
// the program's manifest lets it see.  Over the simulated platform there is
// no Windows to name.
std::optional<WindowsVersion> RunningWindows() {
#if defined(_WIN32) && defined(TARSEL_CAPTURE_REAL_SYSTEM)
    using RtlGetVersionFn = LONG(WINAPI *)(OSVERSIONINFOW *);
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    FARPROC proc = ntdll != nullptr ? ::GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
    if (proc == nullptr) return std::nullopt;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    // Through void(*)(): the one function pointer type any other converts to cleanly.
    const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void (*)()>(proc));
    if (rtlGetVersion(&info) != 0) return std::nullopt;
    return WindowsVersion{info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber};
#else
    return std::nullopt;
#endif
}

}  // namespace

nlohmann::ordered_json CapturedBy() {
    nlohmann::ordered_json by{{key::kProgram, "enumerate-tarsel-capture"},
                              {key::kVersion, release::kVersion},
                              {key::kArchitecture, release::kArchitecture}};
    if (const std::optional<WindowsVersion> windows = RunningWindows())
        by[key::kWindows] = {{key::kMajor, windows->major}, {key::kMinor, windows->minor}, {key::kBuild, windows->build}};
    return by;
}

}  // namespace capture
