// Fixture pieces of the host runtime tests: a private data directory and the
// process-wide log writer in capture mode, with host state cleared.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/LogWriter.h"
#include "tests/support/TempDir.h"

namespace hosttest {

using testsupport::TempDir;

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);
// Names in a directory, without "." and "..", sorted.
std::vector<std::string> ListDir(const std::string& dir);

// QUAY_DATA_DIR and QUAY_REGISTRY_FILE point into a fresh directory; the
// global writer captures from level 10 down; exports, share ids and the host
// call log start empty.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::vector<LogLine> Lines() { return g_ptrLogWriter->Captured(); }
    // True when a captured line has exactly this level and text.
    bool Logged(int level, const std::string& text);
    std::string Dump();

    TempDir dataDir_;
};

}  // namespace hosttest
