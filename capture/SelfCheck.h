// The capture's check of its own machine file: the file is replayed in this
// process, over the simulator, and must log what the run logged.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/trace.h"

namespace capture {

// The run's log lines, kept as the run writes them: one block of text and
// where each line ends, since a large machine logs half a million lines.
class RunLines : public LineSink {
public:
    void Line(std::string_view line) override;
    size_t Count() const { return ends_.size(); }
    std::string_view At(size_t i) const;

private:
    std::string text_;
    std::vector<size_t> ends_;
};

// Replays `machineText` and compares its log with `run`, line by line.
// Throws Refusal naming the first line that differs, or saying that the
// capture's own reader refuses the text.  Whatever was current
// (the recording table, the late-bound table's bindings) is put back first.
void CheckReplay(const std::string &machineText, const RunLines &run);

}  // namespace capture
