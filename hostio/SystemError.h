// The last system error, as the end of a one-line reason.
#pragma once

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#endif

namespace hostio {

inline std::string SystemErrorText(const std::string &what) {
#ifdef _WIN32
    return what + " (error " + std::to_string(GetLastError()) + ")";
#else
    return what + ": " + std::strerror(errno);
#endif
}

}  // namespace hostio
