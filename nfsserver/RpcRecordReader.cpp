#include "nfsserver/RpcRecordReader.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "nfsserver/CallPolling.h"

namespace {
constexpr uint32_t kLastFragment = 0x80000000u;
}  // namespace

RpcRecordReader::RpcRecordReader(int fd, size_t limit, int stallMilliseconds, CallPolling* polling)
    : fd_(fd), limit_(limit), stallMilliseconds_(stallMilliseconds), polling_(polling) {}

RpcRecordReader::Status RpcRecordReader::Next() {
    size_ = 0;
    announced_ = 0;
    Status why = Status::kRecord;
    bool started = false;
    bool last = false;
    while (!last) {
        uint32_t mark = 0;
        if (!Fill(reinterpret_cast<char*>(&mark), sizeof(mark), started, why)) return why;
        started = true;
        mark = ntohl(mark);
        last = (mark & kLastFragment) != 0;
        const size_t length = mark & ~kLastFragment;
        // Checked across fragments too: many small ones must not add up past
        // the limit either.
        announced_ = static_cast<uint64_t>(size_) + length;
        if (announced_ > limit_) return Status::kTooLarge;
        if (buffer_.size() < announced_) buffer_.resize(announced_);
        if (!Fill(buffer_.data() + size_, length, true, why)) return why;
        size_ = announced_;
    }
    return Status::kRecord;
}

bool RpcRecordReader::Fill(char* into, size_t size, bool recordStarted, Status& why) {
    size_t done = 0;
    while (done < size) {
        // Never blocks in recv, so that waiting always goes through the one
        // place that knows whether a stall timeout applies.
        const ssize_t got = recv(fd_, into + done, size - done, MSG_DONTWAIT);
        if (got > 0) {
            done += static_cast<size_t>(got);
            recordStarted = true;
        } else if (got == 0) {
            why = recordStarted ? Status::kTruncated : Status::kClosed;
            return false;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!WaitReadable(recordStarted, why)) return false;
        } else if (errno != EINTR) {
            why = Status::kFailed;
            return false;
        }
    }
    return true;
}

bool RpcRecordReader::WaitReadable(bool recordStarted, Status& why) {
    // Inside a record the rest is already on its way; between records the
    // next call usually follows the last reply closely.
    if (!recordStarted && polling_ != nullptr && polling_->AwaitReadable(fd_)) return true;
    pollfd wait{fd_, POLLIN, 0};
    for (;;) {
        const int ready = poll(&wait, 1, recordStarted ? stallMilliseconds_ : -1);
        // Hang-ups and errors count as readable: recv reports them.
        if (ready > 0) return true;
        if (ready == 0) {
            why = Status::kStalled;
            return false;
        }
        if (errno != EINTR) {
            why = Status::kFailed;
            return false;
        }
    }
}
