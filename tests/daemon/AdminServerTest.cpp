// The admin socket: who may talk to it, how it answers requests that are
// well formed, malformed or too large, and how it shares its path.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "daemon/AdminResult.h"
#include "daemon/AdminServer.h"
#include "daemon/admin/AdminChannel.h"
#include "tests/daemon/DaemonTestSupport.h"

namespace {

using daemontest::DaemonTest;

class AdminServerTest : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        server_.SetAllowedUid(getuid());
    }

    // Sends payload and returns the decoded answer (empty on failure).
    KeyValueList Exchange(const std::string& payload) {
        int fd = -1;
        EXPECT_EQ(0, AdminChannel::Connect(socket_, fd));
        KeyValueList answer;
        if (fd < 0) return answer;
        AdminChannel::SetTimeouts(fd, 10);
        AdminChannel::SendFrame(fd, payload);
        std::string text;
        EXPECT_EQ(0, AdminChannel::ReceiveFrame(fd, AdminChannel::kMaxResponseBytes, text));
        close(fd);
        std::string error;
        EXPECT_TRUE(answer.Decode(text, error)) << error;
        return answer;
    }
    static std::string Field(const KeyValueList& message, const char* key) {
        std::string value;
        message.Get(key, value);
        return value;
    }

    const std::string socket_ = dir_.path() + "/quayd.sock";
    std::atomic<int> calls_{0};
    std::string lastCaller_;  // written by the accept thread, read after the exchange
    AdminServer server_{[this](const KeyValueList& request, const std::string& caller) {
        ++calls_;
        lastCaller_ = caller;
        AdminResult result = AdminResult::Ok("echo");
        for (const auto& pair : request.pairs()) result.AddRow({pair.first, pair.second});
        return result.ToMessage();
    }};
};

TEST_F(AdminServerTest, ServesARequestAndNamesThePeer) {
    ASSERT_EQ(0, server_.Open(socket_));
    ASSERT_EQ(0, server_.Start());
    struct stat st;
    ASSERT_EQ(0, stat(socket_.c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    const KeyValueList answer = Exchange("version=1\ncommand=list-exports\n");
    EXPECT_EQ("0", Field(answer, "code"));
    EXPECT_EQ((std::vector<std::string>{"version\t1", "command\tlist-exports"}), answer.GetAll("row"));
    server_.Stop();
    EXPECT_EQ(1, calls_.load());
    EXPECT_EQ("uid " + std::to_string(getuid()) + " pid " + std::to_string(getpid()), lastCaller_);
}

TEST_F(AdminServerTest, MalformedAndOversizedRequestsGetErrors) {
    ASSERT_EQ(0, server_.Open(socket_));
    ASSERT_EQ(0, server_.Start());
    KeyValueList answer = Exchange("version=1\ncommand list-exports\n");
    EXPECT_EQ("100", Field(answer, "code"));
    EXPECT_EQ("malformed request: line 2: expected key=value", Field(answer, "text"));

    answer = Exchange(std::string(AdminChannel::kMaxRequestBytes + 1, 'x'));
    EXPECT_EQ("100", Field(answer, "code"));
    EXPECT_EQ("request larger than 65536 bytes", Field(answer, "text"));

    // The server is still there for the next one.
    EXPECT_EQ("0", Field(Exchange("version=1\n"), "code"));
    server_.Stop();
    EXPECT_EQ(1, calls_.load());
}

TEST_F(AdminServerTest, AnotherUidIsRefusedWithoutReachingTheHandler) {
    server_.SetAllowedUid(getuid() + 1);
    ASSERT_EQ(0, server_.Open(socket_));
    ASSERT_EQ(0, server_.Start());
    const KeyValueList answer = Exchange("version=1\ncommand=list-exports\n");
    EXPECT_EQ("101", Field(answer, "code"));
    EXPECT_EQ("permission denied: only root may use quayd's admin socket", Field(answer, "text"));
    server_.Stop();
    EXPECT_EQ(0, calls_.load());
    EXPECT_LOGGED(-1, "WARN: Admin request refused: [uid " + std::to_string(getuid()) + " pid " +
                          std::to_string(getpid()) + "] is not root");
}

TEST_F(AdminServerTest, ANonRootProcessIsRefused) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to switch to another uid";
    server_.SetAllowedUid(0);
    ASSERT_EQ(0, chmod(dir_.path().c_str(), 0755));
    ASSERT_EQ(0, server_.Open(socket_));
    ASSERT_EQ(0, chmod(socket_.c_str(), 0666));  // let the peer reach the credential check
    ASSERT_EQ(0, server_.Start());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        int fd = -1;
        if (AdminChannel::Connect(socket_, fd) != 0) _exit(11);
        AdminChannel::SendFrame(fd, "version=1\ncommand=list-exports\n");
        std::string text;
        if (AdminChannel::ReceiveFrame(fd, 4096, text) != 0) _exit(12);
        _exit(text.find("code=101\n") != std::string::npos ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    server_.Stop();
    EXPECT_EQ(0, calls_.load());
}

TEST_F(AdminServerTest, TheSocketPathIsSharedCarefully) {
    ASSERT_EQ(0, server_.Open(socket_));
    AdminServer second([](const KeyValueList&, const std::string&) { return KeyValueList(); });
    EXPECT_EQ(EADDRINUSE, second.Open(socket_));  // a server answers there
    server_.Stop();
    EXPECT_FALSE(daemontest::FileExists(socket_));

    // A socket file left behind by a server that is gone is replaced.
    const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "%s", socket_.c_str());
    ASSERT_EQ(0, bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    close(stale);
    EXPECT_EQ(0, second.Open(socket_));
    second.Stop();

    const std::string plain = dir_.path() + "/plain";
    daemontest::WriteFile(plain, "keep me");
    EXPECT_EQ(EEXIST, second.Open(plain));
    EXPECT_EQ("keep me", daemontest::ReadFile(plain));
    EXPECT_EQ(ENAMETOOLONG, second.Open(dir_.path() + "/" + std::string(120, 's')));
}

TEST_F(AdminServerTest, StopLeavesASocketFileOfAnotherServerAlone) {
    ASSERT_EQ(0, server_.Open(socket_));
    ASSERT_EQ(0, unlink(socket_.c_str()));
    AdminServer other([](const KeyValueList&, const std::string&) { return KeyValueList(); });
    ASSERT_EQ(0, other.Open(socket_));
    server_.Stop();
    EXPECT_TRUE(daemontest::FileExists(socket_));
    other.Stop();
    EXPECT_FALSE(daemontest::FileExists(socket_));
}

}  // namespace
