// The release's version and the build's architecture, both set by CMake
// (project VERSION and the target), so that a support engineer can tell
// which build a customer has; the capture can record them as well.
#pragma once

#include <cstdio>
#include <cstring>

namespace release {

inline constexpr char kVersion[] = TARSEL_VERSION;
inline constexpr char kArchitecture[] = TARSEL_ARCH;

// True, having printed "NAME VERSION ARCHITECTURE", when the one argument is
// --version; the caller then exits 0.
inline bool PrintedVersion(int argc, char **argv, const char *name) {
    if (argc != 2 || std::strcmp(argv[1], "--version") != 0) {
        return false;
    }
    std::printf("%s %s %s\n", name, kVersion, kArchitecture);
    return true;
}

}  // namespace release
