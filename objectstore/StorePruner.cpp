#include "objectstore/StorePruner.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <new>
#include <set>
#include <thread>
#include <unordered_set>

#include "objectstore/FaultPlan.h"
#include "objectstore/MetaDb.h"
#include "objectstore/PathRules.h"
#include "objectstore/StoreEngine.h"
#include "objectstore/StoreFailure.h"
#include "objectstore/StoreFormat.h"
#include "objectstore/TimeText.h"

namespace ObjectStore {

namespace {

// Rows looked at per transaction: each holds the writer for a few
// milliseconds at most.
constexpr int64_t kRowsPerTransaction = 2000;
constexpr int kPagesPerTransaction = 256;

// Whether a history row is read by a kept state: it ends after ?1 (the
// first kept time), or a pinned time falls inside it. Live rows end at
// kOpenEnd, after every ?1. The pins and the open files' GUIDs are temp
// tables of the connection, filled for each prune.
#define KEEP_ROW(a) \
    "(" a ".to_us > ?1 OR EXISTS (SELECT 1 FROM temp.prune_pins p WHERE p.t >= " a ".from_us AND p.t < " a ".to_us))"
#define KEPT_NODE_OF(a, version) \
    "EXISTS (SELECT 1 FROM nodes n WHERE n.guid = " a ".guid" version " AND " KEEP_ROW("n") ")"
#define OPEN(a) a ".guid IN (SELECT guid FROM temp.prune_open)"

// A file version's extent rows stay while some kept name row shows that
// version; an extended attribute's rows while some kept name row shows its
// object. The files open now keep everything: they may still read it.
#define KEEP_NODE KEEP_ROW("n")
#define KEEP_EXTENT KEEP_ROW("e") " AND (" OPEN("e") " OR " KEPT_NODE_OF("e", " AND n.version = e.version") ")"
#define KEEP_XATTR KEEP_ROW("x") " AND (" OPEN("x") " OR " KEPT_NODE_OF("x", "") ")"
#define KEEP_VERSION "(" OPEN("v") " OR " KEPT_NODE_OF("v", " AND n.version = v.version") ")"

[[noreturn]] void Stop(const CPelError& error) { Fail(error.ErrNo(), error.Message()); }

// The fault plan's say at a step of a prune: tests stop a prune there.
void Step(const char* name) {
    CPelError planned = FaultPlan::Global().Check(name);
    if (planned.IsError()) Stop(planned);
}

// Disk bytes of the files below folder.
uint64_t FolderBytes(const std::string& folder) {
    uint64_t total = 0;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return 0;
    while (struct dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (::lstat((folder + "/" + name).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) total += FolderBytes(folder + "/" + name);
        else total += static_cast<uint64_t>(st.st_blocks) * 512;
    }
    ::closedir(dir);
    return total;
}

std::string JoinTimes(const std::set<int64_t>& times) {
    std::string text;
    for (int64_t t : times) text += (text.empty() ? "" : ",") + std::to_string(t);
    return text;
}

uint64_t RoundUp(uint64_t n, uint64_t unit) { return (n + unit - 1) / unit * unit; }

}  // namespace

struct StorePruner::Plan {
    bool keepAll = true;
    bool dryRun = false;
    int64_t keptFromUs = 0;  // rows ending at or before it go, unless pinned
    std::set<int64_t> pins;
    std::set<std::string> openGuids;
    std::string retention;  // the policy as remembered: "" keeps all, else the window's seconds
};

StorePruner::StorePruner(StoreEngine& engine) : engine_(engine) {}

namespace {

// Disk bytes of the store: its folder, and its metadata where it lives apart.
uint64_t StoreDiskBytes(StoreEngine& engine) {
    uint64_t total = FolderBytes(engine.Folder());
    const std::string& db = engine.Db().Path();
    if (db.compare(0, engine.Folder().size() + 1, engine.Folder() + "/") != 0) {
        for (const char* suffix : {"", "-wal", "-shm"}) {
            struct stat st;
            if (::stat((db + suffix).c_str(), &st) == 0) total += static_cast<uint64_t>(st.st_blocks) * 512;
        }
    }
    return total;
}

}  // namespace

StorePruner::Plan StorePruner::MakePlan(const PrunePolicy& policy) {
    if (!policy.keepAll && policy.windowSeconds < 0) Fail(EINVAL, "negative retention window");
    Plan plan;
    plan.keepAll = policy.keepAll;
    plan.dryRun = policy.dryRun;
    plan.retention = policy.keepAll ? "" : std::to_string(policy.windowSeconds);
    const int64_t now = policy.nowUs != 0 ? policy.nowUs : engine_.NowUs();
    for (int64_t t : policy.viewTimes) {
        // A view sees what was committed up to the end of its second.
        if (t >= 0 && t < INT64_MAX / 1000000 - 1) plan.pins.insert(t * 1000000 + 999999);
    }
    plan.openGuids = engine_.OpenFileGuids();
    std::lock_guard<std::mutex> guard(engine_.RetentionMutex());
    for (int64_t t : engine_.OpenViewTimesLocked()) plan.pins.insert(t);
    const int64_t kept = engine_.KeptLocked().keptFromUs;
    const int64_t window = policy.keepAll ? kept
                           : policy.windowSeconds > now / 1000000 ? 0
                                                                 : now - policy.windowSeconds * 1000000;
    // What is gone stays gone, whatever the window says now.
    plan.keptFromUs = std::max(kept, window);
    if (!plan.dryRun) Record(plan);
    return plan;
}

void StorePruner::Record(const Plan& plan) {
    // Durable before any row goes: a view opening from now on is checked
    // against what this prune keeps. Caller holds the retention mutex.
    StoreEngine::KeptStates kept;
    kept.keptFromUs = plan.keptFromUs;
    kept.pinnedUs = plan.pins;
    uint64_t ticket = 0;
    {
        MetaDb::WriteTxn txn(engine_.Db(), true);
        MetaDb::SetMeta(txn.conn(), kMetaKeptFromUs, std::to_string(kept.keptFromUs));
        MetaDb::SetMeta(txn.conn(), kMetaKeptPins, JoinTimes(kept.pinnedUs));
        MetaDb::SetMeta(txn.conn(), kMetaRetention, plan.retention);
        ticket = txn.Commit();
    }
    engine_.Db().WaitDurable(ticket);
    engine_.SetKeptLocked(kept);
}

namespace {

// Fills the connection's temp tables with the plan's pins and open files.
void LoadPlan(SqlConnection& c, const std::set<int64_t>& pins, const std::set<std::string>& open) {
    c.Exec("CREATE TEMP TABLE IF NOT EXISTS prune_pins(t INTEGER PRIMARY KEY)");
    c.Exec("CREATE TEMP TABLE IF NOT EXISTS prune_open(guid TEXT PRIMARY KEY)");
    c.Exec("DELETE FROM temp.prune_pins");
    c.Exec("DELETE FROM temp.prune_open");
    for (int64_t t : pins) SqlConnection::Stmt(c, "INSERT OR IGNORE INTO temp.prune_pins VALUES(?1)").Bind(1, t).Run();
    for (const std::string& guid : open) {
        SqlConnection::Stmt(c, "INSERT OR IGNORE INTO temp.prune_open VALUES(?1)").Bind(1, guid).Run();
    }
}

// The row id range of a table; false when it is empty.
bool IdRange(SqlConnection& c, const char* sql, int64_t& low, int64_t& high) {
    SqlConnection::Stmt s(c, sql);
    if (!s.Step() || s.IsNull(0)) return false;
    low = s.Int(0);
    high = s.Int(1);
    return true;
}

struct RowTable {
    const char* bounds;   // lowest and highest id
    const char* extents;  // extent files of the rows about to go (or null)
    const char* remove;   // deletes the rows of an id range that no kept state reads
    uint64_t PruneReport::*count;
};

const RowTable kRowTables[] = {
    {"SELECT MIN(id), MAX(id) FROM nodes", nullptr,
     "DELETE FROM nodes WHERE id IN (SELECT n.id FROM nodes n WHERE n.id >= ?2 AND n.id < ?3 AND NOT " KEEP_NODE ")",
     &PruneReport::nodeRows},
    {"SELECT MIN(id), MAX(id) FROM extmap",
     "SELECT e.extent FROM extmap e WHERE e.id >= ?2 AND e.id < ?3 AND e.extent != 0 AND NOT (" KEEP_EXTENT ")",
     "DELETE FROM extmap WHERE id IN (SELECT e.id FROM extmap e WHERE e.id >= ?2 AND e.id < ?3 AND NOT (" KEEP_EXTENT
     "))",
     &PruneReport::extentRows},
    {"SELECT MIN(id), MAX(id) FROM xattrs", nullptr,
     "DELETE FROM xattrs WHERE id IN (SELECT x.id FROM xattrs x WHERE x.id >= ?2 AND x.id < ?3 AND NOT (" KEEP_XATTR
     "))",
     &PruneReport::xattrRows},
};

}  // namespace

void StorePruner::Pause() {
    // Clients' changes go first: the prune waits its turn behind them.
    if (engine_.Db().WritersWaiting() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

void StorePruner::DeleteRows(const Plan& plan, PruneReport& report, std::vector<uint64_t>& candidates) {
    {
        MetaDb::WriteTxn txn(engine_.Db());
        LoadPlan(txn.conn(), plan.pins, plan.openGuids);
        txn.Commit();
    }
    // Names first: the extent rows and attributes that go are those no kept
    // name row shows any longer.
    for (const RowTable& table : kRowTables) {
        int64_t low = 0, high = -1;
        {
            MetaDb::ReadLease lease(engine_.Db());
            if (!IdRange(lease.conn(), table.bounds, low, high)) continue;
        }
        for (int64_t from = low; from <= high; from += kRowsPerTransaction) {
            Step("prune.rows");
            MetaDb::WriteTxn txn(engine_.Db());
            SqlConnection& c = txn.conn();
            if (table.extents != nullptr) {
                SqlConnection::Stmt s(c, table.extents);
                s.Bind(1, plan.keptFromUs).Bind(2, from).Bind(3, from + kRowsPerTransaction);
                while (s.Step()) candidates.push_back(static_cast<uint64_t>(s.Int(0)));
            }
            SqlConnection::Stmt(c, table.remove).Bind(1, plan.keptFromUs).Bind(2, from).Bind(3, from + kRowsPerTransaction).Run();
            report.*table.count += static_cast<uint64_t>(c.Changes());
            txn.Commit();
            Pause();
        }
    }
    // Versions by key, a batch at a time.
    std::string guid;
    int64_t version = -1;
    while (true) {
        Step("prune.rows");
        MetaDb::WriteTxn txn(engine_.Db());
        SqlConnection& c = txn.conn();
        std::vector<std::pair<std::string, int64_t>> gone;
        bool more = false;
        {
            SqlConnection::Stmt s(c, "SELECT v.guid, v.version, NOT " KEEP_VERSION " FROM versions v "
                                     "WHERE (v.guid, v.version) > (?2, ?3) ORDER BY v.guid, v.version LIMIT ?4");
            s.Bind(1, plan.keptFromUs).Bind(2, guid).Bind(3, version).Bind(4, kRowsPerTransaction);
            while (s.Step()) {
                more = true;
                guid = s.Text(0);
                version = s.Int(1);
                if (s.Int(2) != 0) gone.emplace_back(guid, version);
            }
        }
        for (const auto& key : gone) {
            SqlConnection::Stmt(c, "DELETE FROM versions WHERE guid = ?1 AND version = ?2")
                .Bind(1, key.first)
                .Bind(2, key.second)
                .Run();
        }
        report.versions += gone.size();
        txn.Commit();
        if (!more) break;
        Pause();
    }
    // Every deletion is durable before the first extent file goes.
    engine_.SyncMetadata();
}

void StorePruner::CountRows(const Plan& plan, PruneReport& report, std::vector<uint64_t>& candidates) {
    MetaDb::ReadLease lease(engine_.Db());
    SqlConnection& c = lease.conn();
    LoadPlan(c, plan.pins, plan.openGuids);
    auto count = [&](const char* sql) {
        SqlConnection::Stmt s(c, sql);
        s.Bind(1, plan.keptFromUs);
        return s.Step() ? static_cast<uint64_t>(s.Int(0)) : 0;
    };
    report.nodeRows = count("SELECT COUNT(*) FROM nodes n WHERE NOT " KEEP_NODE);
    report.extentRows = count("SELECT COUNT(*) FROM extmap e WHERE NOT (" KEEP_EXTENT ")");
    report.xattrRows = count("SELECT COUNT(*) FROM xattrs x WHERE NOT (" KEEP_XATTR ")");
    report.versions = count("SELECT COUNT(*) FROM versions v WHERE NOT " KEEP_VERSION);
    SqlConnection::Stmt s(c, "SELECT DISTINCT e.extent FROM extmap e WHERE e.extent != 0 AND NOT (" KEEP_EXTENT ")");
    s.Bind(1, plan.keptFromUs);
    while (s.Step()) candidates.push_back(static_cast<uint64_t>(s.Int(0)));
}

void StorePruner::FreeExtents(const Plan& plan, const std::vector<uint64_t>& candidates, PruneReport& report) {
    // What the rows that stay read of each extent file: how far, and whether
    // a live row is among them (a live file may still write there).
    struct Use {
        uint64_t len = 0;
        bool live = false;
    };
    std::map<uint64_t, Use> used;
    {
        MetaDb::ReadLease lease(engine_.Db());
        SqlConnection& c = lease.conn();
        if (plan.dryRun) LoadPlan(c, plan.pins, plan.openGuids);
        SqlConnection::Stmt s(c, plan.dryRun ? "SELECT e.extent, MAX(e.len), MAX(e.to_us = 9223372036854775807) "
                                               "FROM extmap e WHERE e.extent != 0 AND " KEEP_EXTENT " GROUP BY e.extent"
                                             : "SELECT extent, MAX(len), MAX(to_us = 9223372036854775807) FROM extmap "
                                               "WHERE extent != 0 GROUP BY extent");
        if (plan.dryRun) s.Bind(1, plan.keptFromUs);
        while (s.Step()) used[static_cast<uint64_t>(s.Int(0))] = Use{static_cast<uint64_t>(s.Int(1)), s.Int(2) != 0};
    }
    // Files that go: those of the rows that went, and those a crash left
    // behind (handed out before this engine opened, read by no row).
    std::set<uint64_t> unused(candidates.begin(), candidates.end());
    ExtentStore& extents = engine_.Extents();
    extents.ForEachFile([&](uint64_t id, const struct stat&) {
        if (id < engine_.ExtentWatermark()) unused.insert(id);
    });
    for (uint64_t id : unused) {
        if (used.count(id) != 0 || id >= kViewExtentBase) continue;
        const uint64_t bytes = extents.AllocatedBytes(id);
        if (bytes == 0 && !extents.Exists(id)) continue;
        ++report.extentFiles;
        if (plan.dryRun) {
            report.bytesFreed += bytes;
            continue;
        }
        Step("prune.extents");
        extents.Remove(id);
    }
    // Extents only history rows read never change again: past the last byte
    // they read, their blocks go back.
    for (const auto& entry : used) {
        if (entry.second.live || entry.first >= kViewExtentBase) continue;
        const uint64_t keep = RoundUp(entry.second.len, 4096);
        const uint64_t allocated = extents.AllocatedBytes(entry.first);
        if (allocated <= keep) continue;
        ++report.punchedFiles;
        if (plan.dryRun) {
            report.bytesFreed += allocated - keep;
            continue;
        }
        Step("prune.extents");
        extents.PunchFrom(entry.first, keep);
    }
}

void StorePruner::GiveBackPages() {
    Step("prune.vacuum");
    MetaDb& db = engine_.Db();
    int64_t incremental = 0;
    {
        MetaDb::ReadLease lease(db);
        SqlConnection::Stmt s(lease.conn(), "PRAGMA auto_vacuum");
        if (s.Step()) incremental = s.Int(0);
    }
    // Stores made before pages could be given back keep theirs for reuse.
    if (incremental == 2) {
        for (int64_t before = -1;;) {
            int64_t free = 0;
            {
                MetaDb::WriteTxn txn(db);
                SqlConnection::Stmt s(txn.conn(), "PRAGMA freelist_count");
                if (s.Step()) free = s.Int(0);
                if (free > 0) txn.conn().Exec("PRAGMA incremental_vacuum(" + std::to_string(kPagesPerTransaction) + ")");
                txn.Commit();
            }
            if (free == 0 || free == before) break;
            before = free;
            Pause();
        }
    }
    db.Checkpoint();
}

PruneReport StorePruner::Run(const PrunePolicy& policy) {
    const auto start = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> one(engine_.PruneMutex());
    PruneReport report;
    report.bytesBefore = StoreDiskBytes(engine_);
    const Plan plan = MakePlan(policy);
    Step("prune.plan");
    std::vector<uint64_t> candidates;
    if (plan.dryRun) {
        CountRows(plan, report, candidates);
        FreeExtents(plan, candidates, report);
        report.bytesAfter = report.bytesBefore > report.bytesFreed ? report.bytesBefore - report.bytesFreed : 0;
    } else {
        DeleteRows(plan, report, candidates);
        FreeExtents(plan, candidates, report);
        GiveBackPages();
        report.bytesAfter = StoreDiskBytes(engine_);
        report.bytesFreed = report.bytesBefore > report.bytesAfter ? report.bytesBefore - report.bytesAfter : 0;
        MetaDb::WriteTxn txn(engine_.Db());
        MetaDb::SetMeta(txn.conn(), kMetaLastPruneUs, std::to_string(engine_.NowUs()));
        MetaDb::SetMeta(txn.conn(), kMetaLastPruneFreed, std::to_string(report.bytesFreed));
        txn.Commit();
    }
    report.oldestAvailableUs = plan.keptFromUs > 0 ? plan.keptFromUs : engine_.CreatedUs();
    report.durationUs =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    return report;
}

namespace {

// The engine of the store: the one this process has open, or one of its own.
std::shared_ptr<StoreEngine> EngineOf(const std::string& dataRoot, const std::string& storePath) {
    const std::string folder = dataRoot + "/" + StoreFolderName(storePath);
    std::shared_ptr<StoreEngine> engine = StoreEngine::FindShared(folder);
    if (engine) return engine;
    StoreEngine::Options options;
    options.folder = folder;
    options.dbPath = folder + "/" + kMetaFileName;
    options.create = false;
    return StoreEngine::Shared(options);
}

// Runs body on the store's engine; every failure becomes a CPelError.
template <typename Body>
CPelError OnStore(const char* op, const std::string& dataRoot, const std::string& storePath, Body&& body) {
    try {
        std::shared_ptr<StoreEngine> engine = EngineOf(dataRoot, storePath);
        body(*engine);
        return CPelError::Success();
    } catch (const StoreFailure& f) {
        return CPelError(f.ErrNo(), std::string(op) + ": " + f.Message());
    } catch (const std::bad_alloc&) {
        return CPelError(ENOMEM, std::string(op) + ": out of memory");
    } catch (const std::exception& e) {
        return CPelError(EIO, std::string(op) + ": " + e.what());
    }
}

}  // namespace

CPelError StorePruner::Prune(const std::string& dataRoot, const std::string& storePath, const PrunePolicy& policy,
                             PruneReport& report) {
    return OnStore("prune", dataRoot, storePath, [&](StoreEngine& engine) { report = StorePruner(engine).Run(policy); });
}

CPelError StorePruner::History(const std::string& dataRoot, const std::string& storePath, StoreHistory& history) {
    return OnStore("history", dataRoot, storePath, [&](StoreEngine& engine) {
        const StoreEngine::KeptStates kept = engine.Kept();
        history.keptFromUs = kept.keptFromUs;
        history.oldestAvailableUs = kept.keptFromUs > 0 ? kept.keptFromUs : engine.CreatedUs();
        MetaDb::ReadLease lease(engine.Db());
        const std::string last = MetaDb::GetMeta(lease.conn(), kMetaLastPruneUs);
        history.lastPruneUs = last.empty() ? 0 : std::stoll(last);
    });
}

NameValueList StorePruner::Stats(StoreEngine& engine) {
    std::string retention, lastPrune, lastFreed, pins;
    {
        MetaDb::ReadLease lease(engine.Db());
        retention = MetaDb::GetMeta(lease.conn(), kMetaRetention);
        lastPrune = MetaDb::GetMeta(lease.conn(), kMetaLastPruneUs);
        lastFreed = MetaDb::GetMeta(lease.conn(), kMetaLastPruneFreed);
    }
    // What a prune by the last one's policy would give back now.
    PrunePolicy policy;
    policy.dryRun = true;
    policy.keepAll = retention.empty();
    if (!policy.keepAll) policy.windowSeconds = std::stoll(retention);
    // The views' times it kept; those open now it finds itself.
    for (int64_t pin : engine.Kept().pinnedUs) policy.viewTimes.push_back(pin / 1000000);
    const PruneReport estimate = StorePruner(engine).Run(policy);
    NameValueList out;
    out.emplace_back("Bytes on disk", std::to_string(estimate.bytesBefore));
    out.emplace_back("Reclaimable bytes", std::to_string(estimate.bytesFreed));
    out.emplace_back("Retention", policy.keepAll ? "all history" : retention + " s");
    out.emplace_back("Oldest time available", DescribeUs(estimate.oldestAvailableUs));
    out.emplace_back("Last prune", lastPrune.empty() ? "never" : UtcText(std::stoll(lastPrune) / 1000000));
    out.emplace_back("Bytes freed by last prune", lastFreed.empty() ? "0" : lastFreed);
    return out;
}

}  // namespace ObjectStore
