#include "capture/CapturedBy.h"

#include <optional>

#include "release/Version.h"

#if defined(_WIN32) && defined(TARSEL_CAPTURE_REAL_SYSTEM)
#include <windows.h>
#endif

namespace capture {
namespace {

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

machine::CapturedBy CapturedBy() {
    machine::CapturedBy by{"enumerate-tarsel-capture", release::kVersion, release::kArchitecture, std::nullopt};
    if (const std::optional<WindowsVersion> windows = RunningWindows())
        by.windows = machine::CapturedBy::Windows{static_cast<uint32_t>(windows->major), static_cast<uint32_t>(windows->minor),
                                                  static_cast<uint32_t>(windows->build)};
    return by;
}

}  // namespace capture
