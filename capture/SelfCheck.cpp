#include "capture/SelfCheck.h"

#include <optional>

#include "app/Session.h"
#include "capture/MachineBuilder.h"
#include "hostio/HostIo.h"
#include "platform/api.h"
#include "platform/os.h"
#include "platform/wstr.h"
#include "sim/Sim.h"

namespace capture {

void RunLines::Line(std::string_view line) {
    text_.append(line);
    ends_.push_back(text_.size());
}

std::string_view RunLines::At(size_t i) const {
    const size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(text_).substr(begin, ends_[i] - begin);
}

namespace {

// The one part of a line that may differ: the heap address this line prints
// is where the run's allocator put a buffer, not an answer of the machine.
constexpr std::string_view kHeapLine = "LEAVE GetMediaTypes ";

std::string_view WithoutAddress(std::string_view line) {
    if (line.substr(0, kHeapLine.size()) != kHeapLine) return line;
    size_t end = kHeapLine.size();
    while (end < line.size() && ((line[end] >= '0' && line[end] <= '9') || (line[end] >= 'A' && line[end] <= 'F')))
        ++end;
    return line.substr(end);
}

bool SameLine(std::string_view run, std::string_view replay) {
    if (run == replay) return true;
    const bool heap = run.substr(0, kHeapLine.size()) == kHeapLine && replay.substr(0, kHeapLine.size()) == kHeapLine;
    return heap && WithoutAddress(run) == WithoutAddress(replay);
}

std::string Quoted(std::optional<std::string_view> line) {
    if (!line) return "nothing more";
    std::string text = "\"";
    text += hostio::PrintableLine(*line);
    text += "\"";
    return text;
}

// The replay's lines, compared with the run's as they come; the first
// difference is kept.
class Comparison : public LineSink {
public:
    explicit Comparison(const RunLines &run) : run_(run) {}
    void Line(std::string_view line) override {
        if (!difference_ && (next_ >= run_.Count() || !SameLine(run_.At(next_), line)))
            Differ(line);
        ++next_;
    }
    // Throws Refusal when the replay differed or stopped short.
    void Finish() {
        if (!difference_ && next_ < run_.Count()) Differ(std::nullopt);
        if (difference_) throw Refusal(*difference_);
    }

private:
    void Differ(std::optional<std::string_view> replayed) {
        std::string why = "the machine file would replay differently from line ";
        why += std::to_string(next_ + 1);
        why += ": the run logged ";
        why += Quoted(next_ < run_.Count() ? std::optional<std::string_view>(run_.At(next_)) : std::nullopt);
        why += ", the replay logs ";
        why += Quoted(replayed);
        difference_ = why;
    }
    const RunLines &run_;
    size_t next_ = 0;
    std::optional<std::string> difference_;
};

// The simulator made current for the replay, and the run's platform put
// back after it.  The late-bound table is unbound each way, so that its
// libraries are loaded from, and released to, the table that is current:
// the run's through the recording table, the replay's through the simulator.
class SimulatorCurrent {
public:
    SimulatorCurrent() : was_(Unbound(sim::Table())) {}
    ~SimulatorCurrent() { Unbound(was_); }
    SimulatorCurrent(const SimulatorCurrent &) = delete;
    SimulatorCurrent &operator=(const SimulatorCurrent &) = delete;

private:
    // api::ResetForTesting is the one way to unbind; here it is not a test's.
    static const os::Table &Unbound(const os::Table &next) {
        api::ResetForTesting();
        const os::Table &previous = os::Use(next);
        // As at start-up: kernel32.dll is bound before the program runs.
        api::RequestLibraries(WS("kernel32.dll"));
        return previous;
    }
    const os::Table &was_;
};

}  // namespace

void CheckReplay(const std::string &machineText, const RunLines &run) {
    Comparison comparison(run);
    {
        SimulatorCurrent simulator;
        // A fresh run state: handle numbering, device sets, the last error.
        // This is the one reading of the text, and the reader's check of it.
        try {
            sim::LoadMachine(machineText, kCapturedMachine);
        } catch (...) {
            throw ReaderRefusal(hostio::CurrentExceptionText());
        }
        sim::KeepCallRecord(false);
        Log().SetSink(&comparison);
        RunSessionWithoutFile(nullptr);
        Log().SetSink(nullptr);
    }
    comparison.Finish();
}

}  // namespace capture
