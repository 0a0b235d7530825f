#pragma once

#include "NfsConnection.h"

#include <string>

// Where file number i of a workload lives: round-robin over the
// subdirectories d0 .. d<directories - 1> of the root, or with no
// subdirectories (0) in the root itself.
class FileLayout {
public:
    FileLayout(std::string root, int directories) : root_(std::move(root)), directories_(directories) {}

    const std::string& Root() const { return root_; }
    std::string Directory(long index) const;
    std::string PathOf(long index) const { return Directory(index) + "/f" + std::to_string(index); }

    // Makes the root and its subdirectories; the root's parent must exist.
    bool Create(NfsConnection& connection) const;

private:
    std::string root_;
    int directories_;
};
