#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "app/Session.h"
#include "platform/trace.h"
#include "tests/support/Harness.h"

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs one session in a fresh directory and returns the console output.
class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_oldDir = fs::current_path();
        // Unique per process: several builds' tests may run at once.
        m_dir = fs::path(::testing::TempDir()) /
                ("session-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        fs::current_path(m_dir);
        testing_support::UseMachine(R"({"devices": []})");
    }
    void TearDown() override {
        Log().Close();
        fs::current_path(m_oldDir);
        fs::remove_all(m_dir);
    }
    std::string Run() {
        std::FILE *console = std::tmpfile();
        EXPECT_NE(console, nullptr);
        EXPECT_EQ(RunSession(console), 0);
        Log().Close();
        std::rewind(console);
        std::string text;
        for (int c; (c = std::fgetc(console)) != EOF;) text.push_back(static_cast<char>(c));
        std::fclose(console);
        return text;
    }
    fs::path LogPath() const { return m_dir / "enumerate-tarsel.txt"; }

    fs::path m_oldDir;
    fs::path m_dir;
};

const std::string kDashes(79, '-');


TEST_F(SessionTest, EmptyMachineWritesHeaderAndThreeEmptySections) {
    EXPECT_EQ(Run(), "Enumeration successful\n");
    std::string log = ReadAll(LogPath());
    std::regex shape("^" + kDashes + "\r\nLog Session: [0-9]+\r\n" + kDashes +
                     "\r\n((ENTER|INFO|LEAVE|ERROR) [^\r\n]*\r\n)*"
                     "\r\nAll devices: \r\n\r\nHooked devices legacy: \r\n\r\nHooked devices: \r\n$");
    EXPECT_TRUE(std::regex_match(log, shape)) << log;
    // The time line holds nothing after the digits.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m, std::regex("Log Session: ([^\r]*)\r\n")));
    EXPECT_TRUE(std::regex_match(m[1].str(), std::regex("[0-9]+")));
}

TEST_F(SessionTest, SecondRunAppendsAfterTheFirstUnchanged) {
    {
        std::ofstream seed(LogPath(), std::ios::binary);
        seed << "earlier run\xe9\xff no final newline";
    }
    Run();
    std::string first = ReadAll(LogPath());
    Run();
    std::string both = ReadAll(LogPath());
    ASSERT_EQ(both.compare(0, first.size(), first), 0);
    EXPECT_EQ(first.rfind("earlier run\xe9\xff no final newline" + kDashes + "\r\n", 0), 0u);
    EXPECT_EQ(both.compare(first.size(), kDashes.size() + 2, kDashes + "\r\n"), 0);
}

TEST_F(SessionTest, UnopenableLogStopsBeforeAnyPass) {
    fs::create_directory(LogPath());  // a directory where the log should be
    EXPECT_EQ(Run(), "Unable to open log file enumerate-tarsel.txt\n");
    EXPECT_TRUE(fs::is_directory(LogPath()));
    EXPECT_EQ(sim::CountCalls("SetupDiGetClassDevsW"), 0u);
}

TEST_F(SessionTest, DashLineIsExactlySeventyNineCharacters) {
    Run();
    std::string log = ReadAll(LogPath());
    EXPECT_EQ(log.find('\r'), 79u);
    EXPECT_EQ(log.find(std::string(80, '-')), std::string::npos);
}

}  // namespace
