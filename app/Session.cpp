#include "app/Session.h"

#include <ctime>
#include <exception>

#include "platform/trace.h"
#include "collect/Passes.h"
#include "platform/os.h"

namespace {

void ConsoleLine(std::FILE *console, const char *line) {
    if (console == nullptr) return;
    std::fputs(line, console);
    std::fputs("\n", console);
    std::fflush(console);
}

void WriteSection(const char *heading, const DeviceIdList &list) {
    Trace("");
    Trace(heading);
    for (const WString &id : list) Trace("\t", id);
}

const char kDashes[] = "-------------------------------------------------------------------------------";
static_assert(sizeof(kDashes) - 1 == 79, "the header rule is 79 dashes");

// The session once the log is open: the header, the three passes, the lists.
void Enumerate(std::FILE *console) {
    try {
        std::time_t now = os::Time();  // -1 when the clock cannot be read
        Trace(kDashes);
        Trace("Log Session: ", S64(static_cast<int64_t>(now)));
        Trace(kDashes);

        DeviceIdList all = GetAllDeviceIDs();
        DeviceIdList legacy = GetHookedDeviceIDsLegacy();
        DeviceIdList hooked = GetHookedDeviceIDs();

        WriteSection("All devices: ", all);
        WriteSection("Hooked devices legacy: ", legacy);
        WriteSection("Hooked devices: ", hooked);

        ConsoleLine(console, "Enumeration successful");
    } catch (...) {
        // In practice only memory exhaustion while a string or a list grows.
        ConsoleLine(console, "Unexpected error during enumeration");
    }
}

}  // namespace

int RunSession(std::FILE *console) {
    SessionLog &log = Log();
    log.Open();
    if (!log.IsOpen()) {
        ConsoleLine(console, "Unable to open log file enumerate-tarsel.txt");
        return 0;
    }
    Enumerate(console);
    return 0;
}

void RunSessionWithoutFile(std::FILE *console) {
    Log().Close();
    Enumerate(console);
}
