// Helpers for the platform tests: a private temporary directory, an
// environment variable set for one test, and a capture of platform warnings.
#pragma once
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace platformtest {

using testsupport::TempDir;

// Sets (or, with a null value, unsets) a variable; restores it on destruction.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool hadOld_;
    std::string old_;
};

// Installs a warning sink that records texts; restores the default on destruction.
class WarningCapture {
public:
    WarningCapture();
    ~WarningCapture();
    WarningCapture(const WarningCapture&) = delete;
    WarningCapture& operator=(const WarningCapture&) = delete;
    std::vector<std::string> Texts() const;
    void ClearTexts();
};

}  // namespace platformtest
