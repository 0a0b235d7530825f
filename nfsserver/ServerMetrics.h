// ServerMetrics: the NFS service's counters, read by quayd's metrics endpoint
// and by quayadm stats. Connection threads update them on every call with
// relaxed atomics in fixed tables: no lock and no allocation per call. A
// reader sees each counter as of some moment, not all of them as of one
// moment, which is what rates and dashboards need.
//
// What is counted: calls per program, version and procedure (MOUNT3, NFSv3,
// NFSv4), their latency as a histogram, their replies' error statuses;
// NFSv4 operations and their error statuses; calls refused at the RPC level
// (unknown program, version or procedure, undecodable arguments,
// credentials); bytes read and written per share; connections accepted,
// closed and refused; listing pages prepared ahead and those that answered
// a call. Shares live in a fixed open-addressed table of
// kShareSlots ids; those beyond it are counted in one overflow row (id 0).
//
// Thread safety: every method, from any thread, at once.
#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class ServerMetrics {
public:
    // Upper bounds of the latency buckets, microseconds; one more bucket
    // holds everything slower.
    static constexpr std::array<uint64_t, 16> kBucketBoundsUs = {
        50, 100, 250, 500, 1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000, 500000, 1000000, 5000000, 30000000};
    static constexpr size_t kBuckets = kBucketBoundsUs.size() + 1;
    static constexpr size_t kShareSlots = 1024;  // a power of two

    // Why a call got no reply of its procedure.
    enum class RpcError : uint8_t {
        kProgramUnavailable,
        kVersionMismatch,
        kProcedureUnavailable,
        kGarbageArguments,
        kAuthentication,
    };
    static constexpr size_t kRpcErrors = 5;
    enum class Refusal : uint8_t { kConnectionLimit, kInsecurePort };
    static constexpr size_t kRefusals = 2;

    ServerMetrics();
    ~ServerMetrics();
    ServerMetrics(const ServerMetrics&) = delete;
    ServerMetrics& operator=(const ServerMetrics&) = delete;

    // The slot of a procedure of a served program (MOUNT 3, NFS 3, NFS 4);
    // -1 for a procedure, version or program this server does not serve.
    static int Slot(uint32_t program, uint32_t version, uint32_t procedure);
    // One call of a slot's procedure, nanoseconds from its decoding to its
    // reply. status: what the reply began with, when a reply of the
    // procedure went out (not a replay, not an RPC error); statuses other
    // than 0 of procedures whose results begin with one are counted as errors.
    void RecordCall(int slot, bool replied, uint32_t status, uint64_t nanoseconds);
    void RecordRpcError(RpcError error);
    // One NFSv4 operation inside a COMPOUND and its status.
    void RecordOperation(uint32_t operation, uint32_t status);
    void AddRead(uint32_t shareId, uint64_t bytes);
    void AddWritten(uint32_t shareId, uint64_t bytes);
    void ConnectionOpened();
    void ConnectionClosed();
    void ConnectionRefused(Refusal refusal);
    // A READDIRPLUS page prepared ahead of its call; one that answered it.
    void ListingPagePrepared();
    void ListingPageAnswered();
    // A READ reply prepared ahead of its call; one that answered it.
    void ReadPreparedAhead();
    void ReadAnsweredAhead();

    // The counters of one procedure or NFSv4 operation.
    struct ProcedureCounts {
        const char* protocol = "";  // "nfs" or "mount"
        uint32_t version = 0;
        const char* name = "";      // "GETATTR"; NFSv4 operations "OP_READ"
        bool operation = false;     // an NFSv4 operation inside COMPOUND
        uint64_t calls = 0;
        std::vector<std::pair<std::string, uint64_t>> errors;  // status name, count; non-zero counts only
        bool timed = false;                // operations have no latency of their own
        std::array<uint64_t, kBuckets> buckets{};  // not cumulative
        uint64_t sumNanoseconds = 0;
    };
    struct ShareCounts {
        uint32_t shareId = 0;  // 0: shares beyond the table
        uint64_t reads = 0;
        uint64_t readBytes = 0;
        uint64_t writes = 0;
        uint64_t writtenBytes = 0;
    };
    // What a reader gets: the counters, and the figures the server adds
    // (NfsServer::Statistics) that live elsewhere.
    struct Snapshot {
        std::vector<ProcedureCounts> procedures;  // every known procedure and operation, called or not
        std::array<uint64_t, kRpcErrors> rpcErrors{};
        std::vector<ShareCounts> shares;  // shares with traffic, by id
        uint64_t readBytes = 0;
        uint64_t writtenBytes = 0;
        uint64_t connectionsAccepted = 0;
        uint64_t connectionsClosed = 0;
        std::array<uint64_t, kRefusals> refusals{};
        uint64_t listingPagesPrepared = 0;
        uint64_t listingPagesAnswered = 0;
        uint64_t readsPrepared = 0;
        uint64_t readsAnswered = 0;
        // Filled by NfsServer.
        uint64_t replyCacheHits = 0;        // retransmissions answered with the kept reply
        uint64_t replyCacheInProgress = 0;  // retransmissions dropped while the first ran
        uint64_t replyCacheEntries = 0;
        uint64_t openFilesCached = 0;
    };
    Snapshot Take() const;

    static const char* RpcErrorName(RpcError error);
    static const char* RefusalName(Refusal refusal);

private:
    struct Tables;
    const std::unique_ptr<Tables> tables_;
};
