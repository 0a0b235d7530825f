#include "nfsserver/ServerMetrics.h"

#include <algorithm>
#include <iterator>

#include "nfsserver/Mount3Procedures.h"
#include "nfsserver/Nfs3Procedures.h"
#include "nfsserver/Nfs4Procedures.h"
#include "nfsserver/mount3.h"
#include "nfsserver/nfs3.h"
#include "nfsserver/nfs4.h"

namespace {

struct StatusName {
    uint32_t status;
    const char* name;
};

#define S(status) StatusName{status, #status}
// By value, for a binary search.
constexpr StatusName kMountStatuses[] = {
    S(MNT3_OK),       S(MNT3ERR_PERM),        S(MNT3ERR_NOENT),   S(MNT3ERR_IO),          S(MNT3ERR_ACCES),
    S(MNT3ERR_NOTDIR), S(MNT3ERR_INVAL),      S(MNT3ERR_NAMETOOLONG), S(MNT3ERR_NOTSUPP), S(MNT3ERR_SERVERFAULT),
};
constexpr StatusName kNfs3Statuses[] = {
    S(NFS3_OK),           S(NFS3ERR_PERM),       S(NFS3ERR_NOENT),       S(NFS3ERR_IO),         S(NFS3ERR_NXIO),
    S(NFS3ERR_ACCES),     S(NFS3ERR_EXIST),      S(NFS3ERR_XDEV),        S(NFS3ERR_NODEV),      S(NFS3ERR_NOTDIR),
    S(NFS3ERR_ISDIR),     S(NFS3ERR_INVAL),      S(NFS3ERR_FBIG),        S(NFS3ERR_NOSPC),      S(NFS3ERR_ROFS),
    S(NFS3ERR_MLINK),     S(NFS3ERR_NAMETOOLONG), S(NFS3ERR_NOTEMPTY),   S(NFS3ERR_DQUOT),      S(NFS3ERR_STALE),
    S(NFS3ERR_REMOTE),    S(NFS3ERR_BADHANDLE),  S(NFS3ERR_NOT_SYNC),    S(NFS3ERR_BAD_COOKIE), S(NFS3ERR_NOTSUPP),
    S(NFS3ERR_TOOSMALL),  S(NFS3ERR_SERVERFAULT), S(NFS3ERR_BADTYPE),    S(NFS3ERR_JUKEBOX),
};
constexpr StatusName kNfs4Statuses[] = {
    S(NFS4_OK), S(NFS4ERR_PERM), S(NFS4ERR_NOENT), S(NFS4ERR_IO), S(NFS4ERR_NXIO), S(NFS4ERR_ACCESS),
    S(NFS4ERR_EXIST), S(NFS4ERR_XDEV), S(NFS4ERR_NOTDIR), S(NFS4ERR_ISDIR), S(NFS4ERR_INVAL), S(NFS4ERR_FBIG),
    S(NFS4ERR_NOSPC), S(NFS4ERR_ROFS), S(NFS4ERR_MLINK), S(NFS4ERR_NAMETOOLONG), S(NFS4ERR_NOTEMPTY),
    S(NFS4ERR_DQUOT), S(NFS4ERR_STALE), S(NFS4ERR_BADHANDLE), S(NFS4ERR_BAD_COOKIE), S(NFS4ERR_NOTSUPP),
    S(NFS4ERR_TOOSMALL), S(NFS4ERR_SERVERFAULT), S(NFS4ERR_BADTYPE), S(NFS4ERR_DELAY), S(NFS4ERR_SAME),
    S(NFS4ERR_DENIED), S(NFS4ERR_EXPIRED), S(NFS4ERR_LOCKED), S(NFS4ERR_GRACE), S(NFS4ERR_FHEXPIRED),
    S(NFS4ERR_SHARE_DENIED), S(NFS4ERR_WRONGSEC), S(NFS4ERR_CLID_INUSE), S(NFS4ERR_RESOURCE), S(NFS4ERR_MOVED),
    S(NFS4ERR_NOFILEHANDLE), S(NFS4ERR_MINOR_VERS_MISMATCH), S(NFS4ERR_STALE_CLIENTID), S(NFS4ERR_STALE_STATEID),
    S(NFS4ERR_OLD_STATEID), S(NFS4ERR_BAD_STATEID), S(NFS4ERR_BAD_SEQID), S(NFS4ERR_NOT_SAME),
    S(NFS4ERR_LOCK_RANGE), S(NFS4ERR_SYMLINK), S(NFS4ERR_RESTOREFH), S(NFS4ERR_LEASE_MOVED),
    S(NFS4ERR_ATTRNOTSUPP), S(NFS4ERR_NO_GRACE), S(NFS4ERR_RECLAIM_BAD), S(NFS4ERR_RECLAIM_CONFLICT),
    S(NFS4ERR_BADXDR), S(NFS4ERR_LOCKS_HELD), S(NFS4ERR_OPENMODE), S(NFS4ERR_BADOWNER), S(NFS4ERR_BADCHAR),
    S(NFS4ERR_BADNAME), S(NFS4ERR_BAD_RANGE), S(NFS4ERR_LOCK_NOTSUPP), S(NFS4ERR_OP_ILLEGAL), S(NFS4ERR_DEADLOCK),
    S(NFS4ERR_FILE_OPEN), S(NFS4ERR_ADMIN_REVOKED), S(NFS4ERR_CB_PATH_DOWN),
};
#undef S

// NFSv4 operations 3 (OP_ACCESS) to 39 (OP_RELEASE_LOCKOWNER), then
// OP_ILLEGAL for every number outside.
constexpr const char* kOperationNames[] = {
    "ACCESS",   "CLOSE",       "COMMIT",     "CREATE",          "DELEGPURGE",     "DELEGRETURN", "GETATTR",
    "GETFH",    "LINK",        "LOCK",       "LOCKT",           "LOCKU",          "LOOKUP",      "LOOKUPP",
    "NVERIFY",  "OPEN",        "OPENATTR",   "OPEN_CONFIRM",    "OPEN_DOWNGRADE", "PUTFH",       "PUTPUBFH",
    "PUTROOTFH", "READ",       "READDIR",    "READLINK",        "REMOVE",         "RENAME",      "RENEW",
    "RESTOREFH", "SAVEFH",     "SECINFO",    "SETATTR",         "SETCLIENTID",    "SETCLIENTID_CONFIRM",
    "VERIFY",   "WRITE",       "RELEASE_LOCKOWNER", "ILLEGAL",
};
constexpr size_t kOperations = std::size(kOperationNames);
static_assert(kOperations == OP_RELEASE_LOCKOWNER - OP_ACCESS + 2, "one name per operation and ILLEGAL");

struct StatusTable {
    const StatusName* rows;
    size_t count;
};
constexpr StatusTable kMountTable{kMountStatuses, std::size(kMountStatuses)};
constexpr StatusTable kNfs3Table{kNfs3Statuses, std::size(kNfs3Statuses)};
constexpr StatusTable kNfs4Table{kNfs4Statuses, std::size(kNfs4Statuses)};
// Every known status of the largest table, and one for any other number.
constexpr size_t kStatusSlots = std::size(kNfs4Statuses) + 1;

// The index of status in its table; the last slot for a number it lacks.
size_t StatusIndex(const StatusTable& table, uint32_t status) {
    const StatusName* end = table.rows + table.count;
    const StatusName* found =
        std::lower_bound(table.rows, end, status, [](const StatusName& row, uint32_t value) { return row.status < value; });
    return found != end && found->status == status ? static_cast<size_t>(found - table.rows) : kStatusSlots - 1;
}

// What one slot stands for.
struct SlotInfo {
    const char* protocol;
    uint32_t version;
    const char* name;
    const StatusTable* statuses;
    bool statusFirst;  // its result begins with a status
    bool operation;
};

constexpr size_t kMountBase = 0;
constexpr size_t kNfs3Base = kMountBase + std::size(kMount3Procedures);
constexpr size_t kNfs4Base = kNfs3Base + std::size(kNfs3Procedures);
constexpr size_t kOperationBase = kNfs4Base + std::size(kNfs4Procedures);
constexpr size_t kSlots = kOperationBase + kOperations;

const std::array<SlotInfo, kSlots>& Slots() {
    static const std::array<SlotInfo, kSlots> slots = [] {
        std::array<SlotInfo, kSlots> all{};
        for (size_t i = 0; i < std::size(kMount3Procedures); ++i) {
            // Of MOUNT's results only MNT's begins with a status.
            all[kMountBase + i] = {"mount", 3, kMount3Procedures[i].name, &kMountTable, i == MOUNTPROC3_MNT, false};
        }
        for (size_t i = 0; i < std::size(kNfs3Procedures); ++i) {
            all[kNfs3Base + i] = {"nfs", 3, kNfs3Procedures[i].name, &kNfs3Table, i != NFSPROC3_NULL, false};
        }
        for (size_t i = 0; i < std::size(kNfs4Procedures); ++i) {
            all[kNfs4Base + i] = {"nfs", 4, kNfs4Procedures[i].name, &kNfs4Table, i == NFSPROC4_COMPOUND, false};
        }
        for (size_t i = 0; i < kOperations; ++i) {
            all[kOperationBase + i] = {"nfs", 4, kOperationNames[i], &kNfs4Table, true, true};
        }
        return all;
    }();
    return slots;
}

using Counter = std::atomic<uint64_t>;

void Add(Counter& counter, uint64_t amount = 1) { counter.fetch_add(amount, std::memory_order_relaxed); }
uint64_t Read(const Counter& counter) { return counter.load(std::memory_order_relaxed); }

}  // namespace

