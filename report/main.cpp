// enumerate-tarsel-report: reads an enumerate-tarsel.txt log and reports,
// per device, whether it is seen, of interest and hooked.
#include <iostream>

#include "hostio/HostIo.h"
#include "release/Version.h"
#include "report/Report.h"

int main(int argc, char **argv) {
    if (release::PrintedVersion(argc, argv, "enumerate-tarsel-report")) {
        return 0;
    }
    try {
        return report::RunReport(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
    } catch (...) {
        std::cerr << "enumerate-tarsel-report: " << hostio::CurrentExceptionText() << '\n';
        return 2;
    }
}
