#include "objectstore/MetaDb.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "objectstore/FaultPlan.h"
#include "objectstore/PathRules.h"
#include "objectstore/StoreFailure.h"
#include "objectstore/StoreFormat.h"

namespace ObjectStore {

namespace {

constexpr size_t kMaxIdleReaders = 8;
// Changes one COMMIT carries at most: bounds how long the first of them
// waits for the batch to end.
constexpr size_t kMaxBatchMembers = 32;

const char* const kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS objects(no INTEGER PRIMARY KEY, guid TEXT NOT NULL UNIQUE,
    type INTEGER NOT NULL, created_us INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS nodes(id INTEGER PRIMARY KEY, no INTEGER NOT NULL, guid TEXT NOT NULL,
    parent TEXT NOT NULL, name TEXT NOT NULL, fname TEXT NOT NULL, type INTEGER NOT NULL,
    mode INTEGER NOT NULL, uid INTEGER NOT NULL, gid INTEGER NOT NULL, atime_ns INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL, size INTEGER NOT NULL,
    version INTEGER NOT NULL, link TEXT, from_us INTEGER NOT NULL, to_us INTEGER NOT NULL,
    subdirs INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS nodes_by_guid ON nodes(guid, to_us);
CREATE INDEX IF NOT EXISTS nodes_by_name ON nodes(parent, name, to_us);
CREATE INDEX IF NOT EXISTS nodes_by_fname ON nodes(parent, fname, to_us);
CREATE INDEX IF NOT EXISTS nodes_by_no ON nodes(parent, no, to_us);
CREATE TABLE IF NOT EXISTS versions(guid TEXT NOT NULL, version INTEGER NOT NULL,
    created_us INTEGER NOT NULL, PRIMARY KEY(guid, version)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS extmap(id INTEGER PRIMARY KEY, guid TEXT NOT NULL, version INTEGER NOT NULL,
    idx INTEGER NOT NULL, extent INTEGER NOT NULL, len INTEGER NOT NULL, sealed INTEGER NOT NULL,
    from_us INTEGER NOT NULL, to_us INTEGER NOT NULL, data BLOB);
CREATE INDEX IF NOT EXISTS extmap_by_file ON extmap(guid, version, to_us, idx);
CREATE TABLE IF NOT EXISTS xattrs(id INTEGER PRIMARY KEY, guid TEXT NOT NULL, name TEXT NOT NULL,
    value BLOB NOT NULL, from_us INTEGER NOT NULL, to_us INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS xattrs_by_name ON xattrs(guid, name, to_us);
)SQL";

#define NODE_COLUMNS \
    "id, no, guid, parent, name, type, mode, uid, gid, atime_ns, mtime_ns, ctime_ns, size, version, " \
    "link, from_us, to_us, subdirs"
#define AS_OF " to_us > ?9 AND from_us <= ?9 "

void ReadNode(const SqlConnection::Stmt& s, NodeRow& row) {
    row.id = s.Int(0);
    row.no = s.Int(1);
    row.guid = s.Text(2);
    row.parent = s.Text(3);
    row.name = s.Text(4);
    row.type = static_cast<int>(s.Int(5));
    row.mode = static_cast<uint32_t>(s.Int(6));
    row.uid = static_cast<uint32_t>(s.Int(7));
    row.gid = static_cast<uint32_t>(s.Int(8));
    row.atimeNs = s.Int(9);
    row.mtimeNs = s.Int(10);
    row.ctimeNs = s.Int(11);
    row.size = static_cast<uint64_t>(s.Int(12));
    row.version = s.Int(13);
    row.link = s.Text(14);
    row.fromUs = s.Int(15);
    row.toUs = s.Int(16);
    row.subdirs = s.Int(17);
}

// Rows of extent files carry no data column (NULL), as rows of format 1 do.
void BindInlineData(SqlConnection::Stmt& s, int index, const ExtentRow& r) {
    if (r.extent == kInlineExtent) s.BindBlob(index, r.data);
    else s.BindNull(index);
}

}  // namespace

MetaDb::MetaDb(const std::string& path, bool create, int busyMs, int64_t cacheKiB)
    : path_(path), busyMs_(busyMs), cacheKiB_(cacheKiB) {
    writer_ = OpenConnection(create);
    // Only takes effect in a new database: pruned stores then give their
    // free pages back to the file system (PRAGMA incremental_vacuum).
    writer_->Exec("PRAGMA auto_vacuum=INCREMENTAL");
    writer_->Exec("PRAGMA journal_mode=WAL");
    writer_->Exec("PRAGMA synchronous=NORMAL");
    writer_->Exec("PRAGMA wal_autocheckpoint=" + std::to_string(kCheckpointPages));
    CreateSchema();
}

MetaDb::~MetaDb() {
    if (logFd_ >= 0) ::close(logFd_);
}

std::unique_ptr<SqlConnection> MetaDb::OpenConnection(bool create) {
    std::unique_ptr<SqlConnection> conn(new SqlConnection(path_, create, false, busyMs_));
    conn->Exec("PRAGMA cache_size=-" + std::to_string(cacheKiB_));
    conn->Exec("PRAGMA foreign_keys=OFF");
    return conn;
}

void MetaDb::CreateSchema() {
    WaitDurable(CreateOrMigrate());
}

uint64_t MetaDb::CreateOrMigrate() {
    WriteTxn txn(*this, true);
    SqlConnection& c = txn.conn();
    c.Exec(kSchema);
    const std::string format = GetMeta(c, "format");
    if (format.empty()) {
        SetMeta(c, "format", std::to_string(kFormatVersion));
    } else if (format != std::to_string(kFormatVersion)) {
        // Each step runs inside this transaction: a crash leaves the old
        // format untouched.
        if (format == "1") MigrateFromFormat1(c);
        else if (format != "2") Fail(EPROTO, "metadata format " + format + " is not supported");
        MigrateFromFormat2(c);
        SetMeta(c, "format", std::to_string(kFormatVersion));
    }
    return txn.Commit();
}

void MetaDb::MigrateFromFormat1(SqlConnection& c) {
    // Existing rows get no inline data and keep reading their extent files.
    c.Exec("ALTER TABLE extmap ADD COLUMN data BLOB");
}

void MetaDb::MigrateFromFormat2(SqlConnection& c) {
    c.Exec("ALTER TABLE nodes ADD COLUMN subdirs INTEGER NOT NULL DEFAULT 0");
    // A directory's children only change together with a row of the
    // directory itself (its times), so each directory row counts the
    // subdirectories that were there when it stopped being valid (now, for
    // the live row). The subdirectory rows go to a table of their own first
    // so that each directory row counts only its subdirectories, not every
    // child it ever had.
    c.Exec("CREATE TEMP TABLE dir_rows AS SELECT parent, from_us, to_us FROM nodes WHERE type = 2 AND parent != ''");
    c.Exec("CREATE INDEX temp.dir_rows_by_parent ON dir_rows(parent, to_us)");
    // The live row's to_us - 1 is the live state's time.
    c.Exec("UPDATE nodes SET subdirs = (SELECT COUNT(*) FROM dir_rows d WHERE d.parent = nodes.guid AND "
           "d.to_us > nodes.to_us - 1 AND d.from_us <= nodes.to_us - 1) WHERE type = 2");
    c.Exec("DROP TABLE temp.dir_rows");
}

std::unique_lock<std::mutex> MetaDb::LockWriter() {
    ++writersWaiting_;
    std::unique_lock<std::mutex> guard(writerMutex_);
    --writersWaiting_;
    return guard;
}

void MetaDb::SyncCommitted() {
    if (groupSync_.Clean()) return;
    // Every commit that has returned is in the WAL already.
    WaitDurable(groupSync_.Last());
}

void MetaDb::WaitDurable(uint64_t ticket) {
    if (ticket != 0) groupSync_.Wait(ticket);
}

int MetaDb::SyncLog() {
    const CPelError planned = FaultPlan::Global().Check("meta.sync");
    if (planned.IsError()) return planned.ErrNo();
    if (logFd_ < 0) {
        // SQLite keeps the WAL file (same inode) while a connection is open;
        // none yet means nothing was ever written to it.
        logFd_ = ::open((path_ + "-wal").c_str(), O_RDONLY | O_CLOEXEC);
        if (logFd_ < 0) return errno == ENOENT ? 0 : errno;
    }
    return ::fdatasync(logFd_) == 0 ? 0 : errno;
}

void MetaDb::Checkpoint() {
    std::unique_lock<std::mutex> guard = LockWriter();
    EndBatchLocked();
    writer_->Exec("PRAGMA wal_checkpoint(TRUNCATE)");
}

MetaDb::ReadLease::ReadLease(MetaDb& db, Kind kind) : db_(db) {
    if (kind == kShort && TryWriter()) return;
    {
        std::lock_guard<std::mutex> guard(db.poolMutex_);
        if (!db.idleReaders_.empty()) {
            pooled_ = std::move(db.idleReaders_.back());
            db.idleReaders_.pop_back();
        }
    }
    if (!pooled_) pooled_ = db.OpenConnection(false);
    conn_ = pooled_.get();
}

bool MetaDb::ReadLease::TryWriter() {
    // A waiting writer goes first: short reads could otherwise keep taking
    // the mutex between its wake-up and its turn.
    if (db_.writersWaiting_.load() > 0 || db_.writerOwner_.load() == std::this_thread::get_id()) return false;
    if (!db_.writerMutex_.try_lock()) return false;
    // Only between transactions: a writer left inside one would show its
    // uncommitted rows.
    if (!db_.writer_->InAutocommit()) {
        db_.writerMutex_.unlock();
        return false;
    }
    onWriter_ = true;
    conn_ = db_.writer_.get();
    return true;
}

MetaDb::ReadLease::~ReadLease() {
    if (onWriter_) {
        db_.writerMutex_.unlock();
        return;
    }
    std::lock_guard<std::mutex> guard(db_.poolMutex_);
    if (db_.idleReaders_.size() < kMaxIdleReaders) db_.idleReaders_.push_back(std::move(pooled_));
}

MetaDb::WriteTxn::WriteTxn(MetaDb& db, bool durable, Sharing sharing)
    : db_(db), guard_(db.LockWriter()), durable_(durable), sharing_(sharing) {
    try {
        Begin();
    } catch (...) {
        // Members of a batch left open wait for whoever holds the writer
        // next; this one gives up, so it must end their batch.
        db_.EndBatchLocked();
        throw;
    }
    db_.writerOwner_ = std::this_thread::get_id();
}

void MetaDb::WriteTxn::Begin() {
    if (sharing_ == kShared && db_.batch_) {
        db_.writer_->Run("SAVEPOINT member");
        joined_ = true;
        return;
    }
    db_.EndBatchLocked();
    db_.writer_->Run("BEGIN IMMEDIATE");
}

MetaDb::WriteTxn::~WriteTxn() {
    if (handedOver_) return;
    if (!done_) EndFailed();
    db_.writerOwner_ = std::thread::id();
}

void MetaDb::WriteTxn::EndFailed() {
    if (joined_ && db_.batch_) {
        // Undo this change alone; the batch's earlier ones stay and commit.
        bool undone = false;
        if (!db_.writer_->InAutocommit()) {
            try {
                db_.writer_->Run("ROLLBACK TO member");
                db_.writer_->Run("RELEASE member");
                undone = true;
            } catch (const StoreFailure&) {
                // Told apart below: the transaction is gone or not.
            }
        }
        // SQLite rolls the whole transaction back on some failures (a full
        // disk, I/O errors): the batch is lost with it.
        if (undone) db_.EndBatchLocked();
        else db_.AbandonBatchLocked(EIO, "the metadata transaction was rolled back");
    }
    db_.RollBackLocked();
}

uint64_t MetaDb::WriteTxn::Commit(const CommitBatch::AfterCommit& afterCommit) {
    if (joined_) db_.writer_->Run("RELEASE member");
    const bool handOver = sharing_ == kShared && db_.writersWaiting_.load() > 0 &&
                          (!db_.batch_ || db_.batch_->Members() < kMaxBatchMembers);
    if (!handOver) {
        logged_ = db_.CommitLocked(afterCommit);
        done_ = true;
        return durable_ ? logged_ : 0;
    }
    // Others wait for the writer: the next one goes on in this transaction
    // and whoever ends it commits this change too.
    if (!db_.batch_) db_.batch_ = std::make_shared<CommitBatch>();
    std::shared_ptr<CommitBatch> batch = db_.batch_;
    batch->Join(afterCommit);
    done_ = handedOver_ = true;
    db_.writerOwner_ = std::thread::id();
    guard_.unlock();
    logged_ = batch->Wait();
    return durable_ ? logged_ : 0;
}

uint64_t MetaDb::CommitLocked(const CommitBatch::AfterCommit& afterCommit) {
    std::shared_ptr<CommitBatch> batch = std::exchange(batch_, nullptr);
    try {
        const CPelError planned = FaultPlan::Global().Check("meta.commit");
        if (planned.IsError()) Fail(planned.ErrNo(), "cannot commit the metadata");
        writer_->Run("COMMIT");
    } catch (const StoreFailure& failure) {
        if (batch) batch->Abandon(failure.ErrNo(), failure.Message());
        throw;
    }
    commits_.fetch_add(1);
    // Still under the writer lock: tickets follow the order of the WAL.
    const uint64_t ticket = groupSync_.Ticket();
    if (batch) batch->RunAfterCommit(ticket);
    CommitBatch::RunQuietly(afterCommit, ticket);
    // Counted once the changes are visible, before anyone who made them
    // learns that they are: what a reader read after seeing this count is
    // current while the count stays the same.
    changes_.fetch_add(1, std::memory_order_release);
    if (batch) batch->End(ticket);
    return ticket;
}

void MetaDb::EndBatchLocked() {
    if (!batch_) return;
    try {
        CommitLocked({});
    } catch (const StoreFailure&) {
        // The members have the failure; nothing of theirs may stay.
        RollBackLocked();
    }
}

void MetaDb::AbandonBatchLocked(int errNo, const std::string& message) {
    if (std::shared_ptr<CommitBatch> batch = std::exchange(batch_, nullptr)) batch->Abandon(errNo, message);
}

void MetaDb::RollBackLocked() {
    if (!writer_->InAutocommit()) {
        try {
            writer_->Run("ROLLBACK");
        } catch (const StoreFailure&) {
            // Nothing more can be done: SQLite rolls back on its own when a
            // statement failed hard enough to make ROLLBACK fail.
        }
    }
    // Counted once the change is visible, rolled back: a reader that saw
    // the count before it cannot take what it read for current.
    changes_.fetch_add(1, std::memory_order_release);
}

void MetaDb::CommitPending() {
    std::unique_lock<std::mutex> guard = LockWriter();
    EndBatchLocked();
}

std::string MetaDb::GetMeta(SqlConnection& c, const std::string& key) {
    SqlConnection::Stmt s(c, "SELECT value FROM meta WHERE key = ?1");
    s.Bind(1, key);
    return s.Step() ? s.Text(0) : std::string();
}

void MetaDb::SetMeta(SqlConnection& c, const std::string& key, const std::string& value) {
    SqlConnection::Stmt s(c, "INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)");
    s.Bind(1, key).Bind(2, value).Run();
}

bool MetaDb::GetNode(SqlConnection& c, const std::string& guid, int64_t asOf, NodeRow& out) {
    SqlConnection::Stmt s(c, "SELECT " NODE_COLUMNS " FROM nodes WHERE guid = ?1 AND" AS_OF "LIMIT 1");
    s.Bind(1, guid).Bind(9, asOf);
    if (!s.Step()) return false;
    ReadNode(s, out);
    return true;
}

bool MetaDb::FindChild(SqlConnection& c, const std::string& parent, const std::string& name,
                       bool caseSensitive, int64_t asOf, NodeRow& out) {
    const char* exact = "SELECT " NODE_COLUMNS " FROM nodes WHERE parent = ?1 AND name = ?2 AND" AS_OF
                        "ORDER BY no LIMIT 1";
    const char* folded = "SELECT " NODE_COLUMNS " FROM nodes WHERE parent = ?1 AND fname = ?2 AND" AS_OF
                         "ORDER BY no LIMIT 1";
    SqlConnection::Stmt s(c, caseSensitive ? exact : folded);
    s.Bind(1, parent).Bind(2, caseSensitive ? name : FoldName(name)).Bind(9, asOf);
    if (!s.Step()) return false;
    ReadNode(s, out);
    return true;
}

void MetaDb::ListChildren(SqlConnection& c, const std::string& parent, int64_t fromNo, int limit,
                          int64_t asOf, std::vector<NodeRow>& out) {
    SqlConnection::Stmt s(c, "SELECT " NODE_COLUMNS " FROM nodes WHERE parent = ?1 AND no >= ?2 AND" AS_OF
                             "ORDER BY no LIMIT ?3");
    s.Bind(1, parent).Bind(2, fromNo).Bind(3, limit).Bind(9, asOf);
    while (s.Step()) {
        out.emplace_back();
        ReadNode(s, out.back());
    }
}

bool MetaDb::HasChildren(SqlConnection& c, const std::string& parent, int64_t asOf) {
    SqlConnection::Stmt s(c, "SELECT 1 FROM nodes WHERE parent = ?1 AND" AS_OF "LIMIT 1");
    s.Bind(1, parent).Bind(9, asOf);
    return s.Step();
}

int64_t MetaDb::ObjectCreatedUs(SqlConnection& c, const std::string& guid) {
    SqlConnection::Stmt s(c, "SELECT created_us FROM objects WHERE guid = ?1");
    s.Bind(1, guid);
    return s.Step() ? s.Int(0) : 0;
}

bool MetaDb::InsertObject(SqlConnection& c, const std::string& guid, int type, int64_t us, int64_t& no) {
    SqlConnection::Stmt s(c, "INSERT OR IGNORE INTO objects(guid, type, created_us) VALUES(?1, ?2, ?3)");
    s.Bind(1, guid).Bind(2, type).Bind(3, us).Run();
    if (c.Changes() == 0) return false;
    no = c.LastInsertId();
    return true;
}

int64_t MetaDb::InsertNode(SqlConnection& c, const NodeRow& r) {
    SqlConnection::Stmt s(c,
                          "INSERT INTO nodes(no, guid, parent, name, fname, type, mode, uid, gid, atime_ns, "
                          "mtime_ns, ctime_ns, size, version, link, from_us, to_us, subdirs) VALUES(?1, ?2, ?3, "
                          "?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18)");
    s.Bind(1, r.no).Bind(2, r.guid).Bind(3, r.parent).Bind(4, r.name).Bind(5, FoldName(r.name));
    s.Bind(6, r.type).Bind(7, r.mode).Bind(8, r.uid).Bind(9, r.gid).Bind(10, r.atimeNs);
    s.Bind(11, r.mtimeNs).Bind(12, r.ctimeNs).Bind(13, static_cast<int64_t>(r.size)).Bind(14, r.version);
    if (r.type == kTypeSymlink) s.Bind(15, r.link);
    else s.BindNull(15);
    s.Bind(16, r.fromUs).Bind(17, r.toUs).Bind(18, r.subdirs).Run();
    return c.LastInsertId();
}

void MetaDb::UpdateNodeInPlace(SqlConnection& c, const NodeRow& r) {
    SqlConnection::Stmt attrs(c,
                              "UPDATE nodes SET mode = ?2, uid = ?3, gid = ?4, atime_ns = ?5, mtime_ns = ?6, "
                              "ctime_ns = ?7, size = ?8, version = ?9, subdirs = ?10 WHERE id = ?1");
    attrs.Bind(1, r.id).Bind(2, r.mode).Bind(3, r.uid).Bind(4, r.gid).Bind(5, r.atimeNs).Bind(6, r.mtimeNs);
    attrs.Bind(7, r.ctimeNs).Bind(8, static_cast<int64_t>(r.size)).Bind(9, r.version).Bind(10, r.subdirs).Run();
    // SQLite rewrites the entries of every index on a column the UPDATE sets,
    // changed or not: three index pages more in the WAL for each attribute
    // change. The name columns are only set when the node moved.
    SqlConnection::Stmt names(c,
                              "UPDATE nodes SET parent = ?2, name = ?3, fname = ?4 "
                              "WHERE id = ?1 AND (parent != ?2 OR name != ?3)");
    names.Bind(1, r.id).Bind(2, r.parent).Bind(3, r.name).Bind(4, FoldName(r.name)).Run();
}

void MetaDb::CloseRow(SqlConnection& c, const char* table, int64_t id, int64_t us) {
    const char* sql = nullptr;
    std::string t(table);
    if (t == "nodes") sql = "UPDATE nodes SET to_us = ?2 WHERE id = ?1";
    else if (t == "extmap") sql = "UPDATE extmap SET to_us = ?2 WHERE id = ?1";
    else sql = "UPDATE xattrs SET to_us = ?2 WHERE id = ?1";
    SqlConnection::Stmt s(c, sql);
    s.Bind(1, id).Bind(2, us).Run();
}

void MetaDb::LoadExtents(SqlConnection& c, const std::string& guid, int64_t version, int64_t asOf,
                         std::vector<ExtentRow>& out) {
    SqlConnection::Stmt s(c, "SELECT id, idx, extent, len, sealed, from_us, data FROM extmap WHERE guid = ?1 "
                             "AND version = ?2 AND" AS_OF "ORDER BY idx");
    s.Bind(1, guid).Bind(2, version).Bind(9, asOf);
    while (s.Step()) {
        ExtentRow row;
        row.id = s.Int(0);
        row.idx = s.Int(1);
        row.extent = static_cast<uint64_t>(s.Int(2));
        row.len = static_cast<uint64_t>(s.Int(3));
        row.sealed = static_cast<uint64_t>(s.Int(4));
        row.fromUs = s.Int(5);
        if (row.extent == kInlineExtent) row.data = s.Text(6);
        out.push_back(row);
    }
}

int64_t MetaDb::InsertExtent(SqlConnection& c, const std::string& guid, int64_t version, const ExtentRow& r) {
    SqlConnection::Stmt s(c, "INSERT INTO extmap(guid, version, idx, extent, len, sealed, from_us, to_us, data) "
                             "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    s.Bind(1, guid).Bind(2, version).Bind(3, r.idx).Bind(4, static_cast<int64_t>(r.extent));
    s.Bind(5, static_cast<int64_t>(r.len)).Bind(6, static_cast<int64_t>(r.sealed)).Bind(7, r.fromUs);
    s.Bind(8, kOpenEnd);
    BindInlineData(s, 9, r);
    s.Run();
    return c.LastInsertId();
}

void MetaDb::UpdateExtentInPlace(SqlConnection& c, const ExtentRow& r) {
    SqlConnection::Stmt s(c, "UPDATE extmap SET extent = ?2, len = ?3, sealed = ?4, data = ?5 WHERE id = ?1");
    s.Bind(1, r.id).Bind(2, static_cast<int64_t>(r.extent)).Bind(3, static_cast<int64_t>(r.len));
    s.Bind(4, static_cast<int64_t>(r.sealed));
    BindInlineData(s, 5, r);
    s.Run();
}

bool MetaDb::VersionCreated(SqlConnection& c, const std::string& guid, int64_t version, int64_t& us) {
    SqlConnection::Stmt s(c, "SELECT created_us FROM versions WHERE guid = ?1 AND version = ?2");
    s.Bind(1, guid).Bind(2, version);
    if (!s.Step()) return false;
    us = s.Int(0);
    return true;
}

void MetaDb::InsertVersion(SqlConnection& c, const std::string& guid, int64_t version, int64_t us) {
    SqlConnection::Stmt s(c, "INSERT OR REPLACE INTO versions(guid, version, created_us) VALUES(?1, ?2, ?3)");
    s.Bind(1, guid).Bind(2, version).Bind(3, us).Run();
}

bool MetaDb::GetXattr(SqlConnection& c, const std::string& guid, const std::string& name, int64_t asOf,
                      int64_t& id, std::string& value, int64_t& fromUs) {
    SqlConnection::Stmt s(c, "SELECT id, value, from_us FROM xattrs WHERE guid = ?1 AND name = ?2 AND" AS_OF
                             "LIMIT 1");
    s.Bind(1, guid).Bind(2, name).Bind(9, asOf);
    if (!s.Step()) return false;
    id = s.Int(0);
    value = s.Text(1);
    fromUs = s.Int(2);
    return true;
}

void MetaDb::InsertXattr(SqlConnection& c, const std::string& guid, const std::string& name,
                         const std::string& value, int64_t us) {
    SqlConnection::Stmt s(c, "INSERT INTO xattrs(guid, name, value, from_us, to_us) VALUES(?1, ?2, ?3, ?4, ?5)");
    s.Bind(1, guid).Bind(2, name).BindBlob(3, value).Bind(4, us).Bind(5, kOpenEnd).Run();
}

void MetaDb::UpdateXattrInPlace(SqlConnection& c, int64_t id, const std::string& value) {
    SqlConnection::Stmt s(c, "UPDATE xattrs SET value = ?2 WHERE id = ?1");
    s.Bind(1, id).BindBlob(2, value).Run();
}

}  // namespace ObjectStore
