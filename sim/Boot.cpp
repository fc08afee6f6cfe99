// Booting the simulated platform: reading the machine named by
// TARSEL_MACHINE or the built-in one, refusing a bad one before the program
// runs, and the statistics the benchmark reads at exit.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>

#include "hostio/HostIo.h"
#include "machine/File.h"
#include "sim/RunState.h"

namespace sim {

void BootIfNeeded() {
    if (g_machine == nullptr) EnsureBooted();
}

void LoadMachine(std::string_view json, const std::string &source) { InstallMachine(ParseMachine(json, source)); }

std::string ReadMachineText(const std::string &path) {
    std::string text, reason;
    if (!hostio::ReadRegularFile(path, text, reason)) throw MachineError(path + ": cannot read the file (" + reason + ")");
    return text;
}

void LoadMachineFile(const std::string &path) { LoadMachine(ReadMachineText(path), path); }

std::string BadMachineLine(const MachineError &error) {
    return "enumerate-tarsel: bad machine file " + hostio::PrintableLine(error.what());
}

// What loading the machine cost, so that the benchmark can tell the
// simulator's start from the program's own work.
struct BootClock {
    long long wallUs = 0, cpuUs = 0;
    static BootClock Now() {
        using namespace std::chrono;
        const auto wall = duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
        const auto cpu = static_cast<long long>(std::clock()) * 1000000LL / CLOCKS_PER_SEC;  // process CPU time
        return {static_cast<long long>(wall), cpu};
    }
    BootClock Minus(const BootClock &earlier) const { return {wallUs - earlier.wallUs, cpuUs - earlier.cpuUs}; }
};
BootClock g_boot;

// TARSEL_SIM_STATS=path: at exit, write how many simulated operations ran
// and what loading the machine took, for the benchmark (tools/bench.py);
// with TARSEL_SIM_STATS_PER_OP also the count of each operation, which costs
// a table look-up on every operation.
static void WriteStats() {
    const char *path = std::getenv("TARSEL_SIM_STATS");
    if (path == nullptr || *path == 0) return;
    const std::map<std::string, size_t> perOp = OperationCounts();
    if (FILE *f = std::fopen(path, "w")) {
        std::fprintf(f, "calls %zu\n", g_callCount);
        std::fprintf(f, "boot_wall_us %lld\nboot_cpu_us %lld\n", g_boot.wallUs, g_boot.cpuUs);
        for (const auto &[op, n] : perOp) std::fprintf(f, "%s %zu\n", op.c_str(), n);
        std::fclose(f);
    }
}

void EnsureBooted() {
    if (g_machine != nullptr) return;
    const char *stats = std::getenv("TARSEL_SIM_STATS");
    const bool wantStats = stats != nullptr && *stats != 0;
    static bool statsRegistered = false;
    if (!statsRegistered) {
        statsRegistered = true;
        if (wantStats) std::atexit(WriteStats);
    }
    const BootClock start = BootClock::Now();
    try {
        const char *file = std::getenv("TARSEL_MACHINE");
        if (file != nullptr && *file != 0)
            LoadMachineFile(file);
        else
            LoadMachine(DefaultMachineJson(), "built-in default machine");
        g_keepCalls = false;
        const char *perOp = std::getenv("TARSEL_SIM_STATS_PER_OP");
        g_countOps = wantStats && perOp != nullptr && *perOp != 0;
        g_boot = BootClock::Now().Minus(start);
    } catch (const MachineError &e) {
        std::fprintf(stderr, "%s\n", BadMachineLine(e).c_str());
        std::fflush(stderr);
        std::exit(2);
    }
}

}  // namespace sim
