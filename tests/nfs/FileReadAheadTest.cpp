// The next READ prepared ahead: it answers only the READ that goes on where
// the last one ended, from the same caller, and only when nothing changed
// from before it was made until it is used; the memory of prepared replies
// is bounded across connections.
#include "nfsserver/FileReadAhead.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/nfs/OtherCallers.h"

namespace {

constexpr uint32_t kPiece = 4096;
constexpr uint64_t kFileSize = 5 * kPiece + 100;
constexpr size_t kLargest = 1 << 20;

// A file of size bytes, byte i being i % 251, read as the server's own
// builder reads it; counts its reads. changeWhileReading makes a change
// happen during a read.
struct File {
    ChangeClock clock;
    uint64_t size = kFileSize;
    int reads = 0;
    bool changeWhileReading = false;
    nfsstat3 status = NFS3_OK;

    void Read(const READ3args& args, const CallerIdentity&, ReadReply& reply) {
        ++reads;
        if (changeWhileReading) ChangeClock::Change change(clock);
        reply.res = READ3res{};
        reply.res.status = status;
        if (status != NFS3_OK) return;
        char* data = reply.Room(args.count);
        uint64_t offset = args.offset;
        for (; offset < size && offset < args.offset + args.count; ++offset) {
            data[offset - args.offset] = static_cast<char>(offset % 251);
        }
        READ3resok& ok = reply.res.READ3res_u.resok;
        ok.count = static_cast<count3>(offset - args.offset);
        ok.eof = offset >= size;
        reply.shareId = 7;
    }
    FileReadAhead::Builder Builder() {
        return [this](const READ3args& a, const CallerIdentity& c, ReadReply& r) { Read(a, c, r); };
    }
};

struct Call {
    std::string handle = "file-handle";
    READ3args args{};

    explicit Call(uint64_t offset, uint32_t count = kPiece) {
        args.file.data.data_len = static_cast<u_int>(handle.size());
        args.file.data.data_val = handle.data();
        args.offset = offset;
        args.count = count;
    }
    Call(const Call& other) : handle(other.handle), args(other.args) { args.file.data.data_val = handle.data(); }
};

class FileReadAheadTest : public ::testing::Test {
protected:
    // Answers call as the NFS procedure does, then expects the next READ;
    // the reply's data as a string.
    std::string Answer(const Call& call, const CallerIdentity& caller = kCaller) {
        const ReadReply& reply = ahead.Answer(call.args, caller);
        std::string data;
        if (reply.res.status == NFS3_OK) data.assign(reply.Data(), reply.res.READ3res_u.resok.count);
        ahead.Expect(call.args, caller);
        return data;
    }
    static std::string Expected(uint64_t offset, size_t count) {
        std::string data;
        for (uint64_t i = offset; i < kFileSize && i < offset + count; ++i) data += static_cast<char>(i % 251);
        return data;
    }

    uint64_t Prepared() const { return metrics.Take().readsPrepared; }
    uint64_t Answered() const { return metrics.Take().readsAnswered; }

