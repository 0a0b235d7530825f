// Helpers for the platform tests: a private temporary directory, an
// environment variable set for one test, and a capture of platform warnings.
#pragma once
#include <string>
#include <vector>

namespace platformtest {

// A fresh directory from mkdtemp, removed with its files on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes content to path()/name and returns the full path.
    std::string WriteFile(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

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
