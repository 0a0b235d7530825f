// Requests between servers, quayd's side and quayadm's: the listener serves
// the requests addressed to its server through the admin handler and
// answers them; quayadm finds the server of a share and gets the answer, or
// withdraws a request nobody took in time. On an SQLite file, which the
// queue serves by polling alone (PostgreSQL is the e2e test's).
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "configclient/ConfigDatabase.h"
#include "configclient/PropertyNames.h"
#include "configclient/ServerRequestQueue.h"
#include "daemon/AdminResult.h"
#include "daemon/ServerRequestListener.h"
#include "daemon/admin/AdminProtocol.h"
#include "daemon/quayadm/QuayAdmCommand.h"
#include "daemon/quayadm/RemoteAdmin.h"
#include "tests/daemon/DaemonTestSupport.h"

namespace {

using daemontest::DaemonTest;

class ServerRequestListenerTest : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        location_ = dir_.path() + "/config.db";
        ConfigDatabase& db = ConfigDatabase::Instance();
        ASSERT_FALSE(db.Open(location_).IsError());
        ASSERT_FALSE(db.AddClient(1, "host").IsError());
        ASSERT_FALSE(db.AddSubclient(10, 1, "backups", 0).IsError());
        ASSERT_FALSE(db.SetProperty(10, PropertyNames::kObjectStoreName, "store1").IsError());
        ASSERT_FALSE(db.SetProperty(10, PropertyNames::kNFSServers, "server-b").IsError());
    }

    static KeyValueList Request(const std::vector<std::string>& args) {
        KeyValueList request;
        std::string error;
        EXPECT_TRUE(QuayAdmCommand::BuildRequest(args, request, error)) << error;
        return request;
    }

    // A handler that answers with the command and the caller.
    ServerRequestListener::Handler Echo() {
        return [this](const KeyValueList& request, const std::string& caller) {
            std::string command;
            request.Get(AdminProtocol::kCommandField, command);
            ++handled_;
            lastCaller_ = caller;
            return AdminResult::Ok("ran " + command).ToMessage();
        };
    }

    static std::string Text(const std::string& answer) {
        KeyValueList message;
        std::string error;
        EXPECT_TRUE(message.Decode(answer, error)) << error;
        std::string text;
        message.Get(AdminProtocol::kTextField, text);
        return text;
    }

    std::string location_;
    int handled_ = 0;
    std::string lastCaller_;
};

TEST_F(ServerRequestListenerTest, ARequestForTheServerIsServedOnceAndAnswered) {
    ServerRequestListener listener(location_, "Server-B", Echo());
    std::string error;
    ASSERT_TRUE(listener.Open(error)) << error;
    ServerRequestQueue sender;
    ASSERT_FALSE(sender.Open(location_).IsError());
    int64_t mine = 0;
    int64_t other = 0;
    ASSERT_FALSE(sender.Post("server-b", "quayadm on a", Request({"list-exports"}).Encode(), 60000, mine).IsError());
    ASSERT_FALSE(sender.Post("server-c", "quayadm on a", Request({"list-exports"}).Encode(), 60000, other).IsError());

    EXPECT_EQ(1, listener.ServeWaiting());
    EXPECT_EQ(0, listener.ServeWaiting());
    EXPECT_EQ(1, handled_);
    EXPECT_EQ("request " + std::to_string(mine) + " from [quayadm on a] via the database", lastCaller_);
    ServerRequestQueue::State state = ServerRequestQueue::State::kGone;
    std::string answer;
    ASSERT_FALSE(sender.Check(mine, state, answer).IsError());
    EXPECT_EQ(ServerRequestQueue::State::kAnswered, state);
    EXPECT_EQ("ran list-exports", Text(answer));
    ASSERT_FALSE(sender.Check(other, state, answer).IsError());
    EXPECT_EQ(ServerRequestQueue::State::kWaiting, state);
}

TEST_F(ServerRequestListenerTest, AMalformedRequestIsAnsweredWithoutTheHandler) {
    ServerRequestListener listener(location_, "server-b", Echo());
    std::string error;
    ASSERT_TRUE(listener.Open(error)) << error;
    ServerRequestQueue sender;
    ASSERT_FALSE(sender.Open(location_).IsError());
    int64_t id = 0;
    ASSERT_FALSE(sender.Post("server-b", "x", "no equals sign\n", 60000, id).IsError());
    EXPECT_EQ(1, listener.ServeWaiting());
    EXPECT_EQ(0, handled_);
    ServerRequestQueue::State state = ServerRequestQueue::State::kGone;
    std::string answer;
    ASSERT_FALSE(sender.Check(id, state, answer).IsError());
    EXPECT_EQ("malformed request: line 1: expected key=value", Text(answer));
}

