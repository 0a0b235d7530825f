#include "host/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "host/PathUtil.h"

namespace {

int WriteAll(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        ssize_t written = ::write(fd, content.data() + done, content.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<size_t>(written);
    }
    return 0;
}

// Makes the rename itself survive a crash.
void SyncDir(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

int AtomicFile::MakeDirs(const std::string& dir) {
    if (dir.empty()) return EINVAL;
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    std::string parent;
    DirName(dir, parent);
    if (parent != dir) {
        int error = MakeDirs(parent);
        if (error != 0) return error;
    }
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return errno;
    return 0;
}

int AtomicFile::Write(const std::string& path, const std::string& content) {
    std::string dir;
    DirName(path, dir);
    int error = MakeDirs(dir);
    if (error != 0) return error;
    std::string base = path.substr(path.find_last_of('/') + 1);
    std::string tempName = dir + "/." + base + ".XXXXXX";
    std::vector<char> temp(tempName.begin(), tempName.end());
    temp.push_back('\0');
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    error = WriteAll(fd, content);
    if (error == 0 && ::fchmod(fd, 0644) != 0) error = errno;
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temp.data(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temp.data());
        return error;
    }
    SyncDir(dir);
    return 0;
}

int AtomicFile::Remove(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return errno;
    return 0;
}
