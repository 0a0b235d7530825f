#include "tests/host/HostTestSupport.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "host/ExportCache.h"
#include "host/HostServices.h"
#include "host/ShareIdToPathCache.h"

namespace hosttest {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) return names;
    while (struct dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

void HostTest::SetUp() {
    ASSERT_FALSE(dataDir_.path().empty());
    setenv("QUAY_DATA_DIR", dataDir_.path().c_str(), 1);
    setenv("QUAY_REGISTRY_FILE", (dataDir_.path() + "/registry.ini").c_str(), 1);
    gAllExports->Clear();
    ShareIdToPathCache::Clear();
    HostCallLog::Clear();
    g_ptrLogWriter->SetLevel(10);
    g_ptrLogWriter->StartCapture();
    g_ptrLogWriter->ClearCaptured();
}

void HostTest::TearDown() {
    g_ptrLogWriter->StopCapture();
    g_ptrLogWriter->ClearCaptured();
    gAllExports->Clear();
}

bool HostTest::Logged(int level, const std::string& text) {
    for (const LogLine& line : Lines()) {
        if (line.level == level && line.text == text) return true;
    }
    return false;
}

std::string HostTest::Dump() {
    std::ostringstream out;
    for (const LogLine& line : Lines()) out << "  [" << line.level << "] " << line.text << "\n";
    return out.str();
}

}  // namespace hosttest
