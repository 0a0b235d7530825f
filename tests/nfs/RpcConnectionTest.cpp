// A served connection fed hand-built byte streams: calls in one or many
// fragments get their replies, bad arguments get GARBAGE_ARGS, and oversized,
// truncated, stalled or idle streams end or hold only their own connection.
#include "nfsserver/RpcConnection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/LogWriter.h"
#include "nfsserver/Mount3Program.h"
#include "nfsserver/RpcProgram.h"
#include "nfsserver/RpcRecordTransport.h"
#include "nfsserver/ServerMetrics.h"
#include "nfsserver/XdrArgs.h"

namespace {

constexpr uint32_t kProgram = 0x20000998;
constexpr uint32_t kNull = 0;
constexpr uint32_t kIncrement = 1;  // a u_int argument, its successor back
constexpr uint32_t kTail = 2;       // a u_int n: a tag and n bytes sent as the reply's tail
constexpr uint32_t kTailFails = 3;  // sets a tail, then fails with SYSTEM_ERR
constexpr u_int kTag = 0x7a11;

// A result shaped like READ's: fields, then a variable-length opaque.
struct TailResult {
    u_int tag;
    u_int length;
    char* data;
};

bool_t EncodeTailResult(XDR* xdrs, TailResult* result) {
    return xdr_u_int(xdrs, &result->tag) && xdr_bytes(xdrs, &result->data, &result->length, ~0u);
}

std::string TailBytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
    return bytes;
}
constexpr int kTimeoutMs = 30 * 1000;
constexpr char kPeer[] = "test-peer";

class TestProgram : public RpcProgram {
public:
    uint32_t Number() const override { return kProgram; }
    uint32_t Version() const override { return 1; }
    void Dispatch(RpcCall& call) override {
        if (call.procedure == kNull) {
            RpcReply::Send(call, XDR_PROC(xdr_void), nullptr);
        } else if (call.procedure == kIncrement) {
            XdrArgs<u_int> args(call, XDR_PROC(xdr_u_int));
            if (!args.Decode()) return;
            const u_int result = args.value + 1;
            RpcReply::Send(call, XDR_PROC(xdr_u_int), &result);
        } else if (call.procedure == kTail) {
            XdrArgs<u_int> args(call, XDR_PROC(xdr_u_int));
            if (!args.Decode()) return;
            tail_ = TailBytes(args.value);
            TailResult result{kTag, 0, nullptr};
            RpcRecordTransport::Of(call.transport).SetReplyTail(tail_.data(), tail_.size());
            RpcReply::Send(call, XDR_PROC(EncodeTailResult), &result);
        } else if (call.procedure == kTailFails) {
            tail_ = TailBytes(6);
            RpcRecordTransport::Of(call.transport).SetReplyTail(tail_.data(), tail_.size());
            svcerr_systemerr(call.transport);
        } else {
            svcerr_noproc(call.transport);
        }
    }

private:
    std::string tail_;
};

std::string Word(uint32_t value) {
    const uint32_t word = htonl(value);
    return std::string(reinterpret_cast<const char*>(&word), sizeof(word));
}

std::string Mark(uint32_t length, bool last) { return Word(length | (last ? 0x80000000u : 0u)); }

// A call header with credentials of a flavor (AUTH_NONE) and no body, then
// the arguments.
std::string CallTo(uint32_t program, uint32_t version, uint32_t xid, uint32_t procedure,
                   const std::string& arguments = "", uint32_t flavor = 0) {
    return Word(xid) + Word(0) + Word(2) + Word(program) + Word(version) + Word(procedure) + Word(flavor) + Word(0) +
           Word(0) + Word(0) + arguments;
}

std::string Call(uint32_t xid, uint32_t procedure, const std::string& arguments = "") {
    return CallTo(kProgram, 1, xid, procedure, arguments);
}

std::string Record(const std::string& body) { return Mark(static_cast<uint32_t>(body.size()), true) + body; }

// An accepted reply: xid, REPLY, MSG_ACCEPTED, AUTH_NONE verifier, status.
std::string AcceptedReply(uint32_t xid, uint32_t status) {
    return Word(xid) + Word(1) + Word(0) + Word(0) + Word(0) + Word(status);
}

constexpr uint32_t kSuccess = 0;
constexpr uint32_t kGarbageArgs = 4;
constexpr uint32_t kSystemError = 5;

bool WaitReadable(int fd) {
    pollfd wait{fd, POLLIN, 0};
    return poll(&wait, 1, kTimeoutMs) > 0;
}

