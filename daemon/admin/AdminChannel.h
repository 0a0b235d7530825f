// AdminChannel: the framing of the admin socket, shared by quayd and quayadm.
// A frame is a 4-byte big-endian payload length followed by the payload (an
// encoded KeyValueList). One request frame, then one response frame, per
// connection.
//
// All functions are stateless and thread-safe; they return 0 or an errno
// value and never raise SIGPIPE.
#pragma once
#include <cstddef>
#include <string>

class AdminChannel {
public:
    // Bounds that keep a misbehaving peer from making the other side allocate
    // without limit. Requests are small; responses may list many exports.
    static constexpr size_t kMaxRequestBytes = 64 * 1024;
    static constexpr size_t kMaxResponseBytes = 16 * 1024 * 1024;

    // Errors: EMSGSIZE payload above 4 GiB; EPIPE/ECONNRESET peer gone;
    // ETIMEDOUT the send timeout of the socket ran out.
    static int SendFrame(int fd, const std::string& payload);
    // Errors: EMSGSIZE the announced length is above maxBytes (nothing of
    // the payload is read); ENODATA the peer closed before a whole frame;
    // ETIMEDOUT the receive timeout ran out; others from recv.
    static int ReceiveFrame(int fd, size_t maxBytes, std::string& payload);

    // Connects a stream socket to the Unix socket at path; fd set on 0.
    // Errors: ENAMETOOLONG path does not fit; others from socket/connect.
    static int Connect(const std::string& path, int& fd);
    // Send and receive timeouts in seconds (0: none).
    static int SetTimeouts(int fd, int seconds);
    // Whether path fits into a Unix socket address.
    static bool FitsSocketAddress(const std::string& path);
};
