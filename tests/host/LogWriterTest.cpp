#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <sstream>
#include <thread>

#include "host/LogRateLimiter.h"
#include "host/LogRequestTag.h"
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

// The text of a decorated line: what follows "<function>:<line> ".
std::string TextOf(const std::string& line, const std::string& function) {
    const size_t at = line.find(" " + function + ":");
    if (at == std::string::npos) return "(no function in " + line + ")";
    return line.substr(line.find(' ', at + 1) + 1);
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

TEST(LogWriterEscape, ControlCharactersCannotStartALineOrReachATerminal) {
    struct Case {
        std::string text;
        std::string written;
    } cases[] = {
        {"plain [/store1] text", "plain [/store1] text"},
        {"/a\nFORGED 1 f:1 ERROR: x", "/a\\nFORGED 1 f:1 ERROR: x"},
        {"cr\r tab\t esc\x1b[31m del\x7f nul" + std::string(1, '\0') + "end",
         "cr\\r tab\\t esc\\x1b[31m del\\x7f nul\\x00end"},
        {"csi \xc2\x9b" "2J and \xc2\xa9 \xe2\x82\xac", "csi \\xc2\\x9b2J and \xc2\xa9 \xe2\x82\xac"},
        {"the line's own end\n", "the line's own end"},
        {"two ends\n\n", "two ends\\n"},
        {"back\\slash \\n stays", "back\\slash \\n stays"},
        {"\xc2", "\xc2"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(c.written, LogWriter::Escape(c.text)) << c.text;
}

TEST(LogWriterEscape, FileLinesAreEscapedWhileCapturedTextsStayExact) {
    TempDir dir;
    const std::string path = dir.path() + "/host.log";
    LogWriter writer;
    ASSERT_TRUE(writer.OpenFile(path));
    writer.Write(1, "f", 3, 0, 0, "INFO: mount of [%s]\n", "/x\n2026-01-01 00:00:00.000 1 -1 g:1 forged");
    std::vector<std::string> lines = SplitLines(ReadFile(path));
    ASSERT_EQ(1u, lines.size()) << ReadFile(path);
    EXPECT_EQ("INFO: mount of [/x\\n2026-01-01 00:00:00.000 1 -1 g:1 forged]", TextOf(lines[0], "f"));

    writer.StartCapture();
    writer.Write(1, "f", 3, 0, 0, "raw [%s]", "a\nb");
    ASSERT_EQ(1u, writer.Captured().size());
    EXPECT_EQ("raw [a\nb]", writer.Captured()[0].text);
}

TEST(LogWriterRotation, TheFullFileMovesAsideAndOnlyKeepFilesStay) {
    TempDir dir;
    const std::string path = dir.path() + "/quayd.log";
    hosttest::WriteFile(path, std::string(150, 'o') + "\n");  // a file from before counts
    LogWriter writer;
    ASSERT_TRUE(writer.OpenFile(path));
    writer.SetRotation(400, 2);
    const std::string text(100, 'x');
    for (int i = 0; i < 12; ++i) writer.Write(1, "f", i, 0, 0, "%s", text.c_str());

    // Every file stays under the cap, whole lines only, newest lines in
    // quayd.log, and nothing beyond quayd.log.2.
    EXPECT_EQ((std::vector<std::string>{"quayd.log", "quayd.log.1", "quayd.log.2"}), hosttest::ListDir(dir.path()));
    std::vector<int> order;
    for (const char* name : {"quayd.log.2", "quayd.log.1", "quayd.log"}) {
        const std::string content = ReadFile(dir.path() + "/" + name);
        EXPECT_LE(content.size(), 400u) << name;
        EXPECT_EQ('\n', content.back()) << name;
        for (const std::string& line : SplitLines(content)) {
            ASSERT_EQ(text, TextOf(line, "f")) << name;
            order.push_back(std::stoi(line.substr(line.find(" f:") + 3)));
        }
    }
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(11, order.back());
    for (size_t i = 1; i < order.size(); ++i) EXPECT_EQ(order[i - 1] + 1, order[i]);
}

TEST(LogWriterRotation, KeepZeroStartsOverAndNoLimitNeverRotates) {
    TempDir dir;
    const std::string path = dir.path() + "/quayd.log";
    LogWriter writer;
    ASSERT_TRUE(writer.OpenFile(path));
    writer.SetRotation(300, 0);
    for (int i = 0; i < 5; ++i) writer.Write(1, "f", i, 0, 0, "%s", std::string(100, 'y').c_str());
    EXPECT_EQ((std::vector<std::string>{"quayd.log"}), hosttest::ListDir(dir.path()));
    EXPECT_EQ(1u, SplitLines(ReadFile(path)).size());

    writer.SetRotation(0, 3);
    for (int i = 0; i < 20; ++i) writer.Write(1, "f", i, 0, 0, "%s", std::string(100, 'z').c_str());
    EXPECT_EQ((std::vector<std::string>{"quayd.log"}), hosttest::ListDir(dir.path()));
    EXPECT_EQ(21u, SplitLines(ReadFile(path)).size());
}

TEST(LogWriterRotation, ReopenLetsGoOfAFileMovedAway) {
    TempDir dir;
    const std::string path = dir.path() + "/quayd.log";
    LogWriter writer;
    EXPECT_FALSE(writer.Reopen());
    EXPECT_EQ(EBADF, errno);
    ASSERT_TRUE(writer.OpenFile(path));
    writer.Write(1, "f", 1, 0, 0, "before");
    ASSERT_EQ(0, rename(path.c_str(), (path + ".old").c_str()));
    writer.Write(1, "f", 2, 0, 0, "still to the moved file");
    ASSERT_TRUE(writer.Reopen());
    writer.Write(1, "f", 3, 0, 0, "after");
    EXPECT_EQ(2u, SplitLines(ReadFile(path + ".old")).size());
    std::vector<std::string> lines = SplitLines(ReadFile(path));
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("after", TextOf(lines[0], "f"));
}

TEST(LogRequestTagTest, TaggedLinesNameTheRequestAndKeepItsProblems) {
    TempDir dir;
    const std::string path = dir.path() + "/quayd.log";
    LogWriter writer;
    ASSERT_TRUE(writer.OpenFile(path));
    EXPECT_EQ(nullptr, LogRequestTag::Current());
    {
        LogRequestTag tag("admin 7");
        EXPECT_EQ(&tag, LogRequestTag::Current());
        writer.Write(1, "f", 1, 0, 0, "INFO: opening [%s]", "/s");
        writer.Write(-1, "f", 2, 0, 0, "ERROR: open of [%s] failed", "/s\nX");
        writer.Write(1, "f", 3, 0, 0, "INFO: ObjectStore open error [%s]", "busy");
        writer.Write(-1, "f", 4, 0, 0, "INFO: not a problem");
        writer.Write(-1, "f", 5, 0, 0, "Store [/s] has no root");
        writer.Write(2, "f", 6, 0, 0, "Warning: slow");
        std::thread([&writer] { writer.Write(-1, "g", 1, 0, 0, "ERROR: another thread"); }).join();
        {
            LogRequestTag inner("inner");
            writer.Write(-1, "f", 7, 0, 0, "ERROR: inner");
            EXPECT_EQ((std::vector<std::string>{"ERROR: inner"}), inner.problems());
        }
        EXPECT_EQ(&tag, LogRequestTag::Current());
        EXPECT_EQ((std::vector<std::string>{"ERROR: open of [/s\\nX] failed", "INFO: ObjectStore open error [busy]",
                                            "Store [/s] has no root", "Warning: slow"}),
                  tag.problems());
        tag.ClearProblems();
        EXPECT_TRUE(tag.problems().empty());
    }
    EXPECT_EQ(nullptr, LogRequestTag::Current());
    writer.Write(-1, "f", 8, 0, 0, "ERROR: untagged");

    std::vector<std::string> lines = SplitLines(ReadFile(path));
    ASSERT_EQ(9u, lines.size());
    EXPECT_EQ("1 [admin 7] f:1 INFO: opening [/s]", ParseFileLine(lines[0]).rest);
    EXPECT_EQ("-1 g:1 ERROR: another thread", ParseFileLine(lines[6]).rest);
    EXPECT_EQ("-1 [inner] f:7 ERROR: inner", ParseFileLine(lines[7]).rest);
    EXPECT_EQ("-1 f:8 ERROR: untagged", ParseFileLine(lines[8]).rest);
}

TEST(LogRequestTagTest, ProblemsAreBounded) {
    LogWriter writer;
    writer.StartCapture();
    LogRequestTag tag("admin 1");
    for (size_t i = 0; i < LogRequestTag::kMaxProblems + 5; ++i) writer.Write(-1, "f", 1, 0, 0, "ERROR: %zu", i);
    writer.Write(-1, "f", 1, 0, 0, "ERROR: %s", std::string(5000, 'l').c_str());
    ASSERT_EQ(LogRequestTag::kMaxProblems, tag.problems().size());
    EXPECT_EQ("ERROR: 31", tag.problems().back());
    EXPECT_EQ(6u, tag.unlisted());

    LogRequestTag other("admin 2");
    writer.Write(-1, "f", 1, 0, 0, "ERROR: %s", std::string(5000, 'l').c_str());
    ASSERT_EQ(1u, other.problems().size());
    EXPECT_EQ("ERROR: " + std::string(LogRequestTag::kMaxProblemBytes - 7, 'l') + "...", other.problems()[0]);
}

TEST(LogRateLimiterTest, ABurstPerPeriodThenACountWithTheNextLine) {
    LogRateLimiter limiter(3, 60);
    uint64_t heldBack = 99;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(limiter.Admit(1000, heldBack));
        EXPECT_EQ(0u, heldBack);
    }
    for (int i = 0; i < 7; ++i) EXPECT_FALSE(limiter.Admit(1059, heldBack));
    ASSERT_TRUE(limiter.Admit(1060, heldBack));
    EXPECT_EQ(7u, heldBack);
    EXPECT_TRUE(limiter.Admit(1061, heldBack));
    EXPECT_EQ(0u, heldBack);
    EXPECT_TRUE(limiter.Admit(1062, heldBack));
    EXPECT_FALSE(limiter.Admit(1063, heldBack));
    // A clock that went back starts a new period rather than blocking.
    EXPECT_TRUE(limiter.Admit(5, heldBack));
    EXPECT_EQ(1u, heldBack);
}

}  // namespace
