// One run of the whole enumeration on the built-in default machine in which
// one allocation of the program's own fails.
//
//   allocfail_run K
//
// K = 0 fails nothing; K > 0 fails the K-th allocation made outside the
// simulator after the machine is loaded: operator new (every form) throws or
// returns null as its form requires, malloc/calloc/realloc return null (the
// link wraps them).  The simulator's own allocations are neither counted nor
// failed: the real system does not fail that way.  The console line goes to
// stdout as the program prints it; stderr ends with
//   allocations: N failed: yes|no
// where N counts the allocations seen, so the driver knows how many runs make
// up the whole test and that the K-th allocation was really reached.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "app/Session.h"
#include "sim/Sim.h"

// The C allocator itself, under the link's wrappers below.
extern "C" {
void *__real_malloc(std::size_t size);
void *__real_calloc(std::size_t count, std::size_t size);
void *__real_realloc(void *block, std::size_t size);
}

namespace {

std::atomic<bool> g_armed{false};
std::atomic<long> g_count{0};
long g_failAt = 0;
std::atomic<bool> g_failed{false};

// Whether this allocation is the one to fail.
bool FailThisOne() {
    if (!g_armed.load(std::memory_order_relaxed) || sim::InsideSimulator()) return false;
    long n = g_count.fetch_add(1) + 1;
    if (n != g_failAt) return false;
    g_failed = true;
    return true;
}

void *Allocate(std::size_t size, std::size_t alignment) {
    if (FailThisOne()) return nullptr;
    if (size == 0) size = 1;
    if (alignment <= alignof(std::max_align_t)) return __real_malloc(size);
    void *p = nullptr;
    return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
}

void *AllocateOrThrow(std::size_t size, std::size_t alignment) {
    void *p = Allocate(size, alignment);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

extern "C" {

void *__wrap_malloc(std::size_t size) { return FailThisOne() ? nullptr : __real_malloc(size); }
void *__wrap_calloc(std::size_t count, std::size_t size) {
    return FailThisOne() ? nullptr : __real_calloc(count, size);
}
void *__wrap_realloc(void *block, std::size_t size) { return FailThisOne() ? nullptr : __real_realloc(block, size); }
}

constexpr std::size_t kPlain = alignof(std::max_align_t);

void *operator new(std::size_t size) { return AllocateOrThrow(size, kPlain); }
void *operator new[](std::size_t size) { return AllocateOrThrow(size, kPlain); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept { return Allocate(size, kPlain); }
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept { return Allocate(size, kPlain); }
void *operator new(std::size_t size, std::align_val_t a) { return AllocateOrThrow(size, static_cast<std::size_t>(a)); }
void *operator new[](std::size_t size, std::align_val_t a) {
    return AllocateOrThrow(size, static_cast<std::size_t>(a));
}
void *operator new(std::size_t size, std::align_val_t a, const std::nothrow_t &) noexcept {
    return Allocate(size, static_cast<std::size_t>(a));
}
void *operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t &) noexcept {
    return Allocate(size, static_cast<std::size_t>(a));
}

void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept { std::free(p); }

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: allocfail_run K\n");
        return 2;
    }
    char *end = nullptr;
    g_failAt = std::strtol(argv[1], &end, 10);
    if (end == argv[1] || *end != 0 || g_failAt < 0) {
        std::fprintf(stderr, "allocfail_run: bad K %s\n", argv[1]);
        return 2;
    }
    sim::LoadMachine(sim::DefaultMachineJson(), "built-in default machine");
    g_armed = true;
    int status = RunSession(stdout);
    g_armed = false;
    std::fprintf(stderr, "allocations: %ld failed: %s\n", g_count.load(), g_failed ? "yes" : "no");
    return status;
}
