#include "platform/trace.h"

#include <cinttypes>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tlog {

void AppendValue(std::string &out, const char *label) {
    if (label != nullptr) out.append(label);
}

void AppendValue(std::string &out, std::string_view label) { out.append(label); }

void AppendValue(std::string &out, const WCHAR *text) {
    if (text == nullptr) return;
    for (; *text != 0; ++text) out.push_back(*text <= 0xFF ? static_cast<char>(*text) : '?');
}

void AppendValue(std::string &out, WCHAR *text) { AppendValue(out, static_cast<const WCHAR *>(text)); }

void AppendValue(std::string &out, const WString &text) {
    // A string value ends at its first NUL, as the C runtime would print it.
    AppendValue(out, text.c_str());
}

namespace {
void AppendFormatted(std::string &out, const char *format, auto value) {
    char digits[32];
    int n = std::snprintf(digits, sizeof digits, format, value);
    if (n > 0) out.append(digits, static_cast<size_t>(n));
}
}  // namespace

void AppendValue(std::string &out, U value) { AppendFormatted(out, "%" PRIu32, value.v); }
void AppendValue(std::string &out, S value) { AppendFormatted(out, "%" PRId32, value.v); }
void AppendValue(std::string &out, S64 value) { AppendFormatted(out, "%" PRId64, value.v); }
void AppendValue(std::string &out, F value) { out.push_back(value.v ? '1' : '0'); }
void AppendValue(std::string &out, P value) { AppendFormatted(out, "%08" PRIX32, value.v); }

}  // namespace tlog

SessionLog &Log() {
    static SessionLog log;
    return log;
}

#ifdef _WIN32
// The log is the C runtime's business, not a device query: it uses the real
// file API directly.  Append-only access makes every write land at the end of
// the file in one piece, also with other processes appending.
bool SessionLog::OpenPath(const char *path) {
    Close();
    HANDLE h = ::CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    m_fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), 0);
    if (m_fd < 0) {
        ::CloseHandle(h);
        return false;
    }
    m_failed = false;
    return true;
}

static bool WriteAll(int fd, const char *data, size_t size) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD written = 0;
    return ::WriteFile(h, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

void SessionLog::Close() {
    if (m_fd >= 0) _close(m_fd);
    m_fd = -1;
}
#else
bool SessionLog::OpenPath(const char *path) {
    Close();
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    m_fd = fd;
    m_failed = false;
    return true;
}

static bool WriteAll(int fd, const char *data, size_t size) {
    ssize_t n;
    do {
        n = ::write(fd, data, size);
    } while (n < 0 && errno == EINTR);
    if (n >= 0 && static_cast<size_t>(n) == size) return true;
    if (n > 0) {
        // A short append (a full disk or a file-size limit) would leave half a
        // line behind; cut it off so the log ends with a complete line.
        off_t end = ::lseek(fd, 0, SEEK_CUR);
        if (end >= n) (void)!::ftruncate(fd, end - n);
    }
    return false;
}

void SessionLog::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}
#endif

bool SessionLog::Open() { return OpenPath(kFileName); }

bool SessionLog::IsOpen() const { return m_fd >= 0; }

void SessionLog::WriteLine(std::string_view line) {
    if (m_capturing) m_captured.emplace_back(line);
    if (m_sink != nullptr) m_sink->Line(line);
    if (m_fd < 0 || m_failed) return;
    m_bytes.assign(line);
    m_bytes.append("\r\n");
    if (!WriteAll(m_fd, m_bytes.data(), m_bytes.size())) m_failed = true;
}

void SessionLog::StartCapture() {
    m_captured.clear();
    m_capturing = true;
}

std::vector<std::string> SessionLog::TakeCaptured() {
    m_capturing = false;
    std::vector<std::string> lines;
    lines.swap(m_captured);
    return lines;
}
