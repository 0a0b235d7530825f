#include "daemon/admin/AdminChannel.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr size_t kHeaderBytes = 4;

// A timed-out socket call reports EAGAIN; callers want to know it was time.
int TimeoutAware(int error) {
    return (error == EAGAIN || error == EWOULDBLOCK) ? ETIMEDOUT : error;
}

int SendAll(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t sent = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return TimeoutAware(errno);
        }
        done += static_cast<size_t>(sent);
    }
    return 0;
}

int ReceiveAll(int fd, char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::recv(fd, data + done, size - done, 0);
        if (got == 0) return ENODATA;
        if (got < 0) {
            if (errno == EINTR) continue;
            return TimeoutAware(errno);
        }
        done += static_cast<size_t>(got);
    }
    return 0;
}

}  // namespace

int AdminChannel::SendFrame(int fd, const std::string& payload) {
    if (payload.size() > UINT32_MAX) return EMSGSIZE;
    const uint32_t length = static_cast<uint32_t>(payload.size());
    const char header[kHeaderBytes] = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                                       static_cast<char>(length >> 8), static_cast<char>(length)};
    const int error = SendAll(fd, header, kHeaderBytes);
    if (error != 0) return error;
    return SendAll(fd, payload.data(), payload.size());
}

int AdminChannel::ReceiveFrame(int fd, size_t maxBytes, std::string& payload) {
    unsigned char header[kHeaderBytes];
    int error = ReceiveAll(fd, reinterpret_cast<char*>(header), kHeaderBytes);
    if (error != 0) return error;
    const size_t length = (static_cast<size_t>(header[0]) << 24) | (static_cast<size_t>(header[1]) << 16) |
                          (static_cast<size_t>(header[2]) << 8) | static_cast<size_t>(header[3]);
    if (length > maxBytes) return EMSGSIZE;
    std::string body(length, '\0');
    if (length > 0) {
        error = ReceiveAll(fd, &body[0], length);
        if (error != 0) return error;
    }
    payload.swap(body);
    return 0;
}

bool AdminChannel::FitsSocketAddress(const std::string& path) {
    struct sockaddr_un address;
    return !path.empty() && path.size() < sizeof(address.sun_path) && path.find('\0') == std::string::npos;
}

int AdminChannel::Connect(const std::string& path, int& fd) {
    if (!FitsSocketAddress(path)) return ENAMETOOLONG;
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path.c_str(), path.size());
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return errno;
    if (::connect(s, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
        const int error = errno;
        ::close(s);
        return error;
    }
    fd = s;
    return 0;
}

int AdminChannel::SetTimeouts(int fd, int seconds) {
    struct timeval timeout;
    timeout.tv_sec = seconds;
    timeout.tv_usec = 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) return errno;
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout)) != 0) return errno;
    return 0;
}
