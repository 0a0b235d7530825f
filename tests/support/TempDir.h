// A fresh temporary directory for one test, removed with its contents on
// destruction. Shared by every test program.
#pragma once
#include <string>

namespace testsupport {

class TempDir {
public:
    TempDir();  // aborts the test program when no directory can be made
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes content to path()/name and returns the full path.
    std::string WriteFile(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

}  // namespace testsupport
