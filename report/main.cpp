// enumerate-tarsel-report: reads an enumerate-tarsel.txt log and reports,
// per device, whether it is seen, of interest and hooked.
#include <cstdint>
#include <cstdlib>
#include <iostream>

#if defined(__linux__) && defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#endif

#include "hostio/HostIo.h"
#include "release/Version.h"
#include "report/Report.h"

namespace {

// A large log's parse fills thousands of fresh heap pages, and where each
// first touch costs microseconds (a virtual machine) that was a third of the
// report's time on a 5,000-device log. So the heap keeps a reserve at its
// top, advised for transparent huge pages: one fault per 2 MiB, not per
// 4 KiB. Untouched, the reserve costs no memory; advice refused costs nothing.
void ReserveHeapInHugePages() {
#if defined(__linux__) && defined(__GLIBC__)
    constexpr std::size_t kReserve = std::size_t{24} << 20, kHugePage = std::size_t{2} << 20;
    // Freed blocks stay at the heap's top, and blocks up to 32 MiB come from
    // the heap rather than maps of their own.
    if (mallopt(M_TRIM_THRESHOLD, 64 << 20) == 0 || mallopt(M_MMAP_THRESHOLD, 32 << 20) == 0) return;
    void *block = std::malloc(kReserve);
    if (block == nullptr) return;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t low = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t high = (start + kReserve) & ~(kHugePage - 1);
    std::free(block);
    if (high > low) madvise(reinterpret_cast<void *>(low), high - low, MADV_HUGEPAGE);
#endif
}

}  // namespace

int main(int argc, char **argv) {
    ReserveHeapInHugePages();
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
