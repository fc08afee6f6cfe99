#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/trace.h"

#ifdef _WIN32
#include <process.h>
#else
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// Unique per process: several builds' tests may run at once on one machine.
std::string TempPath(const char *name) {
    return ::testing::TempDir() + std::to_string(getpid()) + "-" + name;
}

std::string ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Format(auto... values) {
    std::string line;
    (tlog::AppendValue(line, values), ...);
    return line;
}

TEST(LogValueKinds, EachKindIsWrittenInItsDefaultForm) {
    const WCHAR latin[] = {'A', 0xE9, 0xFF, 0x100, 0x20AC, 'z', 0};
    struct Case {
        std::string got;
        std::string want;
    } cases[] = {
        {Format("ERROR GetDeviceNumber ", U(5)), "ERROR GetDeviceNumber 5"},
        {Format("x ", U(4294967295u)), "x 4294967295"},
        {Format("x ", S(-1)), "x -1"},
        {Format("x ", S(-2147483647 - 1)), "x -2147483648"},
        {Format("x ", S64(-1)), "x -1"},
        {Format("x ", S64(512LL * 63 * 255 * 1000)), "x 8225280000"},
        {Format("x ", F(true), F(false)), "x 10"},
        {Format("x ", P(reinterpret_cast<void *>(0x1A4))), "x 000001A4"},
        {Format("x ", P(nullptr)), "x 00000000"},
        {Format("x ", P(reinterpret_cast<void *>(0xDEADBEEFu))), "x DEADBEEF"},
        {Format("label ", static_cast<const WCHAR *>(nullptr)), "label "},
        {Format("label ", WS("text")), "label text"},
        {Format("label ", latin), "label A\xE9\xFF??z"},
        {Format("INFO IsSystemDisk ", "Type: ", S(0), " ", S(-1), ", ID: ", U(1), " ", U(2)),
         "INFO IsSystemDisk Type: 0 -1, ID: 1 2"},
    };
    for (const Case &c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(LogValueKinds, OwnedStringStopsAtItsFirstNul) {
    WString s = WS("ab");
    s.push_back(0);
    s += WS("cd");
    EXPECT_EQ(Format("v ", s), "v ab");
}

TEST(SessionLogFile, LinesEndWithCrLfAndAppendToExistingBytes) {
    std::string path = TempPath("log-format.txt");
    std::remove(path.c_str());
    {
        std::ofstream seed(path, std::ios::binary);
        seed << "old\xff bytes without newline";
    }
    SessionLog log;
    ASSERT_TRUE(log.OpenPath(path.c_str()));
    log.WriteLine("INFO CheckRemovableFromCM (parent) m_bRemovable 1");
    log.WriteLine("LEAVE IsDevnodeStatusValid ");
    log.WriteLine("");
    log.Close();
    EXPECT_EQ(ReadAll(path),
              "old\xff bytes without newline"
              "INFO CheckRemovableFromCM (parent) m_bRemovable 1\r\n"
              "LEAVE IsDevnodeStatusValid \r\n"
              "\r\n");
    std::remove(path.c_str());
}

TEST(SessionLogFile, OpeningADirectoryFails) {
    SessionLog log;
    EXPECT_FALSE(log.OpenPath(::testing::TempDir().c_str()));
    EXPECT_FALSE(log.IsOpen());
}

#ifndef _WIN32
// Under a file-size limit the write that crosses it is cut back to the last
// complete line, and every later line is dropped, even one that would fit.
TEST(SessionLogFile, AFailedWriteDropsTheRestAndLeavesOnlyCompleteLines) {
    std::string path = TempPath("log-limit.txt");
    std::remove(path.c_str());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
        SessionLog log;
        if (!log.OpenPath(path.c_str())) _exit(3);
        std::string thirty(30, 'x');
        for (int i = 0; i < 4; ++i) log.WriteLine(thirty);  // 4 x 32 bytes: the fourth crosses 100
        log.WriteLine("y");                                  // would fit, but the log has failed
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    std::string line = std::string(30, 'x') + "\r\n";
    EXPECT_EQ(ReadAll(path), line + line + line);
    std::remove(path.c_str());
}
#endif

TEST(Trace, WritesNothingWhenTheLogIsNeitherOpenNorCapturing) {
    SessionLog &log = Log();
    log.Close();
    log.TakeCaptured();
    Trace("ENTER Nothing");  // must not crash or be remembered
    log.StartCapture();
    Trace("ENTER Something ", U(7));
    std::vector<std::string> lines = log.TakeCaptured();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "ENTER Something 7");
}

}  // namespace
