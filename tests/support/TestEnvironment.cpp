#include "tests/support/TestEnvironment.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "configclient/ConfigDatabase.h"
#include "host/ExportCache.h"
#include "host/HostServices.h"
#include "host/ShareIdToPathCache.h"

namespace testsupport {

void Registry::Set(const std::string& key, const std::string& value) {
    Remove(key);
    values_.emplace_back(key, value);
    Save();
}

void Registry::Remove(const std::string& key) {
    for (auto it = values_.begin(); it != values_.end(); ++it) {
        if (it->first == key) {
            values_.erase(it);
            break;
        }
    }
    Save();
}

void Registry::Clear() {
    values_.clear();
    Save();
}

void Registry::Save() {
    std::ofstream out(path_, std::ios::trunc);
    out << "[Quay]\n";
    for (const auto& kv : values_) out << kv.first << "=" << kv.second << "\n";
}

bool HasLine(const std::vector<LogLine>& lines, int level, const std::string& text) {
    for (const auto& line : lines) {
        if (line.level == level && line.text == text) return true;
    }
    return false;
}

int CountLines(const std::vector<LogLine>& lines, const std::string& text) {
    int count = 0;
    for (const auto& line : lines) count += line.text == text ? 1 : 0;
    return count;
}

std::string Dump(const std::vector<LogLine>& lines) {
    std::ostringstream out;
    for (const auto& line : lines) out << "  [" << line.level << "] " << line.text << "\n";
    return out.str();
}

void ModuleTest::SetUp() {
    ASSERT_FALSE(dataDir_.path().empty());
    setenv("QUAY_DATA_DIR", dataDir_.path().c_str(), 1);
    const std::string registryPath = dataDir_.path() + "/registry.ini";
    setenv("QUAY_REGISTRY_FILE", registryPath.c_str(), 1);
    registry_ = new Registry(registryPath);
    registry_->Clear();
    ASSERT_FALSE(ConfigDatabase::Instance().Open(":memory:").IsError());
    g_ptrLogWriter->SetLevel(10);
    g_ptrLogWriter->StartCapture();
    g_ptrLogWriter->ClearCaptured();
}

void ModuleTest::TearDown() {
    g_ptrLogWriter->StopCapture();
    delete registry_;
    registry_ = nullptr;
}

}  // namespace testsupport
