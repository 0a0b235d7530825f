// Replies of non-idempotent NFS calls, kept so that a retransmitted call (the
// client timed out, or reconnected, before our reply reached it) gets the
// first reply again instead of running a second time: a second REMOVE or
// exclusive CREATE would turn the client's success into an error, a second
// RENAME or WRITE could undo a later change. Server-wide, because clients
// retransmit on a new connection after the old one broke.
#pragma once
#include <rpc/rpc.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class DuplicateRequestCache {
public:
    static constexpr size_t kDefaultCapacity = 4096;

    // A call is the same call again only if client, xid, procedure and
    // argument bytes all match: clients reuse xids after a reboot or wrap.
    struct Key {
        std::string client;  // address without port; the port changes on reconnect
        uint32_t xid = 0;
        uint32_t procedure = 0;
        uint64_t checksum = 0;
        bool operator==(const Key& other) const {
            return xid == other.xid && procedure == other.procedure && checksum == other.checksum &&
                   client == other.client;
        }
    };

    enum class Outcome {
        kExecute,     // first sight: run it, then Complete or Abandon
        kReplay,      // done before: send the stored reply
        kInProgress,  // running on another connection: drop, the client retries
    };

    explicit DuplicateRequestCache(size_t capacity = kDefaultCapacity);
    DuplicateRequestCache(const DuplicateRequestCache&) = delete;
    DuplicateRequestCache& operator=(const DuplicateRequestCache&) = delete;

    // Claims the key or reports why not; on kReplay, reply holds the stored
    // reply's bytes.
    Outcome Begin(const Key& key, std::vector<char>& reply);
    // Stores the reply of a call Begin let execute.
    void Complete(const Key& key, std::vector<char> reply);
    // Forgets a call that ended without a reply worth replaying (an RPC
    // error), so that its retransmission runs.
    void Abandon(const Key& key);

    size_t Size() const;
    size_t Capacity() const { return capacity_; }
    // Calls Begin answered kReplay, and kInProgress, so far.
    uint64_t Replays() const { return replays_.load(std::memory_order_relaxed); }
    uint64_t InProgress() const { return inProgress_.load(std::memory_order_relaxed); }

    // Continues from a previous checksum when given one.
    static constexpr uint64_t kChecksumStart = 14695981039346656037ull;
    static uint64_t Checksum(const void* data, size_t size, uint64_t previous = kChecksumStart);
    // The checksum of a call's decoded arguments as the client encoded them:
    // their first bytes and their length.
    static uint64_t ChecksumOfArguments(xdrproc_t encoder, void* arguments);

private:
    struct KeyHash {
        size_t operator()(const Key& key) const;
    };
    struct Entry {
        Key key;
        bool done = false;
        std::vector<char> reply;
    };
    void EvictLocked();

    const size_t capacity_;
    mutable std::mutex mutex_;
    std::list<Entry> lru_;  // most recently used first
    std::unordered_map<Key, std::list<Entry>::iterator, KeyHash> index_;
    std::atomic<uint64_t> replays_{0};
    std::atomic<uint64_t> inProgress_{0};
};

// One NFS call's use of the cache, from argument decoding to its reply.
// Abandons the claim if the call ends without Reply.
class CachedCall {
public:
    CachedCall(DuplicateRequestCache& cache, std::string client, uint32_t xid, uint32_t procedure);
    CachedCall(const CachedCall&) = delete;
    CachedCall& operator=(const CachedCall&) = delete;
    ~CachedCall();

    // After the arguments were decoded: true if the call should run; false
    // once it was answered from the cache or dropped as in progress.
    bool Admit(SVCXPRT* transport, xdrproc_t decoder, void* args);
    // Keeps the reply about to be sent.
    void Reply(xdrproc_t encoder, const void* result);

private:
    DuplicateRequestCache& cache_;
    DuplicateRequestCache::Key key_;
    bool claimed_ = false;
};
