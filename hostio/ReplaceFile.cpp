// Writing the capture's machine file in a directory it does not own: another
// run may write the same name at the same time, and anything may already
// stand at either name, a link to a file elsewhere included.
#include <chrono>
#include <cstdio>
#include <random>

#include "hostio/HostIo.h"
#include "hostio/SystemError.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace hostio {
namespace {

constexpr int kNameAttempts = 16;

#ifdef _WIN32
using File = HANDLE;
const File kNoFile = INVALID_HANDLE_VALUE;
unsigned long ProcessId() { return GetCurrentProcessId(); }
bool NameTaken() { return GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS; }

// CREATE_NEW fails on any existing entry, a link included: nothing is opened
// that this run did not create.
File CreateNew(const std::string &name) {
    return CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool WriteAll(File file, std::string_view text) {
    while (!text.empty()) {
        const DWORD want = text.size() > 0x100000 ? 0x100000 : static_cast<DWORD>(text.size());
        DWORD wrote = 0;
        if (!WriteFile(file, text.data(), want, &wrote, nullptr) || wrote == 0 || wrote > want) return false;
        text.remove_prefix(wrote);
    }
    return true;
}

bool FlushAndClose(File file) {
    const bool flushed = FlushFileBuffers(file) != 0;
    return CloseHandle(file) != 0 && flushed;
}

bool RemoveFile(const std::string &name) { return DeleteFileA(name.c_str()) != 0; }

// Replaces the entry at target, whatever it is, with the complete file.
// While another run replaces it at the same moment, the target is briefly
// in use and the move is refused; it is tried again for about a second.
bool RenameOver(const std::string &from, const std::string &target) {
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExA(from.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
        const DWORD error = GetLastError();
        if (attempt == 40 || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)) return false;
        Sleep(25);
    }
}
#else
using File = int;
const File kNoFile = -1;
unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }
bool NameTaken() { return errno == EEXIST; }

// O_EXCL with O_CREAT fails on any existing entry, a dangling link included;
// O_NOFOLLOW says so twice.
File CreateNew(const std::string &name) {
    return open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644);
}

bool WriteAll(File file, std::string_view text) {
    while (!text.empty()) {
        const ssize_t wrote = write(file, text.data(), text.size());
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0 || static_cast<std::size_t>(wrote) > text.size()) return false;
        text.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return true;
}

bool FlushAndClose(File file) {
    const bool flushed = fsync(file) == 0;
    return close(file) == 0 && flushed;
}

bool RemoveFile(const std::string &name) { return unlink(name.c_str()) == 0; }

// rename replaces the entry at target, a link included, and never follows it.
bool RenameOver(const std::string &from, const std::string &target) { return rename(from.c_str(), target.c_str()) == 0; }
#endif

std::string PartialName(const std::string &target, std::mt19937_64 &random) {
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%lu-%016llx.partial", ProcessId(),
                  static_cast<unsigned long long>(random()));
    return target + suffix;
}

std::mt19937_64 Seeded() {
    std::random_device device;
    const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    std::seed_seq seed{device(), device(), static_cast<unsigned>(now), static_cast<unsigned>(now >> 32),
                       static_cast<unsigned>(ProcessId())};
    return std::mt19937_64(seed);
}

// Creates the partial file under a fresh name; a name already taken (another
// run's, or anything planted there) is passed over for another.
File CreatePartial(const std::string &target, std::string &name, std::string &reason) {
    std::mt19937_64 random = Seeded();
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        name = PartialName(target, random);
        const File file = CreateNew(name);
        if (file != kNoFile) return file;
        if (!NameTaken()) break;
    }
    reason = SystemErrorText("cannot create " + name);
    return kNoFile;
}

}  // namespace

bool ReplaceWhole(const std::string &target, std::string_view text, std::string &reason) {
    std::string partial;
    const File file = CreatePartial(target, partial, reason);
    if (file == kNoFile) return false;
    bool done = WriteAll(file, text);
    if (!done) reason = SystemErrorText("cannot write " + partial);
    if (!FlushAndClose(file) && done) {
        reason = SystemErrorText("cannot write " + partial);
        done = false;
    }
    if (done && !RenameOver(partial, target)) {
        reason = SystemErrorText("cannot rename " + partial + " over " + target);
        done = false;
    }
    if (!done) RemoveFile(partial);
    return done;
}

}  // namespace hostio
