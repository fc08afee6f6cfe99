// What a main's last catch prints: whatever was thrown, as one line.
#include <exception>
#include <new>

#include "hostio/HostIo.h"

namespace hostio {

std::string CurrentExceptionText() {
    std::string text;
    try {
        throw;
    } catch (const std::bad_alloc &) {
        text = "out of memory";
    } catch (const std::exception &e) {
        text = e.what();
    } catch (...) {
        text = "unexpected error";
    }
    // A message may quote what a file held; it must not break the line.
    return PrintableLine(text);
}

}  // namespace hostio
