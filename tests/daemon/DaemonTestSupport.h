// Helpers of quayd's tests: a private temporary directory, captured log
// lines, and a fresh host state (export cache, share ids, configuration
// database in memory).
#pragma once
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/LogWriter.h"
#include "tests/support/TempDir.h"

namespace daemontest {

using testsupport::TempDir;

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

// Fixture: temp dir, every log line captured, an empty export cache and
// share id table, and an empty in-memory configuration database.
class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // True when a captured line has exactly this level and text.
    bool Logged(int level, const std::string& text);
    std::string DumpLog();

    TempDir dir_;
};

}  // namespace daemontest

#define EXPECT_LOGGED(level, text) EXPECT_TRUE(Logged((level), (text))) << "missing [" << (level) << "] " << (text) << "\n" << DumpLog()
