// MetaDb: the metadata database of one store (SQLite in WAL mode). Holds the
// schema and every query; the layout is described in FORMAT.md.
//
// Thread safety: readers come from a pool (ReadLease), any number at once; all
// changes go through the single writer connection inside a WriteTxn, which
// holds the writer mutex for its lifetime. A short read may borrow the writer
// connection while no transaction holds it (ReadLease::kShort). Query
// functions take the connection to use, so a writer can read its own
// uncommitted changes.
// Failures throw StoreFailure.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "objectstore/CommitBatch.h"
#include "objectstore/GroupSync.h"
#include "objectstore/SqlConnection.h"

namespace ObjectStore {

// One history row of an object: its place in the namespace and attributes.
struct NodeRow {
    int64_t id = 0;   // row id
    int64_t no = 0;   // object number: stable, unique, orders directory listings
    std::string guid;
    std::string parent;  // parent GUID; empty for the root
    std::string name;
    int type = 0;  // ObjectType
    uint32_t mode = 0;  // permission bits only
    uint32_t uid = 0;
    uint32_t gid = 0;
    int64_t atimeNs = 0;
    int64_t mtimeNs = 0;
    int64_t ctimeNs = 0;
    uint64_t size = 0;
    int64_t version = 1;
    std::string link;
    int64_t fromUs = 0;
    int64_t toUs = 0;
    int64_t subdirs = 0;  // directories: how many subdirectories it holds
};

// One history row of a file version's extent map: extent `idx` of the file
// is held by extent file `extent`, of which the first `len` bytes are data.
// `sealed` bytes of that extent file are visible to some older state and may
// never be overwritten in place. An inline row (extent kInlineExtent) holds
// its `len` bytes in `data` instead.
struct ExtentRow {
    int64_t id = 0;
    int64_t idx = 0;
    uint64_t extent = 0;
    uint64_t len = 0;
    uint64_t sealed = 0;
    int64_t fromUs = 0;
    std::string data;
};

class MetaDb {
public:
    // WAL pages after which a commit copies the log back into the database
    // (SQLite's default is 1,000). Every change rewrites the same few index
    // pages and directory rows; copying back less often copies each of them
    // once for many changes, and syncs the database file less often. About
    // 32 MiB of log per store; Checkpoint (on close) truncates it.
    static constexpr int kCheckpointPages = 8192;

    // Opens (creating when `create`) the database at path. readerCount bounds
    // the reader pool; busyMs bounds waits on SQLite locks; cacheKiB is the
    // page cache per connection.
    MetaDb(const std::string& path, bool create, int busyMs, int64_t cacheKiB);
    ~MetaDb();
    MetaDb(const MetaDb&) = delete;
    MetaDb& operator=(const MetaDb&) = delete;

    // A reader connection borrowed for one scope. Every commit empties the
    // page cache of each reader connection (SQLite keeps a reader's pages only
    // while the database is unchanged), so after a write a reader reads each
    // page again; the writer keeps its pages. A kShort lease, for reads of a
    // few rows, takes the writer connection when it is idle and no transaction
    // of this thread holds it, and a pooled reader otherwise: it never waits
    // for a writer, and a writer waits at most for one short read.
    class ReadLease {
    public:
        enum Kind { kAny, kShort };
        explicit ReadLease(MetaDb& db, Kind kind = kAny);
        ~ReadLease();
        ReadLease(const ReadLease&) = delete;
        ReadLease& operator=(const ReadLease&) = delete;
        SqlConnection& conn() { return *conn_; }
        bool OnWriter() const { return onWriter_; }

    private:
        bool TryWriter();

        MetaDb& db_;
        SqlConnection* conn_ = nullptr;
        std::unique_ptr<SqlConnection> pooled_;
        bool onWriter_ = false;
    };

    // One write transaction (BEGIN IMMEDIATE). Rolls back unless committed.
    // Commits write the WAL without syncing it. A transaction begun durable
    // gets a ticket from its Commit; WaitDurable(ticket), called once the
    // transaction is gone (and with it the writer lock), returns when a WAL
    // sync has made it and every earlier commit durable. Durable commits of
    // several threads that wait at once share one sync (GroupSync).
    //
    // A kShared transaction whose Commit finds other writers waiting leaves
    // the SQLite transaction open for them and returns once whoever ends it
    // has committed it (CommitBatch). A kShared transaction that begins while
    // one is left open goes on in it under a savepoint of its own, so that
    // its failure undoes its own change only. Any other transaction, and a
    // checkpoint, commits a transaction left open before it begins: it never
    // waits for others' changes. A thread that commits kShared must hold no
    // lock that anyone takes while holding the writer connection: until the
    // batch ends it waits for the next writer, as it would wait for the
    // writer connection itself.
    class WriteTxn {
    public:
        enum Sharing { kOwn, kShared };
        explicit WriteTxn(MetaDb& db, bool durable = false, Sharing sharing = kOwn);
        ~WriteTxn();
        WriteTxn(const WriteTxn&) = delete;
        WriteTxn& operator=(const WriteTxn&) = delete;
        SqlConnection& conn() { return *db_.writer_; }
        // The ticket to wait for, 0 for a transaction not begun durable.
        // afterCommit runs once the change has committed, with its ticket,
        // under the writer lock, before any later change can commit: cache
        // updates that a later change must find in place. With kShared it
        // may run on the thread that ends the batch. Throws StoreFailure
        // when the COMMIT that carries this change fails.
        uint64_t Commit(const CommitBatch::AfterCommit& afterCommit = {});
        // The committed transaction's ticket, durable or not: WaitDurable
        // of it makes this change durable. 0 before Commit.
        uint64_t Logged() const { return logged_; }

    private:
        void Begin();
        void EndFailed();

