// A connected stream socket pair for tests that play a client by hand: the
// served end goes to the code under test, the other end sends.
#pragma once
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

class SocketPair {
public:
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends_), 0); }
    ~SocketPair() {
        close(ends_[0]);
        close(ends_[1]);
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;

    int Served() const { return ends_[0]; }
    void Send(const std::string& bytes) {
        ASSERT_EQ(send(ends_[1], bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // The client's end of stream: the served end reads what was sent, then 0.
    void HangUp() { shutdown(ends_[1], SHUT_WR); }

private:
    int ends_[2] = {-1, -1};
};
