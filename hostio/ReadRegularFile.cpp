// Reading a file from outside: regular files only, checked on the open
// handle, so that what is read is what was checked.
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

constexpr std::size_t kChunk = 64 * 1024;

#ifdef _WIN32

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

bool ReadOpened(HANDLE h, std::string &bytes, std::string &reason) {
    std::string chunk(kChunk, '\0');
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
            reason = SystemErrorText("cannot read it");
            return false;
        }
        if (got == 0) return true;
        bytes.append(chunk.data(), got < chunk.size() ? got : chunk.size());
    }
}

#else

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};

bool ReadOpened(int fd, std::string &bytes, std::string &reason) {
    std::string chunk(kChunk, '\0');
    for (;;) {
        const ssize_t got = read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            reason = SystemErrorText("cannot read it");
            return false;
        }
        if (got == 0) return true;
        bytes.append(chunk.data(), static_cast<std::size_t>(got) < chunk.size() ? static_cast<std::size_t>(got) : chunk.size());
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
    return ReadOpened(file.h, bytes, reason);
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
    return ReadOpened(file.fd, bytes, reason);
#endif
}

}  // namespace hostio
