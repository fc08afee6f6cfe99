// enumerate-tarsel-capture: the program's enumeration, unchanged, with every
// answer of the platform recorded; appends the same log to
// enumerate-tarsel.txt and writes what was answered as a machine file,
// enumerate-tarsel-machine.json, that replays this run.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "app/Session.h"
#include "capture/MachineBuilder.h"
#include "capture/Record.h"
#include "machine/File.h"

namespace {

const char kMachineFile[] = "enumerate-tarsel-machine.json";

// Written beside the file it replaces, then renamed over it, so that an
// existing machine file is replaced only by a complete one.
bool WriteWhole(const std::string &text, std::string *reason) {
    const std::filesystem::path target(kMachineFile);
    std::filesystem::path partial = target;
    partial += ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(partial, ignored);
            *reason = "cannot write " + partial.string();
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(partial, target, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(partial, ignored);
        *reason = error.message();
        return false;
    }
    return true;
}

}  // namespace

int main() {
    RunSession(stdout);
    std::string reason;
    try {
        const std::string machine = machine::NormaliseMachine(capture::BuildMachine(capture::Events()), kMachineFile);
        if (WriteWhole(machine, &reason)) {
            std::printf("Machine file %s\n", kMachineFile);
            return 0;
        }
    } catch (const machine::MachineError &e) {
        reason = e.what();
    } catch (const std::exception &e) {
        reason = e.what();
    }
    std::printf("Unable to write machine file %s: %s\n", kMachineFile, reason.c_str());
    return 0;
}
