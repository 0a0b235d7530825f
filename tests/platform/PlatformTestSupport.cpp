#include "PlatformTestSupport.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <mutex>
#include <stdexcept>

#include "platform/ZelLogHook.h"

namespace platformtest {

namespace {

std::mutex gTextsMutex;
std::vector<std::string> gTexts;  // guarded by gTextsMutex

void RecordWarning(const char*, int, const char* text) {
    std::lock_guard<std::mutex> lock(gTextsMutex);
    gTexts.push_back(text);
}

}  // namespace


ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    hadOld_ = old != nullptr;
    if (hadOld_) old_ = old;
    if (value != nullptr) setenv(name, value, 1);
    else unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (hadOld_) setenv(name_.c_str(), old_.c_str(), 1);
    else unsetenv(name_.c_str());
}

WarningCapture::WarningCapture() {
    ClearTexts();
    ZelSetWarningSink(RecordWarning);
}

WarningCapture::~WarningCapture() { ZelSetWarningSink(nullptr); }

std::vector<std::string> WarningCapture::Texts() const {
    std::lock_guard<std::mutex> lock(gTextsMutex);
    return gTexts;
}

void WarningCapture::ClearTexts() {
    std::lock_guard<std::mutex> lock(gTextsMutex);
    gTexts.clear();
}

}  // namespace platformtest
