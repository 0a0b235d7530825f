// Requests between servers through the configuration database: taken once,
// never after their deadline, never after their sender withdrew them.
#include <thread>

#include "configclient/ServerRequestQueue.h"
#include "tests/configclient/ConfigClientTest.h"

class ServerRequestQueueTest : public ConfigClientTest {
protected:
    void SetUp() override {
        ConfigClientTest::SetUp();
        if (IsSkipped()) return;
        // SQLite's ":memory:" is private to one connection: the queues share a file.
        if (GetParam() == Backend::kSqlite) {
            location_ = dir_ + "/config.db";
            ASSERT_FALSE(db().Open(location_).IsError());
        }
        ASSERT_FALSE(sender_.Open(location_).IsError());
        ASSERT_FALSE(server_.Open(location_).IsError());
    }

    int64_t Post(const std::string& server, const std::string& payload, int64_t timeoutMs = 60000) {
        int64_t id = 0;
        const CPelError error = sender_.Post(server, "quayadm on a", payload, timeoutMs, id);
        EXPECT_FALSE(error.IsError()) << error.AsString();
        return id;
    }

    bool Take(const std::string& server, ServerRequestQueue::Request& request) {
        bool found = false;
        const CPelError error = server_.TakeNext(server, request, found);
        EXPECT_FALSE(error.IsError()) << error.AsString();
        return found;
    }

    ServerRequestQueue::State StateOf(int64_t id, std::string& response) {
        ServerRequestQueue::State state = ServerRequestQueue::State::kGone;
        EXPECT_FALSE(sender_.Check(id, state, response).IsError());
        return state;
    }

    ServerRequestQueue sender_;
    ServerRequestQueue server_;
};

TEST_P(ServerRequestQueueTest, ARequestGoesToItsServerOnceAndItsAnswerComesBack) {
    const std::string payload("version=1\ncommand=list-exports\n\0end", 36);
    const int64_t id = Post("Server-B", payload);
    ServerRequestQueue::Request request;
    EXPECT_FALSE(Take("server-a", request)) << "another server's request";
    ASSERT_TRUE(Take("SERVER-b", request)) << "names compare ignoring case";
    EXPECT_EQ(id, request.id);
    EXPECT_EQ("quayadm on a", request.sender);
    EXPECT_EQ(payload, request.payload);
    EXPECT_FALSE(Take("server-b", request)) << "taken twice";

    std::string response;
    EXPECT_EQ(ServerRequestQueue::State::kTaken, StateOf(id, response));
    bool withdrawn = true;
    ASSERT_FALSE(sender_.Withdraw(id, withdrawn).IsError());
    EXPECT_FALSE(withdrawn) << "a taken request runs: it cannot be withdrawn";
    ASSERT_FALSE(server_.Answer(id, "code=0\n").IsError());
    EXPECT_EQ(ServerRequestQueue::State::kAnswered, StateOf(id, response));
    EXPECT_EQ("code=0\n", response);
    EXPECT_EQ(ENOENT, server_.Answer(id, "again").ErrNo());
    ASSERT_FALSE(sender_.Remove(id).IsError());
    EXPECT_EQ(ServerRequestQueue::State::kGone, StateOf(id, response));
}

TEST_P(ServerRequestQueueTest, ARequestPastItsDeadlineOrWithdrawnNeverRuns) {
    const int64_t late = Post("b", "late", 1);
    const int64_t withdrawn = Post("b", "withdrawn");
    const int64_t kept = Post("b", "kept");
    bool gone = false;
    ASSERT_FALSE(sender_.Withdraw(withdrawn, gone).IsError());
    EXPECT_TRUE(gone);
    // The first request's millisecond passes on the database's clock.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ServerRequestQueue::Request request;
    ASSERT_TRUE(Take("b", request));
    EXPECT_EQ(kept, request.id);
    EXPECT_FALSE(Take("b", request));
    std::string response;
    EXPECT_EQ(ServerRequestQueue::State::kWaiting, StateOf(late, response));
    ASSERT_FALSE(sender_.Withdraw(late, gone).IsError());
    EXPECT_TRUE(gone);
}

TEST_P(ServerRequestQueueTest, PurgeRemovesRequestsLongPastTheirDeadline) {
    const int64_t old = Post("b", "old", 1);
    const int64_t current = Post("b", "current");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int64_t removed = 0;
    ASSERT_FALSE(server_.Purge(5, &removed).IsError());
    EXPECT_EQ(1, removed);
    std::string response;
    EXPECT_EQ(ServerRequestQueue::State::kGone, StateOf(old, response));
    EXPECT_EQ(ServerRequestQueue::State::kWaiting, StateOf(current, response));
}

TEST_P(ServerRequestQueueTest, BadRequestsAreRefusedBeforeTheDatabase) {
    int64_t id = 0;
    EXPECT_EQ(EINVAL, sender_.Post("", "me", "x", 1000, id).ErrNo());
    EXPECT_EQ(EINVAL, sender_.Post("b", "me", "x", 0, id).ErrNo());
    ServerRequestQueue closed;
    EXPECT_EQ(EIO, closed.Post("b", "me", "x", 1000, id).ErrNo());
}

ON_EVERY_BACKEND(ServerRequestQueueTest);

using ServerRequestNotifyTest = ServerRequestQueueTest;

TEST_P(ServerRequestNotifyTest, APostWakesTheServerAndAnAnswerWakesTheSender) {
    ASSERT_FALSE(server_.Listen(ServerRequestQueue::kRequestChannel).IsError());
    ASSERT_FALSE(sender_.Listen(ServerRequestQueue::kResponseChannel).IsError());
    const int64_t id = Post("b", "wake up");
    // Bounded by a minute: a notification that never comes fails the test.
    EXPECT_TRUE(server_.Wait(60000, -1));
    ServerRequestQueue::Request request;
    ASSERT_TRUE(Take("b", request));
    ASSERT_FALSE(server_.Answer(id, "done").IsError());
    EXPECT_TRUE(sender_.Wait(60000, -1));
}

INSTANTIATE_TEST_SUITE_P(Backends, ServerRequestNotifyTest, ::testing::Values(Backend::kPostgres), BackendName);
