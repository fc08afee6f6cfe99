// enumerate-tarsel-report: the command line, from arguments to exit status.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace report {

// Exit status: 0 report written; 1 the file holds no session (what was read
// is reported); 2 bad arguments, unreadable file, unknown session or bad
// machine file (one line on err).
int RunReport(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

}  // namespace report