TEST_F(ServerRequestListenerTest, QuayadmGetsTheAnswerOfTheListenersThread) {
    ServerRequestListener listener(location_, "server-b", Echo());
    std::string error;
    ASSERT_TRUE(listener.Start(error)) << error;
    std::string answer;
    ASSERT_EQ(0, RemoteAdmin::Exchange(location_, "server-b", Request({"stats", "10", "/store1"}).Encode(), 30, answer,
                                       error))
        << error;
    listener.Stop();
    EXPECT_EQ("ran stats", Text(answer));
    EXPECT_EQ(1, handled_);
    // The sender removed the answered request.
    ServerRequestQueue queue;
    ASSERT_FALSE(queue.Open(location_).IsError());
    int64_t removed = 0;
    ASSERT_FALSE(queue.Purge(-3600 * 1000, &removed).IsError());
    EXPECT_EQ(0, removed);
}

TEST_F(ServerRequestListenerTest, ARequestNobodyTakesTimesOutAndNeverRuns) {
    std::string answer;
    std::string error;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(1, RemoteAdmin::Exchange(location_, "server-b", Request({"stats", "10", "/store1"}).Encode(), 1, answer,
                                       error));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_NE(std::string::npos, error.find("server [server-b] did not take request")) << error;
    EXPECT_NE(std::string::npos, error.find("withdrawn and will not run")) << error;
    // The server comes up afterwards: nothing is waiting for it.
    ServerRequestListener listener(location_, "server-b", Echo());
    ASSERT_TRUE(listener.Open(error)) << error;
    EXPECT_EQ(0, listener.ServeWaiting());
    EXPECT_EQ(0, handled_);
}

TEST_F(ServerRequestListenerTest, ARequestPastItsDeadlineIsNotTakenWhenItsSenderDied) {
    ServerRequestQueue sender;
    ASSERT_FALSE(sender.Open(location_).IsError());
    int64_t id = 0;
    ASSERT_FALSE(sender.Post("server-b", "x", Request({"list-exports"}).Encode(), 1, id).IsError());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ServerRequestListener listener(location_, "server-b", Echo());
    std::string error;
    ASSERT_TRUE(listener.Open(error)) << error;
    EXPECT_EQ(0, listener.ServeWaiting());
    EXPECT_EQ(0, handled_);
}

TEST_F(ServerRequestListenerTest, AnUnreachableDatabaseIsReportedAndStopEndsTheThread) {
    ServerRequestListener listener(dir_.path() + "/missing/dir/config.db", "server-b", Echo());
    std::string error;
    ASSERT_TRUE(listener.Start(error)) << error;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto stopping = std::chrono::steady_clock::now();
    listener.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(1));
    EXPECT_NE(std::string::npos, DumpLog().find("ERROR: Server requests: cannot reach the configuration database"))
        << DumpLog();
}

TEST_F(ServerRequestListenerTest, QuayadmFindsTheServerOfAShare) {
    ConfigDatabase& db = ConfigDatabase::Instance();
    ASSERT_FALSE(db.SetProperty(10, PropertyNames::kViewConfiguration,
                                "<MntPath>/store1-v1</MntPath><NFSServer>server-c</NFSServer>;"
                                "<MntPath>/store1-v2</MntPath>")
                     .IsError());
    std::string server;
    std::string error;
    ASSERT_TRUE(RemoteAdmin::ServerFor(location_, Request({"export", "create", "live", "10", "/store1"}), server, error))
        << error;
    EXPECT_EQ("server-b", server);
    ASSERT_TRUE(
        RemoteAdmin::ServerFor(location_, Request({"export", "create", "pit", "10", "/store1-v1"}), server, error))
        << error;
    EXPECT_EQ("server-c", server);
    ASSERT_TRUE(RemoteAdmin::ServerFor(location_, Request({"stats", "10", "/store1-v2"}), server, error)) << error;
    EXPECT_EQ("server-b", server);
    ASSERT_TRUE(RemoteAdmin::ServerFor(location_, Request({"prune", "10"}), server, error)) << error;
    EXPECT_EQ("server-b", server);
    EXPECT_FALSE(RemoteAdmin::ServerFor(location_, Request({"list-exports"}), server, error));
    EXPECT_NE(std::string::npos, error.find("name one with --server")) << error;
    EXPECT_FALSE(RemoteAdmin::ServerFor(location_, Request({"stats", "11", "/store1"}), server, error));
    EXPECT_EQ("subclient 11 does not exist", error);
    EXPECT_FALSE(RemoteAdmin::ServerFor(location_, Request({"stats", "10", "/other"}), server, error));
    EXPECT_NE(std::string::npos, error.find("has no share [/other]")) << error;
}

}  // namespace
