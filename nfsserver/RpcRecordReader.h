// Reads the calls of one stream connection as whole RPC records (record
// marking, RFC 5531 section 11). Each fragment header is checked against the
// record limit before any of the fragment's body is read, so a client can
// make the server neither read nor hold more than one record's worth: the
// buffer grows to the largest record accepted and never past the limit.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

class CallPolling;

class RpcRecordReader {
public:
    enum class Status {
        kRecord,     // Data() and Size() hold the next record
        kClosed,     // the peer hung up between records
        kTruncated,  // the stream ended inside a record
        kStalled,    // inside a record, nothing arrived for the stall time
        kTooLarge,   // the fragment headers announce more than the limit
        kFailed,     // the socket reported an error
    };

    // Reads from fd, a connected stream socket that stays the caller's.
    // Between records it waits as long as the client likes (an idle client
    // costs only its own thread); inside a record every byte must come within
    // stallMilliseconds of the one before. With polling, the wait for a new
    // record polls before it sleeps.
    RpcRecordReader(int fd, size_t limit, int stallMilliseconds, CallPolling* polling = nullptr);
    RpcRecordReader(const RpcRecordReader&) = delete;
    RpcRecordReader& operator=(const RpcRecordReader&) = delete;

    // Reads the next record. Anything but kRecord leaves the stream unusable.
    Status Next();

    // The record Next read; valid until the next call.
    char* Data() { return buffer_.data(); }
    const char* Data() const { return buffer_.data(); }
    size_t Size() const { return size_; }
    size_t Limit() const { return limit_; }
    // After kTooLarge: the record's size as its headers announced it, up to
    // and including the fragment refused.
    uint64_t Announced() const { return announced_; }

private:
    // Reads exactly size bytes; false with the reason in why.
    bool Fill(char* into, size_t size, bool recordStarted, Status& why);
    bool WaitReadable(bool recordStarted, Status& why);

    const int fd_;
    const size_t limit_;
    const int stallMilliseconds_;
    CallPolling* const polling_;
    std::vector<char> buffer_;
    size_t size_ = 0;
    uint64_t announced_ = 0;
};
