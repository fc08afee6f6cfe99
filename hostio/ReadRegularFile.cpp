// Reading a file from outside: regular files only, checked on the open
// handle, so that what is read is what was checked.
#include "hostio/HostIo.h"
#include "hostio/SystemError.h"

#include <algorithm>
#include <cstdint>

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

constexpr std::size_t kChunk = 64 * 1024;

// Room for the whole file and one chunk more, so that reading it copies
// nothing; a size past what memory could hold reserves nothing.
void ReserveFor(std::string &bytes, std::uint64_t size) {
    if (size < bytes.max_size() / 2) bytes.reserve(static_cast<std::size_t>(size) + kChunk);
}

#ifdef _WIN32

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

// Reads straight into bytes, which grows by chunks; sizeHint (the size the
// file reports) only reserves room: the reads decide how much there is.
bool ReadOpened(HANDLE h, std::uint64_t sizeHint, std::string &bytes, std::string &reason) {
    ReserveFor(bytes, sizeHint);
    for (;;) {
        const std::size_t used = bytes.size();
        bytes.resize(used + kChunk);
        DWORD got = 0;
        const BOOL ok = ReadFile(h, bytes.data() + used, static_cast<DWORD>(kChunk), &got, nullptr);
        bytes.resize(used + (ok && got < kChunk ? got : ok ? kChunk : 0));
        if (!ok) {
            reason = SystemErrorText("cannot read it");
            return false;
        }
        if (got == 0) return true;
    }
}

#else

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};

// As on Windows: into bytes directly, the reported size a reservation only.
bool ReadOpened(int fd, std::uint64_t sizeHint, std::string &bytes, std::string &reason) {
    ReserveFor(bytes, sizeHint);
    for (;;) {
        const std::size_t used = bytes.size();
        bytes.resize(used + kChunk);
        const ssize_t got = read(fd, bytes.data() + used, kChunk);
        bytes.resize(used + (got > 0 ? std::min(static_cast<std::size_t>(got), kChunk) : 0));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            reason = SystemErrorText("cannot read it");
            return false;
        }
        if (got == 0) return true;
    }
}

#endif

}  // namespace

bool ReadRegularFile(const std::string &path, std::string &bytes, std::string &reason) {
    bytes.clear();
    reason.clear();
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        reason = "is a directory";
        return false;
    }
    Handle file;
    file.h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.h == INVALID_HANDLE_VALUE) {
        reason = SystemErrorText("cannot open it");
        return false;
    }
    // Pipes and character devices (NUL, CON, COM1) are not files.
    if (GetFileType(file.h) != FILE_TYPE_DISK) {
        reason = "is not a regular file";
        return false;
    }
    LARGE_INTEGER size{};
    return ReadOpened(file.h, GetFileSizeEx(file.h, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0, bytes,
                      reason);
#else
    // Not blocking: opening a FIFO would otherwise wait for a writer.
    Descriptor file;
    file.fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (file.fd < 0) {
        reason = SystemErrorText("cannot open it");
        return false;
    }
    struct stat info {};
    if (fstat(file.fd, &info) != 0) {
        reason = SystemErrorText("cannot examine it");
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        reason = "is a directory";
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = "is not a regular file";
        return false;
    }
    return ReadOpened(file.fd, static_cast<std::uint64_t>(info.st_size), bytes, reason);
#endif
}

}  // namespace hostio
