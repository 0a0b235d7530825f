// Shared fixture pieces for module tests: a private data directory with its
// registry file, captured log lines, an in-memory configuration database, and
// a clean host state. Each test runs in its own process, so module statics
// start fresh; this fixture only has to set up the outside world.
#pragma once
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/LogWriter.h"
#include "tests/support/TempDir.h"

namespace testsupport {


// Writes the registry file the platform reads (section "Quay").
class Registry {
public:
    explicit Registry(const std::string& path) : path_(path) {}
    void Set(const std::string& key, const std::string& value);
    void Remove(const std::string& key);
    void Clear();

private:
    void Save();
    std::string path_;
    std::vector<std::pair<std::string, std::string>> values_;
};

// True when a captured line has exactly this level and text.
bool HasLine(const std::vector<LogLine>& lines, int level, const std::string& text);
// Number of captured lines with exactly this text (any level).
int CountLines(const std::vector<LogLine>& lines, const std::string& text);
// Captured texts, one per line, for failure messages.
std::string Dump(const std::vector<LogLine>& lines);

// Fixture: data dir + registry + in-memory configuration database + capture
// of every log line up to level 10.
class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::vector<LogLine> Lines() { return g_ptrLogWriter->Captured(); }
    void ClearLines() { g_ptrLogWriter->ClearCaptured(); }
    bool Logged(int level, const std::string& text) { return HasLine(Lines(), level, text); }

    TempDir dataDir_;
    Registry* registry_ = nullptr;
};

}  // namespace testsupport

#define EXPECT_LOGGED(level, text) \
    EXPECT_TRUE(Logged((level), (text))) << "missing [" << (level) << "] " << (text) << "\n" \
                                         << testsupport::Dump(Lines())
#define EXPECT_NOT_LOGGED(text) \
    EXPECT_EQ(0, testsupport::CountLines(Lines(), (text))) << testsupport::Dump(Lines())
