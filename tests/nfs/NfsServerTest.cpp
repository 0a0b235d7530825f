// Starting and stopping the service on the real module: a second Start
// while it runs is refused and leaves the running service alone; after Stop
// it starts again.
#include "nfsserver/NfsServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tests/module/BackendFixture.h"

namespace {

// A loopback port nothing listens on right now.
uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length), 0);
    close(fd);
    return ntohs(addr.sin_port);
}

// True when something accepts connections on the port.
bool Listening(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return connected;
}

NfsServerConfig ConfigOn(uint16_t port) {
    NfsServerConfig config;
    config.nfsPort = port;
    config.mountPort = port;
    config.registerWithRpcbind = false;
    return config;
}

using NfsServerTest = backendtest::BackendTest;

TEST_F(NfsServerTest, ASecondStartIsRefusedWhileTheServiceRuns) {
    NfsServer server(*BackupFSM::GetFSM());
    const uint16_t first = FreePort();
    std::string error;
    ASSERT_EQ(server.Start(ConfigOn(first), error), 0) << error;

    const uint16_t second = FreePort();
    EXPECT_EQ(server.Start(ConfigOn(second), error), EBUSY);
    EXPECT_EQ(error, "the NFS service is already running");
    EXPECT_TRUE(Listening(first));
    EXPECT_FALSE(Listening(second));

    server.Stop();
    EXPECT_FALSE(Listening(first));
    error.clear();
    ASSERT_EQ(server.Start(ConfigOn(second), error), 0) << error;
    EXPECT_TRUE(Listening(second));
    server.Stop();
}

}  // namespace
