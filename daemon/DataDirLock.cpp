#include "daemon/DataDirLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

constexpr char DataDirLock::kFileName[];

namespace {

// The pid in the file, 0 when it holds none.
pid_t ReadPid(int fd) {
    char text[32] = {};
    const ssize_t length = pread(fd, text, sizeof(text) - 1, 0);
    if (length <= 0) return 0;
    char* end = nullptr;
    const long pid = strtol(text, &end, 10);
    return end != text && (*end == '\n' || *end == '\0') && pid > 0 ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

int DataDirLock::Acquire(const std::string& dataDir, pid_t& holder) {
    holder = 0;
    if (fd_ >= 0) return EBUSY;
    const std::string path = dataDir + "/" + kFileName;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK ? EWOULDBLOCK : errno;
        if (error == EWOULDBLOCK) holder = ReadPid(fd);
        ::close(fd);
        return error;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        const int error = errno != 0 ? errno : EIO;
        ::close(fd);
        return error;
    }
    fd_ = fd;
    return 0;
}

void DataDirLock::Release() {
    if (fd_ < 0) return;
    if (::ftruncate(fd_, 0) != 0) {
        // A pid left in the file is harmless: the lock, not the file, decides.
    }
    ::close(fd_);
    fd_ = -1;
}