    File file;
    ServerMetrics metrics;
    FileReadAhead ahead{file.clock, file.Builder(), kLargest, &metrics};
};

TEST_F(FileReadAheadTest, AFileReadInOrderIsAnsweredFromThePreparedReplies) {
    std::string whole = Answer(Call(0));
    int pieces = 1;
    while (ahead.Pending()) {
        ahead.Prepare();
        EXPECT_EQ(FileReadAhead::PreparedBytes(), kPiece);
        whole += Answer(Call(whole.size()));
        ++pieces;
    }
    EXPECT_EQ(whole, Expected(0, kFileSize));
    EXPECT_EQ(pieces, 6);
    EXPECT_EQ(file.reads, 6) << "every piece was read once";
    EXPECT_EQ(FileReadAhead::PreparedBytes(), 0u);
    EXPECT_EQ(Prepared(), 5u);
    EXPECT_EQ(Answered(), 5u);
}

TEST_F(FileReadAheadTest, AnyOtherReadIsAnsweredAfresh) {
    struct Case {
        const char* what;
        Call call;
        const CallerIdentity& caller;
    };
    Call otherFile(kPiece);
    otherFile.handle[0] = 'F';
    std::vector<Case> cases = {
        {"a skip forward", Call(2 * kPiece), kCaller},
        {"a rewind", Call(0), kCaller},
        {"another count", Call(kPiece, 2 * kPiece), kCaller},
        {"another file", otherFile, kCaller},
    };
    const std::vector<OtherCaller> others = OtherCallers();
    for (const OtherCaller& other : others) cases.push_back({other.what, Call(kPiece), other.caller});
    for (const Case& c : cases) {
        Answer(Call(0));
        ahead.Prepare();
        const int reads = file.reads;
        const ReadReply& reply = ahead.Answer(c.call.args, c.caller);
        EXPECT_EQ(file.reads, reads + 1) << c.what << ": not read for the call";
        EXPECT_EQ(std::string(reply.Data(), reply.res.READ3res_u.resok.count),
                  Expected(c.call.args.offset, c.call.args.count))
            << c.what;
        EXPECT_FALSE(ahead.Pending()) << c.what;
        EXPECT_EQ(FileReadAhead::PreparedBytes(), 0u) << c.what;
        // The READ that was expected is not served from the dropped reply either.
        ahead.Answer(Call(kPiece).args, kCaller);
        EXPECT_EQ(file.reads, reads + 2) << c.what;
    }
    EXPECT_EQ(Answered(), 0u);
}

TEST_F(FileReadAheadTest, AChangeSinceTheReplyWasBegunDropsIt) {
    // A change after the reply was made.
    Answer(Call(0));
    ahead.Prepare();
    { ChangeClock::Change change(file.clock); }
    int reads = file.reads;
    Answer(Call(kPiece));
    EXPECT_EQ(file.reads, reads + 1);

    // A change while it was made.
    Answer(Call(0));
    file.changeWhileReading = true;
    ahead.Prepare();
    file.changeWhileReading = false;
    EXPECT_FALSE(ahead.Pending());
    EXPECT_EQ(FileReadAhead::PreparedBytes(), 0u);

    // A change under way when it would be made: nothing is read.
    Answer(Call(0));
    reads = file.reads;
    {
        ChangeClock::Change change(file.clock);
        ahead.Prepare();
    }
    EXPECT_EQ(file.reads, reads);
    EXPECT_FALSE(ahead.Pending());

    // Changes that ended before it was made do not matter.
    Answer(Call(0));
    ahead.Prepare();
    reads = file.reads;
    EXPECT_EQ(Answer(Call(kPiece)), Expected(kPiece, kPiece));
    EXPECT_EQ(file.reads, reads);
    EXPECT_EQ(Prepared(), 2u) << "the reply of a change under way or during the making was counted";
    EXPECT_EQ(Answered(), 1u) << "a reply dropped after a change was counted as answered";
}

TEST_F(FileReadAheadTest, OnlyAReadThatLeavesMoreIsFollowed) {
    Answer(Call(5 * kPiece));
    EXPECT_FALSE(ahead.Pending()) << "after the end of the file";
    Answer(Call(2 * kPiece));
    EXPECT_FALSE(ahead.Pending()) << "after a READ that neither began the file nor went on in order";
    Answer(Call(3 * kPiece));
    EXPECT_TRUE(ahead.Pending()) << "after the READ that went on from it";
    Answer(Call(kFileSize - 10, 5));
    EXPECT_FALSE(ahead.Pending()) << "after a jump";
    Answer(Call(0, kLargest + 4));
    EXPECT_FALSE(ahead.Pending()) << "after a READ larger than prepared ahead";
    Answer(Call(0, 0));
    EXPECT_FALSE(ahead.Pending()) << "after a READ of nothing";
    file.status = NFS3ERR_ACCES;
    Answer(Call(0));
    EXPECT_FALSE(ahead.Pending()) << "after an error";

    // A next piece that fails when it is prepared is left to the call.
    file.status = NFS3_OK;
    Answer(Call(0));
    file.status = NFS3ERR_STALE;
    ahead.Prepare();
    EXPECT_FALSE(ahead.Pending());
    EXPECT_EQ(FileReadAhead::PreparedBytes(), 0u);
    file.status = NFS3_OK;
    EXPECT_EQ(Answer(Call(kPiece)), Expected(kPiece, kPiece));
}

TEST_F(FileReadAheadTest, PreparedRepliesOfAllConnectionsStayWithinTheBound) {
    constexpr size_t kFit = FileReadAhead::kPreparedBytes / kLargest;
    File big;
    big.size = 4 * kLargest;
    std::vector<std::unique_ptr<FileReadAhead>> connections;
    for (size_t i = 0; i <= kFit; ++i) {
        connections.push_back(std::make_unique<FileReadAhead>(big.clock, big.Builder(), kLargest));
        const Call call(0, kLargest);
        connections.back()->Answer(call.args, kCaller);
        connections.back()->Expect(call.args, kCaller);
        connections.back()->Prepare();
    }
    EXPECT_EQ(FileReadAhead::PreparedBytes(), FileReadAhead::kPreparedBytes);
    EXPECT_FALSE(connections.back()->Pending()) << "one past the bound was prepared";
    connections.clear();
    EXPECT_EQ(FileReadAhead::PreparedBytes(), 0u);
}

}  // namespace
