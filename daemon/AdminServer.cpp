#include "daemon/AdminServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "daemon/QuaydLog.h"
#include "daemon/AdminResult.h"
#include "daemon/admin/AdminChannel.h"

constexpr int AdminServer::kPeerTimeoutSeconds;

namespace {

constexpr int kBacklog = 16;

sockaddr_un Address(const std::string& path) {
    sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.c_str(), path.size());
    return address;
}

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

KeyValueList ErrorMessage(int code, const std::string& text) {
    return AdminResult::Make(code, text).ToMessage();
}

}  // namespace

AdminServer::~AdminServer() {
    Stop();
}

int AdminServer::Open(const std::string& path) {
    if (listenFd_ >= 0) return EBUSY;
    if (!AdminChannel::FitsSocketAddress(path)) return ENAMETOOLONG;
    int error = RemoveStaleSocket(path);
    if (error != 0) return error;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    const sockaddr_un address = Address(path);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        error = errno;
        ::close(fd);
        return error;
    }
    // Peers are checked by credentials as well; the mode keeps others from
    // even connecting.
    struct stat st;
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(fd, kBacklog) != 0 || ::stat(path.c_str(), &st) != 0 ||
        ::pipe2(wakeFds_, O_CLOEXEC) != 0) {
        error = errno;
        ::close(fd);
        ::unlink(path.c_str());
        return error;
    }
    path_ = path;
    listenFd_ = fd;
    socketDevice_ = st.st_dev;
    socketInode_ = st.st_ino;
    return 0;
}

int AdminServer::RemoveStaleSocket(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
    if (!S_ISSOCK(st.st_mode)) return EEXIST;
    int probe = -1;
    const int error = AdminChannel::Connect(path, probe);
    if (error == 0) {
        ::close(probe);
        return EADDRINUSE;
    }
    if (error != ECONNREFUSED) return error;
    return ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
}

int AdminServer::Start() {
    if (listenFd_ < 0) return EBADF;
    if (thread_.joinable()) return EBUSY;
    try {
        thread_ = std::thread(&AdminServer::AcceptLoop, this);
    } catch (const std::exception&) {
        return EAGAIN;
    }
    return 0;
}

void AdminServer::Stop() {
    if (wakeFds_[1] >= 0) {
        const char wake = 1;
        while (::write(wakeFds_[1], &wake, 1) < 0 && errno == EINTR) {
        }
    }
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) {
        struct stat st;
        // Another quayd may have replaced a socket file we no longer answer on.
        if (::stat(path_.c_str(), &st) == 0 && st.st_dev == socketDevice_ && st.st_ino == socketInode_) {
            ::unlink(path_.c_str());
        }
    }
    CloseFd(listenFd_);
    CloseFd(wakeFds_[0]);
    CloseFd(wakeFds_[1]);
}

void AdminServer::AcceptLoop() {
    while (true) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            QUAYD_LOG(-1, "ERROR: Admin socket poll failed: %s", strerror(errno));
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) {
                QUAYD_LOG(-1, "ERROR: Admin socket accept failed: %s", strerror(errno));
            }
            continue;
        }
        ServeConnection(fd);
    }
}

void AdminServer::ServeConnection(int fd) {
    AdminChannel::SetTimeouts(fd, kPeerTimeoutSeconds);
    ucred peer;
    socklen_t length = sizeof(peer);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        QUAYD_LOG(-1, "ERROR: Cannot read the admin peer's credentials: %s", strerror(errno));
        ::close(fd);
        return;
    }
    const std::string caller = "uid " + std::to_string(peer.uid) + " pid " + std::to_string(peer.pid);
    std::string payload;
    const int error = AdminChannel::ReceiveFrame(fd, AdminChannel::kMaxRequestBytes, payload);
    if (peer.uid != allowedUid_) {
        // The request is read first so the refusal reaches the peer instead
        // of a reset connection.
        QUAYD_LOG(-1, "WARN: Admin request refused: [%s] is not root", caller.c_str());
        Answer(fd, ErrorMessage(AdminProtocol::kNotPermitted, "permission denied: only root may use quayd's admin socket"));
    } else if (error == EMSGSIZE) {
        QUAYD_LOG(1, "WARN: Admin request from [%s] refused: larger than %zu bytes", caller.c_str(),
                  AdminChannel::kMaxRequestBytes);
        Answer(fd, ErrorMessage(AdminProtocol::kBadRequest, "request larger than " +
                                                                std::to_string(AdminChannel::kMaxRequestBytes) + " bytes"));
    } else if (error != 0) {
        QUAYD_LOG(1, "WARN: Admin request from [%s] not received: %s", caller.c_str(), strerror(error));
    } else {
        KeyValueList request;
        std::string reason;
        if (!request.Decode(payload, reason)) {
            QUAYD_LOG(1, "WARN: Malformed admin request from [%s]: %s", caller.c_str(), reason.c_str());
            Answer(fd, ErrorMessage(AdminProtocol::kBadRequest, "malformed request: " + reason));
        } else {
            Answer(fd, Handle(request, caller));
        }
    }
    ::close(fd);
}

KeyValueList AdminServer::Handle(const KeyValueList& request, const std::string& caller) {
    try {
        return handler_(request, caller);
    } catch (const std::exception& e) {
        QUAYD_LOG(-1, "ERROR: Admin request from [%s] failed: %s", caller.c_str(), e.what());
        return ErrorMessage(AdminProtocol::kInternalError, std::string("quayd failed: ") + e.what());
    }
}

void AdminServer::Answer(int fd, const KeyValueList& response) {
    const int error = AdminChannel::SendFrame(fd, response.Encode());
    if (error != 0) QUAYD_LOG(1, "WARN: Admin answer not delivered: %s", strerror(error));
}