        MetaDb& db_;
        std::unique_lock<std::mutex> guard_;
        const bool durable_;
        const Sharing sharing_;
        bool joined_ = false;      // in a transaction left open, under a savepoint
        bool handedOver_ = false;  // left open for the next writer, ended by another
        bool done_ = false;
        uint64_t logged_ = 0;
    };

    // Throws StoreFailure when the sync failed; see GroupSync::Wait.
    void WaitDurable(uint64_t ticket);
    // Makes every committed change durable.
    void SyncCommitted();
    // SQLite COMMITs run so far: a batch of shared changes counts once.
    uint64_t Commits() const { return commits_.load(); }
    // Commits the changes that writers left open for the next one, so that
    // whatever was stamped before now is visible to readers.
    void CommitPending();
    // WAL syncs run so far.
    uint64_t LogSyncs() const { return groupSync_.Syncs(); }
    // Write transactions ended so far, each counted once its outcome is
    // visible to readers: what a reader read after seeing this count is
    // current while the count stays the same.
    uint64_t Changes() const { return changes_.load(std::memory_order_acquire); }
    // Threads waiting for the writer now.
    int WritersWaiting() const { return writersWaiting_.load(); }
    // Moves the WAL into the database file (on close).
    void Checkpoint();
    const std::string& Path() const { return path_; }

    // --- queries; asOf selects the state (kLiveAsOf for the live one) ---
    static std::string GetMeta(SqlConnection& c, const std::string& key);
    static void SetMeta(SqlConnection& c, const std::string& key, const std::string& value);

    static bool GetNode(SqlConnection& c, const std::string& guid, int64_t asOf, NodeRow& out);
    static bool FindChild(SqlConnection& c, const std::string& parent, const std::string& name,
                          bool caseSensitive, int64_t asOf, NodeRow& out);
    static void ListChildren(SqlConnection& c, const std::string& parent, int64_t fromNo, int limit,
                             int64_t asOf, std::vector<NodeRow>& out);
    static bool HasChildren(SqlConnection& c, const std::string& parent, int64_t asOf);

    // Registers a new object GUID; false when the GUID was ever used before.
    // When the object was handed out (0 when unknown).
    static int64_t ObjectCreatedUs(SqlConnection& c, const std::string& guid);
    static bool InsertObject(SqlConnection& c, const std::string& guid, int type, int64_t us, int64_t& no);
    static int64_t InsertNode(SqlConnection& c, const NodeRow& row);
    static void UpdateNodeInPlace(SqlConnection& c, const NodeRow& row);
    static void CloseRow(SqlConnection& c, const char* table, int64_t id, int64_t us);

    static void LoadExtents(SqlConnection& c, const std::string& guid, int64_t version, int64_t asOf,
                            std::vector<ExtentRow>& out);
    static int64_t InsertExtent(SqlConnection& c, const std::string& guid, int64_t version,
                                const ExtentRow& row);
    static void UpdateExtentInPlace(SqlConnection& c, const ExtentRow& row);

    static bool VersionCreated(SqlConnection& c, const std::string& guid, int64_t version, int64_t& us);
    static void InsertVersion(SqlConnection& c, const std::string& guid, int64_t version, int64_t us);

    static bool GetXattr(SqlConnection& c, const std::string& guid, const std::string& name, int64_t asOf,
                         int64_t& id, std::string& value, int64_t& fromUs);
    static void InsertXattr(SqlConnection& c, const std::string& guid, const std::string& name,
                            const std::string& value, int64_t us);
    static void UpdateXattrInPlace(SqlConnection& c, int64_t id, const std::string& value);

private:
    friend class ReadLease;
    friend class WriteTxn;
    void CreateSchema();
    uint64_t CreateOrMigrate();  // its durable commit's ticket
    static void MigrateFromFormat1(SqlConnection& c);
    static void MigrateFromFormat2(SqlConnection& c);
    std::unique_lock<std::mutex> LockWriter();  // for changes: ahead of short reads
    // Commits the open transaction: the changes of a batch left open, then
    // the caller's; runs their after-commit work, counts the change and
    // wakes the batch's members. Caller holds the writer lock. Throws
    // StoreFailure when the COMMIT fails, with the batch abandoned.
    uint64_t CommitLocked(const CommitBatch::AfterCommit& afterCommit);
    // Commits a transaction left open for the next writer, if any; caller
    // holds the writer lock. A failure is the batch members' alone.
    void EndBatchLocked();
    // The open transaction is lost: wakes the members with the failure.
    void AbandonBatchLocked(int errNo, const std::string& message);
    // Rolls back whatever the writer connection has open and counts the
    // change; caller holds the writer lock.
    void RollBackLocked();
    std::unique_ptr<SqlConnection> OpenConnection(bool create);
    int SyncLog();  // the WAL file; 0 or an errno

    std::string path_;
    int busyMs_;
    int64_t cacheKiB_;
    std::mutex writerMutex_;
    // The thread whose WriteTxn holds writerMutex_: its own short reads must
    // not try the mutex again.
    std::atomic<std::thread::id> writerOwner_{};
    std::atomic<int> writersWaiting_{0};
    std::unique_ptr<SqlConnection> writer_;  // guarded by writerMutex_
    // A transaction left open for the next writer; guarded by writerMutex_.
    std::shared_ptr<CommitBatch> batch_;
    std::atomic<uint64_t> commits_{0};
    std::mutex poolMutex_;
    std::vector<std::unique_ptr<SqlConnection>> idleReaders_;  // guarded by poolMutex_
    int logFd_ = -1;  // the WAL file, opened by the first sync; used by one sync at a time
    GroupSync groupSync_{[this] { return SyncLog(); }};
    std::atomic<uint64_t> changes_{0};  // write transactions ended, after their end
};

}  // namespace ObjectStore
