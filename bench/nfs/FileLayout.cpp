#include "FileLayout.h"

std::string FileLayout::Directory(long index) const {
    if (directories_ == 0) return root_;
    return root_ + "/d" + std::to_string(index % directories_);
}

bool FileLayout::Create(NfsConnection& connection) const {
    if (nfs_mkdir(connection.Context(), root_.c_str()) != 0) return connection.Fail("mkdir", root_);
    for (int d = 0; d < directories_; ++d) {
        const std::string path = Directory(d);
        if (nfs_mkdir(connection.Context(), path.c_str()) != 0) return connection.Fail("mkdir", path);
    }
    return true;
}
