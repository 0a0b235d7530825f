// The duplicate request cache on its own, and wired through a real
// connection: retransmissions get the first reply, on any connection.
#include "nfsserver/DuplicateRequestCache.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nfsserver/Nfs3Procedures.h"
#include "nfsserver/RpcConnection.h"
#include "nfsserver/RpcProgram.h"
#include "nfsserver/XdrArgs.h"
#include "nfsserver/nfs3.h"

namespace {

using Outcome = DuplicateRequestCache::Outcome;

DuplicateRequestCache::Key MakeKey(uint32_t xid, uint64_t checksum = 7, std::string client = "10.0.0.1") {
    DuplicateRequestCache::Key key;
    key.client = std::move(client);
    key.xid = xid;
    key.procedure = NFSPROC3_REMOVE;
    key.checksum = checksum;
    return key;
}

std::vector<char> Bytes(const std::string& text) { return std::vector<char>(text.begin(), text.end()); }

TEST(DuplicateRequestCacheTest, ReplaysTheStoredReply) {
    DuplicateRequestCache cache;
    std::vector<char> reply;
    ASSERT_EQ(cache.Begin(MakeKey(1), reply), Outcome::kExecute);
    cache.Complete(MakeKey(1), Bytes("first reply"));
    reply.clear();
    ASSERT_EQ(cache.Begin(MakeKey(1), reply), Outcome::kReplay);
    EXPECT_EQ(reply, Bytes("first reply"));
    // Still there for a further retransmission.
    reply.clear();
    ASSERT_EQ(cache.Begin(MakeKey(1), reply), Outcome::kReplay);
    EXPECT_EQ(reply, Bytes("first reply"));
}

TEST(DuplicateRequestCacheTest, DifferentChecksumClientOrProcedureIsANewCall) {
    DuplicateRequestCache cache;
    std::vector<char> reply;
    ASSERT_EQ(cache.Begin(MakeKey(1, 7), reply), Outcome::kExecute);
    cache.Complete(MakeKey(1, 7), Bytes("a"));
    EXPECT_EQ(cache.Begin(MakeKey(1, 8), reply), Outcome::kExecute);
    EXPECT_EQ(cache.Begin(MakeKey(1, 7, "10.0.0.2"), reply), Outcome::kExecute);
    DuplicateRequestCache::Key other = MakeKey(1, 7);
    other.procedure = NFSPROC3_RMDIR;
    EXPECT_EQ(cache.Begin(other, reply), Outcome::kExecute);
    EXPECT_EQ(cache.Begin(MakeKey(2, 7), reply), Outcome::kExecute);
}

TEST(DuplicateRequestCacheTest, ChecksumDependsOnEveryByte) {
    const std::string a = "remove name-a";
    const std::string b = "remove name-b";
    EXPECT_NE(DuplicateRequestCache::Checksum(a.data(), a.size()), DuplicateRequestCache::Checksum(b.data(), b.size()));
    EXPECT_EQ(DuplicateRequestCache::Checksum(a.data(), a.size()), DuplicateRequestCache::Checksum(a.data(), a.size()));
}

// A WRITE with 1 MiB of data, its handle and offset.
struct WriteCall {
    explicit WriteCall(size_t bytes) : data(bytes, 'd') {
        args.file.data.data_len = static_cast<u_int>(handle.size());
        args.file.data.data_val = handle.data();
        args.offset = 4096;
        args.count = static_cast<count3>(bytes);
        args.stable = UNSTABLE;
        args.data.data_len = static_cast<u_int>(bytes);
        args.data.data_val = data.data();
    }
    uint64_t Checksum() { return DuplicateRequestCache::ChecksumOfArguments(XDR_PROC(xdr_WRITE3args), &args); }
    std::string handle = std::string(41, 'h');
    std::vector<char> data;
    WRITE3args args{};
};

TEST(DuplicateRequestCacheTest, ArgumentChecksumSeesTheHeadAndTheLengthOfACall) {
    WriteCall first(1 << 20);
    WriteCall same(1 << 20);
    EXPECT_EQ(first.Checksum(), same.Checksum());
    WriteCall otherOffset(1 << 20);
    otherOffset.args.offset = 8192;
    EXPECT_NE(first.Checksum(), otherOffset.Checksum());
    WriteCall otherHandle(1 << 20);
    otherHandle.handle[40] = 'x';
    EXPECT_NE(first.Checksum(), otherHandle.Checksum());
    WriteCall otherData(1 << 20);
    otherData.data[10] = 'x';
    EXPECT_NE(first.Checksum(), otherData.Checksum());
    // One byte fewer is another call.
    WriteCall shorter((1 << 20) - 1);
    shorter.args.count = 1 << 20;
    EXPECT_NE(first.Checksum(), shorter.Checksum());
}

TEST(DuplicateRequestCacheTest, OnlyNonIdempotentProceduresKeepTheirReplies) {
    for (uint32_t procedure : {NFSPROC3_SETATTR, NFSPROC3_WRITE, NFSPROC3_CREATE, NFSPROC3_MKDIR, NFSPROC3_SYMLINK,
                               NFSPROC3_MKNOD, NFSPROC3_REMOVE, NFSPROC3_RMDIR, NFSPROC3_RENAME, NFSPROC3_LINK,
                               NFSPROC3_COMMIT}) {
        EXPECT_FALSE(kNfs3Procedures[procedure].idempotent) << procedure;
    }
    for (uint32_t procedure : {NFSPROC3_NULL, NFSPROC3_GETATTR, NFSPROC3_LOOKUP, NFSPROC3_ACCESS, NFSPROC3_READLINK,
                               NFSPROC3_READ, NFSPROC3_READDIR, NFSPROC3_READDIRPLUS, NFSPROC3_FSSTAT,
                               NFSPROC3_FSINFO, NFSPROC3_PATHCONF}) {
        EXPECT_TRUE(kNfs3Procedures[procedure].idempotent) << procedure;
    }
}

TEST(DuplicateRequestCacheTest, EvictsTheLeastRecentlyUsedBeyondCapacity) {
    DuplicateRequestCache cache(4);
    std::vector<char> reply;
    for (uint32_t xid = 1; xid <= 4; ++xid) {
        ASSERT_EQ(cache.Begin(MakeKey(xid), reply), Outcome::kExecute);
        cache.Complete(MakeKey(xid), Bytes("r" + std::to_string(xid)));
    }
    EXPECT_EQ(cache.Size(), 4u);
    // Touching xid 1 makes xid 2 the oldest.
    ASSERT_EQ(cache.Begin(MakeKey(1), reply), Outcome::kReplay);
    ASSERT_EQ(cache.Begin(MakeKey(5), reply), Outcome::kExecute);
    cache.Complete(MakeKey(5), Bytes("r5"));
    EXPECT_EQ(cache.Size(), 4u);
    EXPECT_EQ(cache.Begin(MakeKey(1), reply), Outcome::kReplay);
    EXPECT_EQ(cache.Begin(MakeKey(3), reply), Outcome::kReplay);
    EXPECT_EQ(cache.Begin(MakeKey(2), reply), Outcome::kExecute);  // evicted
    cache.Abandon(MakeKey(2));

    for (uint32_t xid = 100; xid < 1100; ++xid) {
        ASSERT_EQ(cache.Begin(MakeKey(xid), reply), Outcome::kExecute);
        cache.Complete(MakeKey(xid), Bytes("x"));
        ASSERT_LE(cache.Size(), 4u);
    }
}

TEST(DuplicateRequestCacheTest, RunningCallsAreNotEvicted) {
    DuplicateRequestCache cache(2);
    std::vector<char> reply;
    ASSERT_EQ(cache.Begin(MakeKey(1), reply), Outcome::kExecute);  // still running
    for (uint32_t xid = 10; xid < 20; ++xid) {
        ASSERT_EQ(cache.Begin(MakeKey(xid), reply), Outcome::kExecute);
        cache.Complete(MakeKey(xid), Bytes("x"));
    }
    EXPECT_EQ(cache.Begin(MakeKey(1), reply), Outcome::kInProgress);
    cache.Complete(MakeKey(1), Bytes("late"));
    ASSERT_EQ(cache.Begin(MakeKey(1), reply), Outcome::kReplay);
    EXPECT_EQ(reply, Bytes("late"));
    EXPECT_LE(cache.Size(), 2u);
}

TEST(DuplicateRequestCacheTest, DuplicateOfARunningCallIsDroppedAndAbandonLetsItRun) {
    DuplicateRequestCache cache;
    std::vector<char> reply;
    ASSERT_EQ(cache.Begin(MakeKey(1), reply), Outcome::kExecute);
    EXPECT_EQ(cache.Begin(MakeKey(1), reply), Outcome::kInProgress);
    cache.Abandon(MakeKey(1));
    EXPECT_EQ(cache.Begin(MakeKey(1), reply), Outcome::kExecute);
    cache.Complete(MakeKey(1), Bytes("done"));
    cache.Abandon(MakeKey(1));  // a finished call keeps its reply
    EXPECT_EQ(cache.Begin(MakeKey(1), reply), Outcome::kReplay);
}

TEST(DuplicateRequestCacheTest, ConcurrentDuplicatesExecuteOnce) {
    DuplicateRequestCache cache(1024);
    constexpr uint32_t kCalls = 200;
    constexpr int kThreads = 8;
    std::vector<std::atomic<int>> executions(kCalls);
    // Threads that have looked a call up at least once: the one executing
    // it holds it in progress until every other thread has seen it, so each
    // call really meets its duplicates while running.
    std::vector<std::atomic<int>> seen(kCalls);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (uint32_t xid = 0; xid < kCalls; ++xid) {
                bool first = true;
                // A dropped duplicate is retransmitted until it gets a reply.
                for (;;) {
                    std::vector<char> reply;
                    const Outcome outcome = cache.Begin(MakeKey(xid), reply);
                    if (first) ++seen[xid];
                    first = false;
                    if (outcome == Outcome::kExecute) {
                        ++executions[xid];
                        while (seen[xid].load() < kThreads) std::this_thread::yield();
                        cache.Complete(MakeKey(xid), Bytes(std::to_string(xid)));
                        break;
                    }
                    if (outcome == Outcome::kReplay) {
                        if (reply != Bytes(std::to_string(xid))) ++mismatches;
                        break;
                    }
                    std::this_thread::yield();
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (uint32_t xid = 0; xid < kCalls; ++xid) EXPECT_EQ(executions[xid].load(), 1) << "xid " << xid;
    EXPECT_EQ(mismatches.load(), 0);
}

// Through the transport: a program that, like NFS, decodes with XdrArgs and
// answers with RpcReply::Send, counting how often it really runs.
constexpr uint32_t kProgram = 0x20000999;

class CountingProgram : public RpcProgram {
public:
    uint32_t Number() const override { return kProgram; }
    uint32_t Version() const override { return 1; }
    void Dispatch(RpcCall& call) override {
        xids.push_back(call.xid);
        CachedCall cached(cache_, call.caller.Address(), call.xid, call.procedure);
        call.cached = &cached;
        XdrArgs<u_int> args(call, XDR_PROC(xdr_u_int));
        if (!args.Decode()) return;
        u_int result = args.value * 1000 + static_cast<u_int>(++executions);
        RpcReply::Send(call, XDR_PROC(xdr_u_int), &result);
    }
    std::atomic<int> executions{0};
    std::vector<uint32_t> xids;  // as received; the test calls one at a time

private:
    DuplicateRequestCache cache_;
};

// A served loopback connection and its client end.
class Connection {
public:
    Connection(int listener, CountingProgram& program) {
        sockaddr_in address{};
        socklen_t length = sizeof(address);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
        const int served = accept(listener, nullptr, nullptr);
        EXPECT_GE(served, 0);
        // Every connection of the test comes from one client address.
        connection_ = std::make_unique<RpcConnection>(served, "127.0.0.1", std::vector<RpcProgram*>{&program});
        thread_ = std::thread([this] { connection_->Run(); });
        netbuf server{length, length, &address};
        client_ = clnt_vc_create(fd, &server, kProgram, 1, 0, 0);
        EXPECT_NE(client_, nullptr);
        if (client_ != nullptr) clnt_control(client_, CLSET_FD_CLOSE, nullptr);
    }
    ~Connection() {
        if (client_ != nullptr) clnt_destroy(client_);
        connection_->Shutdown();
        thread_.join();
    }
    // Calls with an xid derived from the given one (the same for the same
    // number); the result, or 0 on failure.
    u_int Call(uint32_t procedure, uint32_t xid, u_int argument) {
        if (client_ == nullptr) return 0;
        clnt_control(client_, CLSET_XID, reinterpret_cast<char*>(&xid));
        u_int result = 0;
        timeval timeout{10, 0};
        const clnt_stat status = clnt_call(client_, procedure, XDR_PROC(xdr_u_int), reinterpret_cast<char*>(&argument),
                                           XDR_PROC(xdr_u_int), reinterpret_cast<char*>(&result), timeout);
        EXPECT_EQ(status, RPC_SUCCESS);
        return status == RPC_SUCCESS ? result : 0;
    }

private:
    std::unique_ptr<RpcConnection> connection_;
    std::thread thread_;
    CLIENT* client_ = nullptr;
};

class DuplicateRequestCacheTransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ASSERT_EQ(listen(listener_, 4), 0);
    }
    void TearDown() override { close(listener_); }
    int listener_ = -1;
    CountingProgram program_;
};

TEST_F(DuplicateRequestCacheTransportTest, RetransmissionOnANewConnectionGetsTheFirstReply) {
    u_int first = 0;
    {
        Connection connection(listener_, program_);
        first = connection.Call(NFSPROC3_REMOVE, 4242, 7);
        EXPECT_EQ(first, 7001u);
        EXPECT_EQ(connection.Call(NFSPROC3_REMOVE, 4242, 7), 7001u);
    }
    Connection again(listener_, program_);
    EXPECT_EQ(again.Call(NFSPROC3_REMOVE, 4242, 7), first);
    EXPECT_EQ(program_.executions.load(), 1);
    // Same xid, other arguments: a new call, not a retransmission.
    EXPECT_EQ(again.Call(NFSPROC3_REMOVE, 4242, 8), 8002u);
    EXPECT_EQ(again.Call(NFSPROC3_REMOVE, 4243, 7), 7003u);
    EXPECT_EQ(program_.executions.load(), 3);
    // The client's own xid arithmetic decides the number on the wire; what
    // matters is that the repeats carried one xid and the last another.
    ASSERT_EQ(program_.xids.size(), 5u);
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(program_.xids[i], program_.xids[0]);
    EXPECT_NE(program_.xids[4], program_.xids[0]);
}

}  // namespace
