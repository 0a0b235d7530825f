#include "tests/support/TempDir.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>

namespace testsupport {

namespace {
int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }
}  // namespace

TempDir::TempDir() {
    char pattern[] = "/tmp/bfsmtest.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    path_ = pattern;
}

TempDir::~TempDir() { nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

std::string TempDir::WriteFile(const std::string& name, const std::string& content) const {
    const std::string full = path_ + "/" + name;
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << content;
    return full;
}

}  // namespace testsupport