// Reads exactly size bytes; false on end of stream, error or timeout.
bool ReadExactly(int fd, std::string& into, size_t size) {
    into.assign(size, '\0');
    size_t done = 0;
    while (done < size) {
        if (!WaitReadable(fd)) return false;
        const ssize_t got = recv(fd, &into[done], size - done, 0);
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

// One served connection over a socketpair, and the client's end of it.
class ServedConnection {
public:
    explicit ServedConnection(RpcProgram& program, ServerMetrics* metrics = nullptr) {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        client_ = ends[1];
        connection_ = std::make_unique<RpcConnection>(ends[0], kPeer, std::vector<RpcProgram*>{&program}, nullptr,
                                                      metrics);
        thread_ = std::thread([this] { connection_->Run(); });
    }
    ~ServedConnection() {
        connection_->Shutdown();
        thread_.join();
        close(client_);
    }

    void Send(const std::string& bytes) {
        EXPECT_EQ(send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    void EndOfStream() { shutdown(client_, SHUT_WR); }

    // The next reply record's body; empty when none came.
    std::string Reply() {
        std::string mark;
        if (!ReadExactly(client_, mark, 4)) return "";
        uint32_t length = 0;
        memcpy(&length, mark.data(), sizeof(length));
        length = ntohl(length);
        EXPECT_NE(length & 0x80000000u, 0u) << "replies are single fragments";
        std::string body;
        return ReadExactly(client_, body, length & 0x7fffffffu) ? body : "";
    }

    // True when the server closed its end: end of stream or a reset, after
    // whatever replies were still on the way.
    bool ClosedByServer() {
        char buffer[4096];
        for (;;) {
            if (!WaitReadable(client_)) return false;
            const ssize_t got = recv(client_, buffer, sizeof(buffer), 0);
            if (got == 0 || (got < 0 && errno == ECONNRESET)) return true;
            if (got < 0) return false;
        }
    }

    // Waits for the connection's thread to end on its own.
    bool Finishes() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
        while (!connection_->Finished() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return connection_->Finished();
    }

    RpcConnection& Connection() { return *connection_; }

private:
    int client_ = -1;
    std::unique_ptr<RpcConnection> connection_;
    std::thread thread_;
};

class RpcConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_ptrLogWriter->SetLevel(10);
        g_ptrLogWriter->StartCapture();
        g_ptrLogWriter->ClearCaptured();
    }
    void TearDown() override { g_ptrLogWriter->StopCapture(); }

    // Captured lines of at least WARN importance, as "[level] text".
    static std::vector<std::string> Warnings() {
        std::vector<std::string> lines;
        for (const LogLine& line : g_ptrLogWriter->Captured()) {
            if (line.level <= 2) lines.push_back("[" + std::to_string(line.level) + "] " + line.text);
        }
        return lines;
    }

    // The server closed the connection, its thread ended, and the one line
    // of WARN importance said why.
    static void ExpectClosedWithWarning(ServedConnection& served, const std::string& warning) {
        EXPECT_TRUE(served.ClosedByServer());
        EXPECT_TRUE(served.Finishes());
        EXPECT_EQ(Warnings(), std::vector<std::string>{"[2] " + warning});
    }

    TestProgram program_;
};

TEST_F(RpcConnectionTest, NullCallIsAnswered) {
    ServedConnection served(program_);
    served.Send(Record(Call(7, kNull)));
    EXPECT_EQ(served.Reply(), AcceptedReply(7, kSuccess));
    EXPECT_TRUE(Warnings().empty());
}

TEST_F(RpcConnectionTest, FragmentedAndPipelinedCallsAreAnsweredInOrder) {
    ServedConnection served(program_);
    const std::string first = Call(1, kIncrement, Word(41));
    served.Send(Mark(5, false) + first.substr(0, 5) + Mark(0, false) +
                Mark(static_cast<uint32_t>(first.size() - 5), true) + first.substr(5) + Record(Call(2, kNull)));
    EXPECT_EQ(served.Reply(), AcceptedReply(1, kSuccess) + Word(42));
    EXPECT_EQ(served.Reply(), AcceptedReply(2, kSuccess));
}

// The tail is sent from where it lies: the reply must be byte for byte what
// encoding the whole result would give, padding included, also when the
// socket takes a large tail in several sends; the next reply has none.
TEST_F(RpcConnectionTest, ReplyTailsGoOutAsIfEncodedWithTheResult) {
    ServedConnection served(program_);
    for (const u_int size : {0u, 1u, 5u, 8u, 1024u * 1024u}) {
        served.Send(Record(Call(size, kTail, Word(size))));
        const std::string padding((4 - size % 4) % 4, '\0');
        EXPECT_EQ(served.Reply(), AcceptedReply(size, kSuccess) + Word(kTag) + Word(size) + TailBytes(size) + padding)
            << size;
    }
    served.Send(Record(Call(9, kIncrement, Word(1))));
    EXPECT_EQ(served.Reply(), AcceptedReply(9, kSuccess) + Word(2));
    // An error at the RPC level has no results: the tail is dropped and the
    // error's status stays as encoded.
    served.Send(Record(Call(10, kTailFails)));
    EXPECT_EQ(served.Reply(), AcceptedReply(10, kSystemError));
    served.Send(Record(Call(11, kIncrement, Word(2))));
    EXPECT_EQ(served.Reply(), AcceptedReply(11, kSuccess) + Word(3));
}

// Every call is counted once where it was answered: by its procedure with
// the status its reply began with, or by the RPC error that refused it.
TEST_F(RpcConnectionTest, CallsAreCountedByProcedureStatusAndRpcError) {
    Mount3Program mount;
    ServerMetrics metrics;
    ServedConnection served(mount, &metrics);
    constexpr uint32_t kMnt = 1;
    const std::string path = Word(5) + std::string("/nope\0\0\0", 8);
    const std::pair<std::string, uint32_t> calls[] = {
        {CallTo(MOUNT_PROGRAM, 3, 1, 0), kSuccess},                     // NULL
        {CallTo(MOUNT_PROGRAM, 3, 2, kMnt, path), kSuccess},            // MNT3ERR_NOENT
        {CallTo(MOUNT_PROGRAM, 3, 3, kMnt, path), kSuccess},            // again
        {CallTo(MOUNT_PROGRAM, 3, 4, kMnt, Word(5000)), kGarbageArgs},  // a path past its bound
        {CallTo(MOUNT_PROGRAM, 3, 5, 99), 3},                           // PROC_UNAVAIL
        {CallTo(MOUNT_PROGRAM, 1, 6, 0), 2},                            // PROG_MISMATCH
        {CallTo(1234567, 3, 7, 0), 1},                                  // PROG_UNAVAIL
    };
    for (const auto& call : calls) {
        served.Send(Record(call.first));
        uint32_t xid = 0;
        memcpy(&xid, call.first.data(), sizeof(xid));
        EXPECT_EQ(served.Reply().substr(0, 24), AcceptedReply(ntohl(xid), call.second));
    }
    // A credential flavor nobody knows is denied before any program sees it.
    served.Send(Record(CallTo(MOUNT_PROGRAM, 3, 8, 0, "", 77)));
    EXPECT_EQ(served.Reply().substr(0, 12), Word(8) + Word(1) + Word(1));  // REPLY, MSG_DENIED

    const ServerMetrics::Snapshot snapshot = metrics.Take();
    std::map<std::string, uint64_t> called;
    std::map<std::string, uint64_t> errors;
    for (const ServerMetrics::ProcedureCounts& counts : snapshot.procedures) {
        const std::string name = std::string(counts.protocol) + std::to_string(counts.version) + " " + counts.name;
        if (counts.calls != 0) called[name] = counts.calls;
        for (const auto& error : counts.errors) errors[name + " " + error.first] = error.second;
        uint64_t timed = 0;
        for (uint64_t bucket : counts.buckets) timed += bucket;
        EXPECT_EQ(timed, counts.timed ? counts.calls : 0) << name;
    }
    EXPECT_EQ(called, (std::map<std::string, uint64_t>{{"mount3 NULL", 1}, {"mount3 MNT", 3}}));
    EXPECT_EQ(errors, (std::map<std::string, uint64_t>{{"mount3 MNT MNT3ERR_NOENT", 2}}));
    EXPECT_EQ(snapshot.rpcErrors, (std::array<uint64_t, ServerMetrics::kRpcErrors>{1, 1, 1, 1, 1}));
}

TEST_F(RpcConnectionTest, MalformedArgumentsGetGarbageArgsAndTheConnectionGoesOn) {
    ServedConnection served(program_);
    served.Send(Record(Call(3, kIncrement, "ab")));
    EXPECT_EQ(served.Reply(), AcceptedReply(3, kGarbageArgs));
    served.Send(Record(Call(4, kNull)));
    EXPECT_EQ(served.Reply(), AcceptedReply(4, kSuccess));
}

TEST_F(RpcConnectionTest, CallOfExactlyTheLimitIsAnswered) {
    ServedConnection served(program_);
    // NULL ignores its arguments; the padding brings the record to the limit,
    // sent in fragments of 64 KiB.
    std::string body = Call(5, kNull);
    body.resize(RpcConnection::kBufferSize, 'p');
    std::string stream;
    const size_t fragment = 64 * 1024;
    for (size_t at = 0; at < body.size(); at += fragment) {
        const size_t length = std::min(fragment, body.size() - at);
        stream += Mark(static_cast<uint32_t>(length), at + length == body.size()) + body.substr(at, length);
    }
    served.Send(stream);
    EXPECT_EQ(served.Reply(), AcceptedReply(5, kSuccess));
}

TEST_F(RpcConnectionTest, OversizedFragmentHeaderClosesTheConnection) {
    ServedConnection served(program_);
    served.Send(Mark(2 * 1024 * 1024, true) + Call(6, kNull));
    ExpectClosedWithWarning(served,
                            "WARN: NFS: record of [2097152] bytes from [test-peer] exceeds [1114112]; "
                            "closing the connection");
}

TEST_F(RpcConnectionTest, FragmentsAddingUpPastTheLimitCloseTheConnection) {
    ServedConnection served(program_);
    // Seventeen fragments of 64 KiB fill the limit exactly; one more byte
    // is refused.
    std::string stream;
    const std::string fragment(64 * 1024, 'f');
    for (int i = 0; i < 17; ++i) stream += Mark(static_cast<uint32_t>(fragment.size()), false) + fragment;
    stream += Mark(1, true);
    served.Send(stream);
    ExpectClosedWithWarning(served,
                            "WARN: NFS: record of [1114113] bytes from [test-peer] exceeds [1114112]; "
                            "closing the connection");
}

TEST_F(RpcConnectionTest, CallCutOffByTheEndOfTheStreamEndsTheConnection) {
    ServedConnection served(program_);
    served.Send(Mark(100, true) + Call(8, kNull).substr(0, 20));
    served.EndOfStream();
    EXPECT_TRUE(served.Finishes());
    EXPECT_TRUE(served.ClosedByServer());
    EXPECT_TRUE(Warnings().empty());
}

TEST_F(RpcConnectionTest, ClientHangingUpAtOnceEndsTheConnection) {
    ServedConnection served(program_);
    served.EndOfStream();
    EXPECT_TRUE(served.Finishes());
    EXPECT_TRUE(Warnings().empty());
}

TEST_F(RpcConnectionTest, RecordWithoutACallHeaderClosesTheConnection) {
    ServedConnection served(program_);
    served.Send(Mark(0, true) + Record(Call(9, kNull)));
    ExpectClosedWithWarning(served, "WARN: NFS: undecodable call header from [test-peer]; closing the connection");
}

TEST_F(RpcConnectionTest, StalledAndIdleClientsHoldOnlyTheirOwnConnections) {
    ServedConnection stalled(program_);
    stalled.Send(Mark(100, true) + Call(10, kNull).substr(0, 20));
    ServedConnection idle(program_);
    ServedConnection busy(program_);
    for (uint32_t xid = 11; xid < 14; ++xid) {
        busy.Send(Record(Call(xid, kNull)));
        EXPECT_EQ(busy.Reply(), AcceptedReply(xid, kSuccess));
    }
    EXPECT_FALSE(stalled.Connection().Finished());
    EXPECT_FALSE(idle.Connection().Finished());
    // Stopping does not wait for the stall timeout, which is longer than
    // Finishes waits.
    static_assert(RpcConnection::kStallMilliseconds > kTimeoutMs, "the wait below must not end by the stall");
    stalled.Connection().Shutdown();
    idle.Connection().Shutdown();
    EXPECT_TRUE(stalled.Finishes());
    EXPECT_TRUE(idle.Finishes());
}

TEST_F(RpcConnectionTest, ClientStalledInsideACallIsGivenUp) {
    // The transport on its own, with a stall time a test can wait for.
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    {
        RpcRecordTransport transport(ends[0], kPeer, 100, 200, 4096);
        ASSERT_TRUE(transport.Ready());
        const std::string partial = Mark(60, true) + Call(15, kNull).substr(0, 20);
        ASSERT_EQ(send(ends[1], partial.data(), partial.size(), MSG_NOSIGNAL), static_cast<ssize_t>(partial.size()));
        char auth[2 * MAX_AUTH_BYTES];
        rpc_msg message{};
        message.rm_call.cb_cred.oa_base = auth;
        message.rm_call.cb_verf.oa_base = auth + MAX_AUTH_BYTES;
        EXPECT_FALSE(SVC_RECV(transport.Handle(), &message));
        EXPECT_EQ(SVC_STAT(transport.Handle()), XPRT_DIED);
    }
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(Warnings(), std::vector<std::string>{
                              "[2] WARN: NFS: [test-peer] stalled in the middle of a call; closing the connection"});
}

}  // namespace
