#include "daemon/SystemdNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

SystemdNotify SystemdNotify::FromEnvironment() {
    const char* address = getenv("NOTIFY_SOCKET");
    SystemdNotify notify(address != nullptr ? address : "");
    unsetenv("NOTIFY_SOCKET");
    return notify;
}

int SystemdNotify::Notify(const std::string& state) const {
    if (address_.empty()) return 0;
    sockaddr_un peer{};
    peer.sun_family = AF_UNIX;
    // A path, or an abstract name ('@' stands for its leading NUL); other
    // kinds (vsock) are not spoken here.
    if ((address_[0] != '/' && address_[0] != '@') || address_.size() < 2 || address_.size() > sizeof(peer.sun_path)) {
        return EINVAL;
    }
    memcpy(peer.sun_path, address_.data(), address_.size());
    if (address_[0] == '@') peer.sun_path[0] = '\0';
    // A path is sent with its NUL where there is room; an abstract name is
    // exactly its bytes.
    size_t length = offsetof(sockaddr_un, sun_path) + address_.size();
    if (address_[0] == '/' && address_.size() < sizeof(peer.sun_path)) ++length;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    const ssize_t sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&peer),
                                static_cast<socklen_t>(length));
    const int error = sent < 0 ? errno : 0;
    close(fd);
    return error;
}
