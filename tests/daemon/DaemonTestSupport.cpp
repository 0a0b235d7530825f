#include "tests/daemon/DaemonTestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "configclient/ConfigDatabase.h"
#include "host/ExportCache.h"
#include "host/ShareIdToPathCache.h"

namespace daemontest {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

void DaemonTest::SetUp() {
    ASSERT_FALSE(dir_.path().empty());
    setenv("QUAY_DATA_DIR", dir_.path().c_str(), 1);
    g_ptrLogWriter->SetLevel(10);
    g_ptrLogWriter->StartCapture();
    g_ptrLogWriter->ClearCaptured();
    gAllExports->Clear();
    ShareIdToPathCache::Clear();
    ASSERT_FALSE(ConfigDatabase::Instance().Open(":memory:").IsError());
}

void DaemonTest::TearDown() {
    gAllExports->Clear();
    ShareIdToPathCache::Clear();
    ConfigDatabase::Instance().Close();
    g_ptrLogWriter->StopCapture();
}

bool DaemonTest::Logged(int level, const std::string& text) {
    for (const LogLine& line : g_ptrLogWriter->Captured()) {
        if (line.level == level && line.text == text) return true;
    }
    return false;
}

std::string DaemonTest::DumpLog() {
    std::ostringstream out;
    for (const LogLine& line : g_ptrLogWriter->Captured()) out << "  [" << line.level << "] " << line.text << "\n";
    return out.str();
}

}  // namespace daemontest
