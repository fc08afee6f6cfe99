// tarsel-machine: checks machine files and writes them in canonical form.
//
//   tarsel-machine check FILE      exit 0, or exit 2 with the line the program prints
//   tarsel-machine normalise FILE  the canonical form on standard output
//   tarsel-machine schema          the JSON Schema of machine files
#include <cstdio>
#include <cstring>
#include <string>

#include "hostio/HostIo.h"
#include "machine/File.h"
#include "sim/Sim.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: tarsel-machine check FILE | normalise FILE | schema\n");
    return 64;
}

int Write(const std::string &text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "tarsel-machine: cannot write the output\n");
        return 1;
    }
    return 0;
}

int Run(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "schema") == 0) return Write(machine::MachineSchema());
    if (argc != 3) return Usage();
    const std::string verb = argv[1], path = argv[2];
    if (verb != "check" && verb != "normalise") return Usage();
    const std::string text = sim::ReadMachineText(path);
    if (verb == "check") {
        machine::CheckMachine(text, path);
        return 0;
    }
    return Write(machine::NormaliseMachine(text, path));
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return Run(argc, argv);
    } catch (const machine::MachineError &e) {
        std::fprintf(stderr, "%s\n", sim::BadMachineLine(e).c_str());
        return 2;
    } catch (...) {
        std::fprintf(stderr, "tarsel-machine: %s\n", hostio::CurrentExceptionText().c_str());
        return 2;
    }
}