// One cache line or more each, so that connections counting different
// procedures or shares do not contend for a line.
struct alignas(64) SlotCounters {
    Counter calls{0};
    Counter sumNanoseconds{0};
    std::array<Counter, ServerMetrics::kBuckets> buckets{};
    std::array<Counter, kStatusSlots> errors{};
};

struct alignas(64) ShareCounters {
    std::atomic<uint32_t> id{0};  // 0: free
    Counter reads{0};
    Counter readBytes{0};
    Counter writes{0};
    Counter writtenBytes{0};
};

struct ServerMetrics::Tables {
    std::array<SlotCounters, kSlots> slots;
    std::array<ShareCounters, kShareSlots> shares;
    ShareCounters overflow;  // shares beyond the table, and share id 0
    std::array<Counter, kRpcErrors> rpcErrors{};
    Counter accepted{0};
    Counter closed{0};
    std::array<Counter, kRefusals> refusals{};
    Counter listingPrepared{0};
    Counter listingAnswered{0};
    Counter readsPrepared{0};
    Counter readsAnswered{0};

    // The share's row: found, or claimed on its first use. Lock-free: a row
    // once claimed keeps its id for good.
    ShareCounters& Share(uint32_t shareId) {
        if (shareId == 0) return overflow;
        constexpr size_t mask = kShareSlots - 1;
        size_t index = (shareId * 2654435761u) & mask;
        for (size_t probe = 0; probe < kShareSlots; ++probe, index = (index + 1) & mask) {
            ShareCounters& row = shares[index];
            uint32_t seen = row.id.load(std::memory_order_acquire);
            if (seen == 0 && row.id.compare_exchange_strong(seen, shareId, std::memory_order_acq_rel)) return row;
            if (seen == shareId) return row;
        }
        return overflow;
    }
};

