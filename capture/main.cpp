// enumerate-tarsel-capture: the program's enumeration, unchanged, with every
// answer of the platform recorded; appends the same log to
// enumerate-tarsel.txt and writes what was answered as a machine file,
// enumerate-tarsel-machine.json, that replays this run, or says in one
// console line why this run cannot be written as one.
#include <cstdio>
#include <string>

#include "app/Session.h"
#include "capture/MachineBuilder.h"
#include "capture/SelfCheck.h"
#include "hostio/HostIo.h"
#include "platform/os.h"
#include "release/Version.h"
#include "sim/Sim.h"

namespace {

const char kMachineFile[] = "enumerate-tarsel-machine.json";

// The machine file's text for this run; a run no machine file can replay
// throws capture::Refusal.  So does a machine the capture built and its own
// reader refuses, the capture's fault, said as such (the file it names was
// never written), and one whose replay, tried here, would log otherwise than
// the run did.
std::string CapturedMachine(const capture::RunLines &run) {
    std::string text = capture::MachineOfRun();
    capture::CheckReplay(text, run);
    return text;
}

}  // namespace

// The capture starts recording: the late-bound table binds kernel32.dll
// during static initialisation, and that is part of the run.  Over the real
// system on the Windows capture, over the simulator otherwise.
const os::Table &os::StartTable() {
#ifdef TARSEL_CAPTURE_REAL_SYSTEM
    return capture::Recording(os::RealSystem());
#else
    return capture::Recording(sim::Table());
#endif
}

int main(int argc, char **argv) {
    if (release::PrintedVersion(argc, argv, "enumerate-tarsel-capture")) {
        return 0;
    }
    capture::RunLines run;
    Log().SetSink(&run);
    RunSession(stdout);
    Log().SetSink(nullptr);
    std::string reason;
    try {
        const std::string machine = CapturedMachine(run);
        // Replaced only by a complete file, never written through a link.
        if (hostio::ReplaceWhole(kMachineFile, machine, reason)) {
            std::printf("Machine file %s\n", kMachineFile);
            return 0;
        }
    } catch (...) {
        reason = hostio::CurrentExceptionText();
    }
    std::printf("Unable to write machine file %s: %s\n", kMachineFile, reason.c_str());
    return 0;
}
