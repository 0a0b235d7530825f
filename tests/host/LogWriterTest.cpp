#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <sstream>
#include <thread>

#include "host/LogWriter.h"
#include "host/ShareIdToPathCache.h"
#include "platform/ZelLogHook.h"
#include "tests/host/HostTestSupport.h"

namespace {

class LogWriterTest : public hosttest::HostTest {};
using hosttest::ReadFile;
using hosttest::TempDir;

// A decorated file line: "YYYY-MM-DD HH:MM:SS.mmm <thread id> <rest>".
struct FileLine {
    bool valid = false;
    std::string threadId;
    std::string rest;  // "<level> <function>:<line> <text>"
};

FileLine ParseFileLine(const std::string& line) {
    FileLine parsed;
    const std::string shape = "dddd-dd-dd dd:dd:dd.ddd ";
    if (line.size() <= shape.size()) return parsed;
    for (size_t i = 0; i < shape.size(); ++i) {
        bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return parsed;
    }
    size_t space = line.find(' ', shape.size());
    if (space == std::string::npos || space == shape.size()) return parsed;
    parsed.threadId = line.substr(shape.size(), space - shape.size());
    for (char c : parsed.threadId) {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) return parsed;
    }
    parsed.rest = line.substr(space + 1);
    parsed.valid = true;
    return parsed;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

TEST(LogWriterLevel, DefaultsToOneAndFollowsTheEnvironment) {
    struct Case {
        const char* env;  // null: unset
        int level;
    } cases[] = {{nullptr, 1}, {"5", 5}, {"-1", -1}, {"0", 0}, {"abc", 1}, {"3x", 1}, {"", 1}};
    for (const Case& c : cases) {
        if (c.env == nullptr)
            unsetenv("QUAY_LOG_LEVEL");
        else
            setenv("QUAY_LOG_LEVEL", c.env, 1);
        LogWriter writer;
        EXPECT_EQ(c.level, writer.GetLevel()) << (c.env ? c.env : "(unset)");
    }
    unsetenv("QUAY_LOG_LEVEL");
}

TEST_F(LogWriterTest, LogLevelDecidesWhetherHostMessagesAreWritten) {
    g_ptrLogWriter->SetLevel(0);
    ShareIdToPathCache::FreeShareId(9, false);
    EXPECT_TRUE(Lines().empty()) << Dump();

    g_ptrLogWriter->SetLevel(1);
    ShareIdToPathCache::FreeShareId(9, false);
    ASSERT_EQ(1u, Lines().size()) << Dump();
    EXPECT_TRUE(Logged(1, "WARN: Share ID [9] is not in use; nothing freed")) << Dump();
}

TEST_F(LogWriterTest, CaptureKeepsLevelFunctionLineAndText) {
    g_ptrLogWriter->Write(-1, "int Module::Open(int)", 42, 0, 0, "ERROR: open [%s] failed (%d)",
                          "/x", 5);
    g_ptrLogWriter->Write(10, "void f()", 7, 0, 0, "plain");
    std::vector<LogLine> lines = Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(-1, lines[0].level);
    EXPECT_EQ("int Module::Open(int)", lines[0].function);
    EXPECT_EQ(42, lines[0].line);
    EXPECT_EQ("ERROR: open [/x] failed (5)", lines[0].text);
    EXPECT_EQ(10, lines[1].level);
    EXPECT_EQ("plain", lines[1].text);

    g_ptrLogWriter->ClearCaptured();
    EXPECT_TRUE(Lines().empty());
    g_ptrLogWriter->StopCapture();
    g_ptrLogWriter->Write(1, "void f()", 1, 0, 0, "not kept");
    EXPECT_TRUE(Lines().empty());
}

TEST_F(LogWriterTest, PlatformWarningsArriveAtLevelOne) {
    g_ptrLogWriter->SetLevel(1);
    ZelWarn("void Platform::Read()", 17, "WARN: registry [%s] line %d ignored", "r.ini", 3);
    std::vector<LogLine> lines = Lines();
    ASSERT_EQ(1u, lines.size()) << Dump();
    EXPECT_EQ(1, lines[0].level);
    EXPECT_EQ("void Platform::Read()", lines[0].function);
    EXPECT_EQ(17, lines[0].line);
    EXPECT_EQ("WARN: registry [r.ini] line 3 ignored", lines[0].text);

    g_ptrLogWriter->ClearCaptured();
    g_ptrLogWriter->SetLevel(0);
    ZelWarn("f", 1, "hidden");
    EXPECT_TRUE(Lines().empty()) << Dump();
}

TEST(LogWriterFile, LinesCarryTimeThreadLevelFunctionAndText) {
    TempDir dir;
    const std::string path = dir.path() + "/host.log";
    LogWriter writer;
    ASSERT_TRUE(writer.OpenFile(path));
    writer.Write(2, "void Host::Run()", 88, 0, 0, "INFO: share [%u] up", 7u);
    writer.Write(-1, "f", 1, 0, 0, "%s", "second");

    std::vector<std::string> lines = SplitLines(ReadFile(path));
    ASSERT_EQ(2u, lines.size());
    FileLine first = ParseFileLine(lines[0]);
    ASSERT_TRUE(first.valid) << lines[0];
    EXPECT_EQ(std::to_string(syscall(SYS_gettid)), first.threadId);
    EXPECT_EQ("2 void Host::Run():88 INFO: share [7] up", first.rest);
    FileLine second = ParseFileLine(lines[1]);
    ASSERT_TRUE(second.valid) << lines[1];
    EXPECT_EQ("-1 f:1 second", second.rest);
}

TEST(LogWriterFile, AppendsAndKeepsTheOldFileWhenANewOneCannotOpen) {
    TempDir dir;
    const std::string path = dir.path() + "/host.log";
    hosttest::WriteFile(path, "earlier\n");
    LogWriter writer;
    ASSERT_TRUE(writer.OpenFile(path));
    EXPECT_FALSE(writer.OpenFile(dir.path() + "/missing/host.log"));
    EXPECT_FALSE(writer.OpenFile(dir.path()));
    writer.Write(1, "f", 1, 0, 0, "later");
    std::vector<std::string> lines = SplitLines(ReadFile(path));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("earlier", lines[0]);
    EXPECT_NE(std::string::npos, lines[1].find(" f:1 later"));
}

TEST(LogWriterFile, LongMessagesAreNeitherCutNorOverflowing) {
    TempDir dir;
    const std::string path = dir.path() + "/host.log";
    const std::string big(100000, 'x');
    LogWriter writer;
    writer.StartCapture();
    writer.Write(1, "f", 1, 0, 0, "<%s|%d>", big.c_str(), 9);
    writer.Write(1, "f", 1, 0, 0, "%s", std::string(1023, 'y').c_str());  // at the buffer edge
    writer.Write(1, "f", 1, 0, 0, "%s", std::string(1024, 'z').c_str());
    std::vector<LogLine> lines = writer.Captured();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("<" + big + "|9>", lines[0].text);
    EXPECT_EQ(std::string(1023, 'y'), lines[1].text);
    EXPECT_EQ(std::string(1024, 'z'), lines[2].text);

    writer.StopCapture();
    ASSERT_TRUE(writer.OpenFile(path));
    writer.Write(1, "f", 1, 0, 0, "%s", big.c_str());
    std::vector<std::string> fileLines = SplitLines(ReadFile(path));
    ASSERT_EQ(1u, fileLines.size());
    EXPECT_EQ(" f:1 " + big, fileLines[0].substr(fileLines[0].size() - big.size() - 5));
}

TEST(LogWriterFile, ConcurrentWritersNeverInterleaveLines) {
    TempDir dir;
    const std::string path = dir.path() + "/host.log";
    LogWriter writer;
    ASSERT_TRUE(writer.OpenFile(path));
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&writer, t] {
            for (int i = 0; i < kLines; ++i) {
                writer.Write(1, "f", t, 0, 0, "thread %d line %d %s", t, i,
                             std::string(200, static_cast<char>('a' + t)).c_str());
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::vector<std::string> lines = SplitLines(ReadFile(path));
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
    for (const std::string& line : lines) {
        FileLine parsed = ParseFileLine(line);
        ASSERT_TRUE(parsed.valid) << line;
        // "1 f:<t> thread <t> line <i> " then 200 times the thread's letter.
        ASSERT_GT(parsed.rest.size(), 200u) << line;
        char t = parsed.rest[4];
        ASSERT_TRUE(t >= '0' && t < '0' + kThreads) << line;
        EXPECT_EQ(std::string("1 f:") + t + " thread " + t + " line ", parsed.rest.substr(0, 20));
        std::string number = parsed.rest.substr(20, parsed.rest.size() - 201 - 20);
        EXPECT_TRUE(!number.empty() && number.find_first_not_of("0123456789") == std::string::npos)
            << line;
        EXPECT_EQ(std::string(200, static_cast<char>('a' + (t - '0'))),
                  parsed.rest.substr(parsed.rest.size() - 200));
        EXPECT_EQ(' ', parsed.rest[parsed.rest.size() - 201]);
    }
}

}  // namespace