static_assert((ServerMetrics::kShareSlots & (ServerMetrics::kShareSlots - 1)) == 0, "a power of two");

ServerMetrics::ServerMetrics() : tables_(std::make_unique<Tables>()) {}

ServerMetrics::~ServerMetrics() = default;

int ServerMetrics::Slot(uint32_t program, uint32_t version, uint32_t procedure) {
    size_t base = 0;
    size_t count = 0;
    if (program == MOUNT_PROGRAM && version == 3) {
        base = kMountBase;
        count = std::size(kMount3Procedures);
    } else if (program == NFS_PROGRAM && version == 3) {
        base = kNfs3Base;
        count = std::size(kNfs3Procedures);
    } else if (program == NFS_PROGRAM && version == 4) {
        base = kNfs4Base;
        count = std::size(kNfs4Procedures);
    }
    return procedure < count ? static_cast<int>(base + procedure) : -1;
}

void ServerMetrics::RecordCall(int slot, bool replied, uint32_t status, uint64_t nanoseconds) {
    if (slot < 0 || static_cast<size_t>(slot) >= kOperationBase) return;
    SlotCounters& counters = tables_->slots[static_cast<size_t>(slot)];
    Add(counters.calls);
    Add(counters.sumNanoseconds, nanoseconds);
    size_t bucket = 0;
    while (bucket < kBucketBoundsUs.size() && nanoseconds > kBucketBoundsUs[bucket] * 1000) ++bucket;
    Add(counters.buckets[bucket]);
    const SlotInfo& info = Slots()[static_cast<size_t>(slot)];
    if (replied && status != 0 && info.statusFirst) Add(counters.errors[StatusIndex(*info.statuses, status)]);
}

void ServerMetrics::RecordRpcError(RpcError error) { Add(tables_->rpcErrors[static_cast<size_t>(error)]); }

void ServerMetrics::RecordOperation(uint32_t operation, uint32_t status) {
    const size_t index = operation >= OP_ACCESS && operation <= OP_RELEASE_LOCKOWNER ? operation - OP_ACCESS
                                                                                     : kOperations - 1;
    SlotCounters& counters = tables_->slots[kOperationBase + index];
    Add(counters.calls);
    if (status != NFS4_OK) Add(counters.errors[StatusIndex(kNfs4Table, status)]);
}

void ServerMetrics::AddRead(uint32_t shareId, uint64_t bytes) {
    ShareCounters& share = tables_->Share(shareId);
    Add(share.reads);
    Add(share.readBytes, bytes);
}

