// The next READ of a file read in order, prepared on the connection's thread
// while the client takes in the reply before it. A client reading a file
// this way sends each READ only when the reply before it has arrived;
// reading the next piece from the store meanwhile lets the client's copy and
// the server's run side by side instead of in turns.
//
// A prepared reply answers only the READ that goes on where the last one
// ended (same file handle and count, from the same caller on the same
// connection), and only when nothing changed from before it was prepared
// until that call (ChangeClock): it is then the reply the call would have
// got. Anything else drops it. The replies all connections hold prepared at
// once are bounded (kPreparedBytes).
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "nfsserver/CallerIdentity.h"
#include "nfsserver/ChangeClock.h"
#include "nfsserver/PreparedBudget.h"
#include "nfsserver/ServerMetrics.h"
#include "nfsserver/nfs3.h"

// A READ reply; its data goes out after the encoded result, from Data().
class ReadReply {
public:
    // Room for n bytes of data; what it held before is gone.
    char* Room(size_t n);
    const char* Data() const { return data_.get(); }
    void Release();

    READ3res res{};
    uint32_t shareId = 0;  // the share the data was read from, when res is NFS3_OK

private:
    std::unique_ptr<char[]> data_;  // not zeroed: only what a read put there goes out
    size_t room_ = 0;
};

class FileReadAhead {
public:
    // Fills reply with the reply to args from caller.
    using Builder = std::function<void(const READ3args&, const CallerIdentity&, ReadReply&)>;
    // Data of prepared replies of all connections at once.
    static constexpr size_t kPreparedBytes = 64 * 1024 * 1024;

    // largest: the most data one READ returns. metrics (may be null) counts
    // the replies prepared and those used.
    FileReadAhead(ChangeClock& clock, Builder builder, size_t largest, ServerMetrics* metrics = nullptr);
    ~FileReadAhead();
    FileReadAhead(const FileReadAhead&) = delete;
    FileReadAhead& operator=(const FileReadAhead&) = delete;

    // The reply to args from caller, valid until the next call of this
    // object: the prepared one when args go on with the reading as expected
    // and nothing changed since, one built now otherwise. Either way nothing
    // stays prepared or expected.
    const ReadReply& Answer(const READ3args& args, const CallerIdentity& caller);
    // After the reply Answer gave for args went out: expects the READ that
    // goes on where it ended, unless it ended the file or fell short; that
    // READ is to be prepared when args began the file or went on where the
    // READ before it ended.
    void Expect(const READ3args& args, const CallerIdentity& caller);
    // True when a READ is expected, to be prepared and not yet prepared.
    bool Pending() const { return expected_.has_value() && inOrder_ && !prepared_; }
    // Prepares the expected reply, when no change is under way and the bound
    // leaves room.
    void Prepare();

    // Data bytes prepared now, all connections together; for tests.
    static size_t PreparedBytes();

private:
    struct Continuation {
        std::string file;  // the handle's bytes
        uint64_t offset;
        uint32_t count;
        CallerIdentity caller;
        READ3args Args() const;  // points into file
    };
    bool Continues(const READ3args& args, const CallerIdentity& caller) const;
    void Drop();
    // Drops the expected READ, and the spare buffer with it: nothing more
    // is to be prepared for now.
    void GiveUp();

    ChangeClock& clock_;
    const Builder builder_;
    const size_t largest_;
    ServerMetrics* const metrics_;
    std::optional<Continuation> expected_;
    ReadReply answered_;     // the reply Answer gave last
    // Prepared for expected_ when prepared_; its buffer is kept between calls
    // only while a next piece is to be prepared.
    ReadReply next_;
    bool prepared_ = false;
    // The READ answered last began the file or went on in order, so the READ
    // expected after it is to be prepared.
    bool inOrder_ = false;
    uint64_t stamp_ = 0;     // when next_ was begun
    PreparedBudget::Lease reserved_;  // of the shared bound, for next_
};
