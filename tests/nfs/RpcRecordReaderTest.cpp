// Record marking as the reader sees it: fragments joined into records, the
// limit checked per header and across fragments before a body is read, and
// every way a stream can end inside a record.
#include "nfsserver/RpcRecordReader.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "tests/nfs/SocketPair.h"

namespace {

using Status = RpcRecordReader::Status;

constexpr int kGenerousStall = 30 * 1000;

std::string Mark(uint32_t length, bool last) {
    const uint32_t word = htonl(length | (last ? 0x80000000u : 0u));
    return std::string(reinterpret_cast<const char*>(&word), sizeof(word));
}

std::string RecordOf(const RpcRecordReader& reader) { return std::string(reader.Data(), reader.Size()); }

// A connected pair: the reader's end and the client's end.
class RpcRecordReaderTest : public ::testing::Test {
protected:
    int Served() const { return ends_.Served(); }
    void Send(const std::string& bytes) { ends_.Send(bytes); }
    void EndOfStream() { ends_.HangUp(); }
    // What the reader left unread on its end.
    std::string Unread() {
        char buffer[256];
        const ssize_t got = recv(Served(), buffer, sizeof(buffer), MSG_DONTWAIT);
        return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
    }

private:
    SocketPair ends_;
};

TEST_F(RpcRecordReaderTest, JoinsFragmentsAndReadsPipelinedRecordsOneAtATime) {
    RpcRecordReader reader(Served(), 100, kGenerousStall);
    Send(Mark(3, false) + "abc" + Mark(0, false) + Mark(2, true) + "de" + Mark(1, true) + "x" + Mark(0, true));
    EndOfStream();
    ASSERT_EQ(reader.Next(), Status::kRecord);
    EXPECT_EQ(RecordOf(reader), "abcde");
    ASSERT_EQ(reader.Next(), Status::kRecord);
    EXPECT_EQ(RecordOf(reader), "x");
    ASSERT_EQ(reader.Next(), Status::kRecord);
    EXPECT_EQ(reader.Size(), 0u);
    EXPECT_EQ(reader.Next(), Status::kClosed);
}

TEST_F(RpcRecordReaderTest, RecordOfExactlyTheLimitIsRead) {
    RpcRecordReader reader(Served(), 100, kGenerousStall);
    Send(Mark(40, false) + std::string(40, 'a') + Mark(60, true) + std::string(60, 'b'));
    ASSERT_EQ(reader.Next(), Status::kRecord);
    EXPECT_EQ(RecordOf(reader), std::string(40, 'a') + std::string(60, 'b'));
}

TEST_F(RpcRecordReaderTest, HeaderOverTheLimitIsRefusedBeforeItsBodyIsRead) {
    RpcRecordReader reader(Served(), 100, kGenerousStall);
    Send(Mark(101, true) + "BODY");
    EXPECT_EQ(reader.Next(), Status::kTooLarge);
    EXPECT_EQ(reader.Announced(), 101u);
    EXPECT_EQ(Unread(), "BODY");
}

TEST_F(RpcRecordReaderTest, LargestAnnouncedLengthIsRefusedWithItsSize) {
    RpcRecordReader reader(Served(), 1024 * 1024 + 64 * 1024, kGenerousStall);
    Send(Mark(0x7fffffffu, false) + "BODY");
    EXPECT_EQ(reader.Next(), Status::kTooLarge);
    EXPECT_EQ(reader.Announced(), 0x7fffffffu);
    EXPECT_EQ(Unread(), "BODY");
}

TEST_F(RpcRecordReaderTest, FragmentsAddingUpPastTheLimitAreRefusedAtTheHeaderThatCrossesIt) {
    RpcRecordReader reader(Served(), 100, kGenerousStall);
    Send(Mark(40, false) + std::string(40, 'a') + Mark(40, false) + std::string(40, 'b') + Mark(21, true) + "rest");
    EXPECT_EQ(reader.Next(), Status::kTooLarge);
    EXPECT_EQ(reader.Announced(), 101u);
    EXPECT_EQ(Unread(), "rest");
}

TEST_F(RpcRecordReaderTest, EmptyStreamIsClosedNotTruncated) {
    RpcRecordReader reader(Served(), 100, kGenerousStall);
    EndOfStream();
    EXPECT_EQ(reader.Next(), Status::kClosed);
    EXPECT_EQ(reader.Next(), Status::kClosed);
}

TEST_F(RpcRecordReaderTest, EndOfStreamInsideAHeaderIsTruncated) {
    RpcRecordReader reader(Served(), 100, kGenerousStall);
    Send(Mark(5, true).substr(0, 2));
    EndOfStream();
    EXPECT_EQ(reader.Next(), Status::kTruncated);
}

TEST_F(RpcRecordReaderTest, EndOfStreamInsideABodyIsTruncated) {
    RpcRecordReader reader(Served(), 100, kGenerousStall);
    Send(Mark(10, true) + "abc");
    EndOfStream();
    EXPECT_EQ(reader.Next(), Status::kTruncated);
}

TEST_F(RpcRecordReaderTest, EndOfStreamAfterANonLastFragmentIsTruncated) {
    RpcRecordReader reader(Served(), 100, kGenerousStall);
    Send(Mark(3, false) + "abc");
    EndOfStream();
    EXPECT_EQ(reader.Next(), Status::kTruncated);
}

TEST_F(RpcRecordReaderTest, ClientStoppingInsideARecordStalls) {
    RpcRecordReader reader(Served(), 100, 200);
    Send(Mark(10, true) + "abc");
    EXPECT_EQ(reader.Next(), Status::kStalled);
}

TEST_F(RpcRecordReaderTest, ClientStoppingInsideAHeaderStalls) {
    RpcRecordReader reader(Served(), 100, 200);
    Send(Mark(10, true).substr(0, 3));
    EXPECT_EQ(reader.Next(), Status::kStalled);
}

TEST_F(RpcRecordReaderTest, IdleClientBetweenRecordsIsWaitedFor) {
    // Far shorter than the client's silence: only a wait inside a record may
    // time out.
    RpcRecordReader reader(Served(), 100, 50);
    Status status = Status::kFailed;
    std::thread waiting([&] { status = reader.Next(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Send(Mark(2, true) + "ok");
    waiting.join();
    ASSERT_EQ(status, Status::kRecord);
    EXPECT_EQ(RecordOf(reader), "ok");
}

}  // namespace