void ServerMetrics::AddWritten(uint32_t shareId, uint64_t bytes) {
    ShareCounters& share = tables_->Share(shareId);
    Add(share.writes);
    Add(share.writtenBytes, bytes);
}

void ServerMetrics::ConnectionOpened() { Add(tables_->accepted); }

void ServerMetrics::ConnectionClosed() { Add(tables_->closed); }

void ServerMetrics::ConnectionRefused(Refusal refusal) { Add(tables_->refusals[static_cast<size_t>(refusal)]); }

void ServerMetrics::ListingPagePrepared() { Add(tables_->listingPrepared); }

void ServerMetrics::ListingPageAnswered() { Add(tables_->listingAnswered); }

void ServerMetrics::ReadPreparedAhead() { Add(tables_->readsPrepared); }

void ServerMetrics::ReadAnsweredAhead() { Add(tables_->readsAnswered); }

namespace {

ServerMetrics::ShareCounts CountsOf(const ShareCounters& row, uint32_t shareId) {
    ServerMetrics::ShareCounts counts;
    counts.shareId = shareId;
    counts.reads = Read(row.reads);
    counts.readBytes = Read(row.readBytes);
    counts.writes = Read(row.writes);
    counts.writtenBytes = Read(row.writtenBytes);
    return counts;
}

}  // namespace

ServerMetrics::Snapshot ServerMetrics::Take() const {
    Snapshot snapshot;
    const Tables& tables = *tables_;
    snapshot.procedures.reserve(kSlots);
    for (size_t slot = 0; slot < kSlots; ++slot) {
        const SlotInfo& info = Slots()[slot];
        const SlotCounters& counters = tables.slots[slot];
        ProcedureCounts counts;
        counts.protocol = info.protocol;
        counts.version = info.version;
        counts.name = info.name;
        counts.operation = info.operation;
        counts.timed = !info.operation;
        counts.calls = Read(counters.calls);
        counts.sumNanoseconds = Read(counters.sumNanoseconds);
        for (size_t i = 0; i < kBuckets; ++i) counts.buckets[i] = Read(counters.buckets[i]);
        for (size_t i = 0; i < kStatusSlots; ++i) {
            const uint64_t errors = Read(counters.errors[i]);
            if (errors == 0) continue;
            counts.errors.emplace_back(i < info.statuses->count ? info.statuses->rows[i].name : "OTHER", errors);
        }
        snapshot.procedures.push_back(std::move(counts));
    }
    for (size_t i = 0; i < kRpcErrors; ++i) snapshot.rpcErrors[i] = Read(tables.rpcErrors[i]);
    for (const ShareCounters& row : tables.shares) {
        const uint32_t id = row.id.load(std::memory_order_acquire);
        if (id != 0) snapshot.shares.push_back(CountsOf(row, id));
    }
    const ShareCounts overflow = CountsOf(tables.overflow, 0);
    if (overflow.reads != 0 || overflow.writes != 0) snapshot.shares.push_back(overflow);
    std::sort(snapshot.shares.begin(), snapshot.shares.end(),
              [](const ShareCounts& a, const ShareCounts& b) { return a.shareId < b.shareId; });
    for (const ShareCounts& share : snapshot.shares) {
        snapshot.readBytes += share.readBytes;
        snapshot.writtenBytes += share.writtenBytes;
    }
    snapshot.connectionsAccepted = Read(tables.accepted);
    snapshot.connectionsClosed = Read(tables.closed);
    for (size_t i = 0; i < kRefusals; ++i) snapshot.refusals[i] = Read(tables.refusals[i]);
    snapshot.listingPagesPrepared = Read(tables.listingPrepared);
    snapshot.listingPagesAnswered = Read(tables.listingAnswered);
    snapshot.readsPrepared = Read(tables.readsPrepared);
    snapshot.readsAnswered = Read(tables.readsAnswered);
    return snapshot;
}

const char* ServerMetrics::RpcErrorName(RpcError error) {
    switch (error) {
        case RpcError::kProgramUnavailable: return "PROG_UNAVAIL";
        case RpcError::kVersionMismatch: return "PROG_MISMATCH";
        case RpcError::kProcedureUnavailable: return "PROC_UNAVAIL";
        case RpcError::kGarbageArguments: return "GARBAGE_ARGS";
        case RpcError::kAuthentication: return "AUTH_ERROR";
    }
    return "OTHER";
}

const char* ServerMetrics::RefusalName(Refusal refusal) {
    switch (refusal) {
        case Refusal::kConnectionLimit: return "connection_limit";
        case Refusal::kInsecurePort: return "insecure_port";
    }
    return "other";
}
