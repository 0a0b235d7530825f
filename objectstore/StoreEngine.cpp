#include "objectstore/StoreEngine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <map>
#include <set>

#include "objectstore/GuidSource.h"
#include "objectstore/OpenFile.h"
#include "objectstore/PathRules.h"
#include "objectstore/StoreFailure.h"
#include "objectstore/StoreFormat.h"
#include "objectstore/TimeText.h"

namespace ObjectStore {

namespace {

constexpr size_t kMaxOpenExtentFiles = 64;
// Rows of a listing read at once; see List.
constexpr int kListingPageRows = 256;
constexpr int kMaxDepth = 4096;
// Files of up to this many extents load their extent rows as a short read.
constexpr uint64_t kShortLoadExtents = 16;

std::atomic<uint64_t> gNextEngineId{1};

// The live path of the child a thread listed last, and of its directory:
// the handle of a listed entry, built right after it is listed, needs it.
struct ListedPath {
    uint64_t engine = 0;   // StoreEngine id; 0: nothing noted
    uint64_t changes = 0;  // the store's change count both paths are current at
    std::string dirGuid;
    std::string dirPath;
    std::string guid;
    std::string path;
};
thread_local ListedPath tListed;

int64_t WallUs() {
    struct timeval tv;
    ::gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

size_t Entries(int64_t n) { return n < 0 ? 0 : static_cast<size_t>(n); }

int64_t CacheKiB(const ObjectStoreConfig& c) {
    // The page cache of each connection comes out of the version cache budget.
    int64_t kib = static_cast<int64_t>(c.versionCacheBytes) / 1024 / 4;
    return std::max<int64_t>(512, std::min<int64_t>(kib, 64 * 1024));
}

int64_t ParseInt(const std::string& text) {
    try {
        return text.empty() ? 0 : std::stoll(text);
    } catch (const std::exception&) {
        Fail(EPROTO, "malformed number in the store's metadata: " + text);
    }
}

std::set<int64_t> ParseTimes(const std::string& text) {
    std::set<int64_t> times;
    size_t start = 0;
    while (start < text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        times.insert(ParseInt(text.substr(start, comma - start)));
        start = comma + 1;
    }
    return times;
}

std::mutex& RegistryMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

// Open engines by store folder; guarded by RegistryMutex(). A child process
// after fork holds no store lock: the parent's engines are not its own.
std::map<std::string, std::weak_ptr<StoreEngine>>& Registry() {
    static auto* engines = new std::map<std::string, std::weak_ptr<StoreEngine>>;
    static pid_t owner = ::getpid();
    if (owner != ::getpid()) {
        engines->clear();
        owner = ::getpid();
    }
    return *engines;
}

}  // namespace

std::shared_ptr<StoreEngine> StoreEngine::Shared(const Options& options) {
    std::lock_guard<std::mutex> guard(RegistryMutex());
    std::weak_ptr<StoreEngine>& slot = Registry()[options.folder];
    std::shared_ptr<StoreEngine> engine = slot.lock();
    if (!engine) {
        engine = std::make_shared<StoreEngine>(options);
        slot = engine;
    }
    return engine;
}

std::shared_ptr<StoreEngine> StoreEngine::FindShared(const std::string& folder) {
    std::lock_guard<std::mutex> guard(RegistryMutex());
    auto it = Registry().find(folder);
    return it == Registry().end() ? nullptr : it->second.lock();
}

// One metadata change of a client: a write transaction plus the cache
// entries to drop once it has committed (dropping them earlier could let a
// reader put the old value back). Changes of many clients at once commit
// together (MetaDb::WriteTxn::kShared): callers hold none of the store's
// locks while they make one.
class StoreEngine::Change {
public:
    // file: the open file this change changes, if any. Looked up by the
    // caller before the change holds the writer (see Rename); it learns the
    // change's ticket once committed.
    explicit Change(StoreEngine& engine, std::shared_ptr<OpenFile> file = nullptr)
        : engine_(engine), txn_(engine.Db(), false, MetaDb::WriteTxn::kShared), file_(std::move(file)) {}
    SqlConnection& conn() { return txn_.conn(); }
    void Node(const NodeRow& row) { rows_.push_back(row); }
    // A node whose attributes alone change (its name and place stay): its
    // new row is cached once committed, and its path stays cached.
    void Touched(const NodeRow& row) { touched_.push_back(row); }
    void Name(const std::string& parent, const std::string& name) { names_.emplace_back(parent, name); }
    // A node this change creates: cached once committed, since a client
    // that creates a file looks it up and asks for its attributes next.
    void Created(const NodeRow& row, bool caseSensitive) {
        created_ = row;
        createdCaseSensitive_ = caseSensitive;
    }
    // Returns the change's ticket (MetaDb::WriteTxn::Logged).
    uint64_t Commit() {
        // Under the writer lock, by whoever commits: a later change of these
        // nodes commits, and invalidates these entries, only after they are in.
        txn_.Commit([this](uint64_t logged) {
            for (const NodeRow& r : rows_) engine_.InvalidateNode(r);
            for (const auto& n : names_) engine_.InvalidateName(n.first, n.second);
            for (const NodeRow& r : touched_) engine_.CacheTouched(r);
            if (!created_.guid.empty()) engine_.CacheCreated(created_, createdCaseSensitive_);
            if (file_) file_->NoteLogged(logged);
        });
        return txn_.Logged();
    }

private:
    StoreEngine& engine_;
    MetaDb::WriteTxn txn_;
    std::vector<NodeRow> rows_;
    std::vector<NodeRow> touched_;
    std::vector<std::pair<std::string, std::string>> names_;
    NodeRow created_;
    bool createdCaseSensitive_ = true;
    std::shared_ptr<OpenFile> file_;
};

StoreEngine::StoreEngine(const Options& options)
    : id_(gNextEngineId.fetch_add(1)),
      folder_(options.folder),
      flushAfterCount_(std::max<uint32_t>(1, options.config.flushAfterCount)),
      flushAfterSeconds_(options.config.flushAfterSeconds),
      attrCache_(Entries(options.config.attribCacheEntries)),
      dirCache_(Entries(options.config.dirCacheEntries)),
      guidCache_(options.config.guidCacheBytes / GuidNameCache::kEntryBytes),
      listings_(Entries(options.config.dirCacheEntries)) {
    OpenOrCreate(options);
}

StoreEngine::~StoreEngine() {
    std::vector<std::shared_ptr<OpenFile>> files;
    for (OpenShard& shard : openShards_) {
        std::unique_lock<std::shared_mutex> guard(shard.mutex);
        for (auto& entry : shard.files) {
            files.push_back(entry.second.first);
            OpenSlotOf(HashOf(entry.first)).fetch_sub(1);
        }
        shard.files.clear();
    }
    for (auto& f : files) {
        try {
            f->Flush(false);
        } catch (const StoreFailure&) {
            // Closing cannot report; the data stays as last committed.
        }
    }
    try {
        if (db_) db_->Checkpoint();
    } catch (const StoreFailure&) {
        // The WAL is replayed at the next open.
    }
    db_.reset();
    if (lockFd_ >= 0) ::close(lockFd_);
}

void StoreEngine::OpenOrCreate(const Options& options) {
    if (options.create && ::mkdir(folder_.c_str(), 0700) != 0 && errno != EEXIST)
        Fail(errno, "cannot create store folder " + folder_);
    if (::access(folder_.c_str(), F_OK) != 0) Fail(ENOENT, "store does not exist");
    if (options.lockFolder) {
        std::string lockPath = folder_ + "/" + kLockFileName;
        lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFd_ < 0) Fail(errno, "cannot open " + lockPath);
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) Fail(EBUSY, "store is open in another process");
    }
    bool exists = ::access(options.dbPath.c_str(), F_OK) == 0;
    if (!exists && !options.create) Fail(ENOENT, "store does not exist");
    const ObjectStoreConfig& cfg = options.config;
    db_.reset(new MetaDb(options.dbPath, true, static_cast<int>(std::min<uint64_t>(cfg.lockWaitMs, INT32_MAX)),
                         CacheKiB(cfg)));
    extents_ = std::make_shared<ExtentStore>(folder_, options.baseExtents, kMaxOpenExtentFiles);
    uint64_t ticket = 0;
    {
        MetaDb::WriteTxn txn(*db_, true);
        SqlConnection& c = txn.conn();
        if (MetaDb::GetMeta(c, "root_guid").empty()) {
            uint64_t size = cfg.extentSize;
            if (size < kMinExtentSize || size > kMaxExtentSize) Fail(EINVAL, "extent size out of range");
            MetaDb::SetMeta(c, "extent_size", std::to_string(size));
            MetaDb::SetMeta(c, "next_extent", std::to_string(options.baseExtents ? kViewExtentBase : 1));
            MetaDb::SetMeta(c, "sub_client", std::to_string(cfg.subClientId));
            CreateRoot(c, cfg);
        }
        rootGuid_ = MetaDb::GetMeta(c, "root_guid");
        extentSize_ = std::stoull(MetaDb::GetMeta(c, "extent_size"));
        nextExtent_ = reservedExtent_ = extentWatermark_ = std::stoull(MetaDb::GetMeta(c, "next_extent"));
        createdUs_ = MetaDb::ObjectCreatedUs(c, rootGuid_);
        kept_.keptFromUs = ParseInt(MetaDb::GetMeta(c, kMetaKeptFromUs));
        kept_.pinnedUs = ParseTimes(MetaDb::GetMeta(c, kMetaKeptPins));
        ticket = txn.Commit();
    }
    db_->WaitDurable(ticket);
    struct stat st;
    devId_ = ::stat(folder_.c_str(), &st) == 0 ? st.st_ino : 0;
}

void StoreEngine::CreateRoot(SqlConnection& c, const ObjectStoreConfig& cfg) {
    NodeRow root;
    root.guid = NewGuidText();
    int64_t now = NowUs();
    if (!MetaDb::InsertObject(c, root.guid, kTypeDir, now, root.no)) Fail(EIO, "cannot register root");
    root.type = kTypeDir;
    root.mode = cfg.defaultAttribs.mode & 07777;
    root.uid = cfg.defaultAttribs.uid;
    root.gid = cfg.defaultAttribs.gid;
    root.atimeNs = root.mtimeNs = root.ctimeNs = now * 1000;
    // The root exists at every view time.
    root.fromUs = 0;
    root.toUs = kOpenEnd;
    MetaDb::InsertNode(c, root);
    MetaDb::SetMeta(c, "root_guid", root.guid);
}

std::unique_ptr<StoreEngine> StoreEngine::CreateScratch(StoreEngine& base, const std::string& folder,
                                                        int64_t asOf) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) Fail(errno, "cannot create view folder");
    std::string dbPath = folder + "/" + kMetaFileName;
    {
        SqlConnection c(dbPath, true, false, 5000);
        c.Exec("PRAGMA journal_mode=WAL");
        MetaDb schema(dbPath, true, 5000, 1024);  // creates the tables
    }
    SqlConnection c(dbPath, false, false, 5000);
    std::string t = std::to_string(asOf);
    std::string when = " WHERE to_us > " + t + " AND from_us <= " + t;
    std::string open = std::to_string(kOpenEnd);
    c.Exec("ATTACH DATABASE '" + base.Db().Path() + "' AS base");
    c.Exec("BEGIN IMMEDIATE");
    c.Exec("INSERT INTO objects SELECT * FROM base.objects");
    c.Exec("INSERT INTO nodes(no, guid, parent, name, fname, type, mode, uid, gid, atime_ns, mtime_ns, ctime_ns, "
           "size, version, link, from_us, to_us, subdirs) SELECT no, guid, parent, name, fname, type, mode, uid, "
           "gid, atime_ns, mtime_ns, ctime_ns, size, version, link, 0, " + open + ", subdirs FROM base.nodes" + when);
    c.Exec("INSERT INTO versions SELECT guid, version, created_us FROM base.versions WHERE created_us <= " + t);
    // Inherited extents are shared with the base store: never written in place.
    // Inline data comes along in the rows.
    c.Exec("INSERT INTO extmap(guid, version, idx, extent, len, sealed, from_us, to_us, data) SELECT guid, "
           "version, idx, extent, len, " + std::to_string(kMaxFileSize) + ", 0, " + open + ", data FROM base.extmap" +
           when);
    c.Exec("INSERT INTO xattrs(guid, name, value, from_us, to_us) SELECT guid, name, value, 0, " + open +
           " FROM base.xattrs" + when);
    c.Exec("INSERT OR REPLACE INTO meta SELECT key, value FROM base.meta WHERE key IN ('root_guid', "
           "'extent_size', 'sub_client')");
    c.Exec("INSERT OR REPLACE INTO meta VALUES('next_extent', '" + std::to_string(kViewExtentBase) + "')");
    c.Exec("COMMIT");
    c.Exec("DETACH DATABASE base");
    Options options;
    options.folder = folder;
    options.dbPath = dbPath;
    options.create = false;
    options.lockFolder = false;
    options.baseExtents = base.SharedExtents();
    options.config.attribCacheEntries = 1024;
    options.config.dirCacheEntries = 1024;
    options.config.guidCacheBytes = 1024 * GuidNameCache::kEntryBytes;
    options.config.flushAfterCount = base.flushAfterCount_;
    options.config.flushAfterSeconds = base.flushAfterSeconds_;
    return std::unique_ptr<StoreEngine>(new StoreEngine(options));
}

int64_t StoreEngine::NowUs() {
    int64_t now = WallUs();
    int64_t prev = lastUs_.load();
    while (true) {
        int64_t next = std::max(now, prev + 1);
        if (lastUs_.compare_exchange_weak(prev, next)) return next;
    }
}

void StoreEngine::MarkViewOpened() {
    // Changes stamped before the view's time are visible to it once opened.
    db_->CommitPending();
    int64_t now = NowUs();
    int64_t prev = sealBarrierUs_.load();
    while (prev < now && !sealBarrierUs_.compare_exchange_weak(prev, now)) {
    }
}

bool StoreEngine::Frozen(int64_t fromUs, int64_t nowUs) const {
    return fromUs / 1000000 < nowUs / 1000000 || fromUs <= sealBarrierUs_.load();
}

uint64_t StoreEngine::AllocateExtent() {
    std::lock_guard<std::mutex> guard(extentIdMutex_);
    if (nextExtent_ >= reservedExtent_) {
        uint64_t reserve = nextExtent_ + kExtentIdBlock;
        MetaDb::WriteTxn txn(*db_);
        MetaDb::SetMeta(txn.conn(), "next_extent", std::to_string(reserve));
        txn.Commit();
        reservedExtent_ = reserve;
    }
    return nextExtent_++;
}

void StoreEngine::CheckSpace(uint64_t bytes) {
    std::lock_guard<std::mutex> guard(spaceMutex_);
    int64_t now = WallUs();
    if (now - spaceCheckedUs_ > 1000000 || spaceFree_ < bytes + kFreeSpaceReserve) {
        struct statvfs vfs;
        if (::statvfs(folder_.c_str(), &vfs) != 0) Fail(errno, "cannot read free space");
        spaceFree_ = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
        spaceCheckedUs_ = now;
    }
    if (spaceFree_ < bytes + kFreeSpaceReserve) Fail(ENOSPC, "store is full");
    spaceFree_ -= bytes;
}

// ---------------------------------------------------------------- reading

bool StoreEngine::GetNode(const std::string& guid, int64_t asOf, NodeRow& out) {
    bool live = asOf == kLiveAsOf;
    if (live && attrCache_.Get(guid, out)) return true;
    uint64_t gen = attrCache_.Generation();
    {
        MetaDb::ReadLease lease(*db_, MetaDb::ReadLease::kShort);
        if (!MetaDb::GetNode(lease.conn(), guid, asOf, out)) return false;
    }
    if (live) attrCache_.PutIfCurrent(guid, out, gen);
    return true;
}

std::string StoreEngine::DirKey(const std::string& parent, const std::string& name, bool caseSensitive) {
    return parent + (caseSensitive ? "/" : "|") + (caseSensitive ? name : FoldName(name));
}

bool StoreEngine::LookupChild(const std::string& parent, const std::string& name, bool caseSensitive,
                              int64_t asOf, NodeRow& out) {
    bool live = asOf == kLiveAsOf;
    std::string key;
    if (live) {
        key = DirKey(parent, name, caseSensitive);
        if (dirCache_.Get(key, out)) return true;
    }
    uint64_t gen = dirCache_.Generation();
    {
        MetaDb::ReadLease lease(*db_, MetaDb::ReadLease::kShort);
        if (!MetaDb::FindChild(lease.conn(), parent, name, caseSensitive, asOf, out)) return false;
    }
    if (live) dirCache_.PutIfCurrent(key, out, gen);
    return true;
}

bool StoreEngine::FindPath(const std::vector<std::string>& parts, bool caseSensitive, int64_t asOf,
                           NodeRow& out) {
    NodeRow cur;
    if (!GetNode(rootGuid_, asOf, cur)) return false;
    for (const std::string& part : parts) {
        if (cur.type != kTypeDir) Fail(ENOTDIR, "path component is not a directory");
        NodeRow next;
        if (!LookupChild(cur.guid, part, caseSensitive, asOf, next)) return false;
        cur = std::move(next);
    }
    out = std::move(cur);
    return true;
}

NodeRow StoreEngine::Resolve(const std::vector<std::string>& parts, bool caseSensitive, int64_t asOf) {
    NodeRow row;
    if (!FindPath(parts, caseSensitive, asOf, row)) Fail(ENOENT, "no such object");
    return row;
}

NodeRow StoreEngine::ResolveWith(SqlConnection& c, const std::vector<std::string>& parts, bool caseSensitive) {
    NodeRow row;
    if (!MetaDb::GetNode(c, rootGuid_, kLiveAsOf, row)) Fail(EIO, "root is missing");
    for (const std::string& part : parts) {
        if (row.type != kTypeDir) Fail(ENOTDIR, "path component is not a directory");
        NodeRow next;
        if (!MetaDb::FindChild(c, row.guid, part, caseSensitive, kLiveAsOf, next)) Fail(ENOENT, "no such object");
        row = next;
    }
    return row;
}

std::string StoreEngine::PathOf(const std::string& guid, int64_t asOf) {
    bool live = asOf == kLiveAsOf;
    std::string noted;
    if (live && NotedPath(guid, noted)) return noted;
    std::vector<std::string> names;
    std::string cur = guid;
    for (int depth = 0; cur != rootGuid_; ++depth) {
        if (depth > kMaxDepth) Fail(EIO, "directory loop in metadata");
        std::string parent;
        std::string name;
        if (!live || !guidCache_.Get(cur, parent, name)) {
            uint64_t gen = guidCache_.Generation();
            NodeRow row;
            if (!GetNode(cur, asOf, row)) Fail(ENOENT, "no such object");
            parent = std::move(row.parent);
            name = std::move(row.name);
            if (live) guidCache_.PutIfCurrent(cur, parent, name, gen);
        }
        names.push_back(std::move(name));
        cur = std::move(parent);
    }
    std::reverse(names.begin(), names.end());
    if (names.empty()) {
        NodeRow root;
        if (!GetNode(rootGuid_, asOf, root)) Fail(ENOENT, "no such object");
    }
    return JoinStorePath(names);
}

void StoreEngine::List(const std::string& dirGuid, int64_t fromNo, int limit, int64_t asOf, ListedRows& out) {
    if (asOf != kLiveAsOf) {
        auto rows = std::make_shared<std::vector<NodeRow>>();
        {
            MetaDb::ReadLease lease(*db_);
            MetaDb::ListChildren(lease.conn(), dirGuid, fromNo, limit, asOf, *rows);
        }
        out = ListedRows{rows, 0, rows->size(), 0};
        return;
    }
    const uint64_t changes = db_->Changes();
    if (listings_.Find(dirGuid, fromNo, static_cast<size_t>(limit), changes, out)) return;
    // A page longer than the caller's: the next call of a client that takes
    // only part of a batch per reply starts inside it.
    const int pageRows = std::max(limit, kListingPageRows);
    const uint64_t generation = guidCache_.Generation();
    auto page = std::make_shared<std::vector<NodeRow>>();
    {
        MetaDb::ReadLease lease(*db_);
        MetaDb::ListChildren(lease.conn(), dirGuid, fromNo, pageRows, kLiveAsOf, *page);
    }
    for (const NodeRow& row : *page) guidCache_.PutIfCurrent(row.guid, row.parent, row.name, generation);
    out = ListedRows{page, 0, std::min(page->size(), static_cast<size_t>(limit)), changes};
    const bool toEnd = page->size() < static_cast<size_t>(pageRows);
    listings_.Put(dirGuid, fromNo, std::move(page), toEnd, changes);
}

void StoreEngine::NoteListed(const NodeRow& child, uint64_t changes) {
    ListedPath& noted = tListed;
    if (changes != db_->Changes()) return;
    if (noted.engine != id_ || noted.changes != changes || noted.dirGuid != child.parent) {
        noted.engine = 0;
        std::string dirPath;
        try {
            dirPath = PathOf(child.parent, kLiveAsOf);
        } catch (const StoreFailure&) {
            return;  // removed since: nothing to note
        }
        // The walk may have read a newer state than the rows.
        if (changes != db_->Changes()) return;
        noted.dirPath = std::move(dirPath);
        noted.dirGuid = child.parent;
    }
    noted.engine = id_;
    noted.changes = changes;
    noted.guid = child.guid;
    // Assigned in place: the strings keep their buffers from entry to entry.
    noted.path = noted.dirPath;
    if (noted.path != "/") noted.path += '/';
    noted.path += child.name;
}

bool StoreEngine::NotedPath(const std::string& guid, std::string& path) const {
    const ListedPath& noted = tListed;
    if (noted.engine != id_ || noted.guid != guid || noted.changes != db_->Changes()) return false;
    path = noted.path;
    return true;
}

void StoreEngine::FillStat(const NodeRow& row, int64_t asOf, struct stat& st) {
    std::memset(&st, 0, sizeof(st));
    uint64_t size = row.size;
    int64_t mtimeNs = row.mtimeNs;
    int64_t ctimeNs = row.ctimeNs;
    if (asOf == kLiveAsOf && row.type == kTypeFile) {
        std::shared_ptr<OpenFile> open = FindOpen(row.guid);
        if (open && open->PendingAttributes(size, mtimeNs)) ctimeNs = mtimeNs;
    }
    switch (row.type) {
        case kTypeDir:
            st.st_mode = S_IFDIR;
            st.st_nlink = static_cast<nlink_t>(2 + row.subdirs);
            size = 4096;
            break;
        case kTypeSymlink:
            st.st_mode = S_IFLNK;
            st.st_nlink = 1;
            size = row.link.size();
            break;
        default:
            st.st_mode = S_IFREG;
            st.st_nlink = 1;
            break;
    }
    st.st_mode |= row.mode & 07777;
    st.st_ino = static_cast<ino_t>(row.no);
    st.st_dev = devId_;
    st.st_uid = row.uid;
    st.st_gid = row.gid;
    st.st_size = static_cast<off_t>(size);
    st.st_blksize = 4096;
    st.st_blocks = static_cast<blkcnt_t>((size + 511) / 512);
    st.st_atim.tv_sec = row.atimeNs / 1000000000;
    st.st_atim.tv_nsec = row.atimeNs % 1000000000;
    st.st_mtim.tv_sec = mtimeNs / 1000000000;
    st.st_mtim.tv_nsec = mtimeNs % 1000000000;
    st.st_ctim.tv_sec = ctimeNs / 1000000000;
    st.st_ctim.tv_nsec = ctimeNs % 1000000000;
}

// ---------------------------------------------------------------- changes

void StoreEngine::StoreNode(SqlConnection& c, NodeRow& row, int64_t nowUs) {
    if (Frozen(row.fromUs, nowUs)) {
        MetaDb::CloseRow(c, "nodes", row.id, nowUs);
        row.fromUs = nowUs;
        row.toUs = kOpenEnd;
        row.id = MetaDb::InsertNode(c, row);
    } else {
        MetaDb::UpdateNodeInPlace(c, row);
    }
}

void StoreEngine::InvalidateNode(const NodeRow& row) {
    attrCache_.Invalidate(row.guid);
    guidCache_.Invalidate(row.guid);
    if (!row.parent.empty()) InvalidateName(row.parent, row.name);
}

void StoreEngine::CacheCreated(const NodeRow& row, bool caseSensitive) {
    attrCache_.PutIfCurrent(row.guid, row, attrCache_.Generation());
    dirCache_.PutIfCurrent(DirKey(row.parent, row.name, caseSensitive), row, dirCache_.Generation());
}

void StoreEngine::CacheTouched(const NodeRow& row) {
    // Each Invalidate also stops the put of a row a reader read before the change.
    attrCache_.Invalidate(row.guid);
    attrCache_.PutIfCurrent(row.guid, row, attrCache_.Generation());
    if (row.parent.empty()) return;
    // Entries by name hold attributes too. The exact name is this node's
    // alone; under the folded one a case-sensitive store may find another.
    InvalidateName(row.parent, row.name);
    dirCache_.PutIfCurrent(DirKey(row.parent, row.name, true), row, dirCache_.Generation());
}

void StoreEngine::InvalidateName(const std::string& parent, const std::string& name) {
    dirCache_.Invalidate(DirKey(parent, name, true));
    dirCache_.Invalidate(DirKey(parent, name, false));
}

void StoreEngine::TouchDir(Change& change, const std::string& guid, int64_t nowUs, int subdirDelta) {
    NodeRow dir;
    if (!MetaDb::GetNode(change.conn(), guid, kLiveAsOf, dir)) return;
    dir.mtimeNs = dir.ctimeNs = nowUs * 1000;
    dir.subdirs = std::max<int64_t>(0, dir.subdirs + subdirDelta);
    StoreNode(change.conn(), dir, nowUs);
    change.Touched(dir);
}

NodeRow StoreEngine::Create(const std::string& parentGuid, const std::string& name, int type, uint32_t mode,
                            uint32_t uid, uint32_t gid, const std::string& link, bool caseSensitive) {
    Change change(*this);
    SqlConnection& c = change.conn();
    NodeRow parent;
    if (!MetaDb::GetNode(c, parentGuid, kLiveAsOf, parent)) Fail(ENOENT, "parent does not exist");
    if (parent.type != kTypeDir) Fail(ENOTDIR, "parent is not a directory");
    NodeRow existing;
    if (MetaDb::FindChild(c, parentGuid, name, caseSensitive, kLiveAsOf, existing)) Fail(EEXIST, "name exists");
    int64_t now = NowUs();
    NodeRow row;
    for (int attempt = 0;; ++attempt) {
        row.guid = NewGuidText();
        if (MetaDb::InsertObject(c, row.guid, type, now, row.no)) break;
        if (attempt > 8) Fail(EIO, "cannot find an unused GUID");
    }
    row.parent = parentGuid;
    row.name = name;
    row.type = type;
    row.mode = mode & 07777;
    row.uid = uid;
    row.gid = gid;
    // A set-group-id directory hands its group down, and its flag to new
    // directories, as POSIX file systems do.
    if (parent.mode & S_ISGID) {
        row.gid = parent.gid;
        if (type == kTypeDir) row.mode |= S_ISGID;
    }
    row.atimeNs = row.mtimeNs = row.ctimeNs = now * 1000;
    row.link = link;
    row.version = 1;
    row.fromUs = now;
    row.toUs = kOpenEnd;
    row.id = MetaDb::InsertNode(c, row);
    if (type == kTypeFile) MetaDb::InsertVersion(c, row.guid, 1, now);
    TouchDir(change, parentGuid, now, type == kTypeDir ? 1 : 0);
    change.Created(row, caseSensitive);
    change.Commit();
    return row;
}

void StoreEngine::Remove(const std::string& guid, bool dir) {
    std::shared_ptr<OpenFile> open = FindOpen(guid);
    {
        Change change(*this);
        SqlConnection& c = change.conn();
        NodeRow row;
        if (!MetaDb::GetNode(c, guid, kLiveAsOf, row)) Fail(ENOENT, "no such object");
        if (guid == rootGuid_) Fail(EBUSY, "the root cannot be removed");
        if (dir && row.type != kTypeDir) Fail(ENOTDIR, "not a directory");
        if (!dir && row.type == kTypeDir) Fail(EISDIR, "is a directory");
        if (dir && MetaDb::HasChildren(c, guid, kLiveAsOf)) Fail(ENOTEMPTY, "directory is not empty");
        int64_t now = NowUs();
        MetaDb::CloseRow(c, "nodes", row.id, now);
        TouchDir(change, row.parent, now, dir ? -1 : 0);
        change.Node(row);
        change.Commit();
    }
    if (open) open->MarkDeleted();
}

void StoreEngine::Update(const std::string& guid, const std::function<void(NodeRow&)>& apply) {
    // Pending writes go first so that they cannot overwrite this change later.
    std::shared_ptr<OpenFile> open = FindOpen(guid);
    if (open) open->Flush(false);
    Change change(*this, open);
    SqlConnection& c = change.conn();
    NodeRow row;
    if (!MetaDb::GetNode(c, guid, kLiveAsOf, row)) Fail(ENOENT, "no such object");
    int64_t now = NowUs();
    apply(row);
    row.ctimeNs = now * 1000;
    StoreNode(c, row, now);
    change.Node(row);
    change.Commit();
}

std::string StoreEngine::Rename(const std::vector<std::string>& srcParts, const std::vector<std::string>& dstParts,
                                bool caseSensitive) {
    if (srcParts.empty()) Fail(EBUSY, "the root cannot be renamed");
    if (dstParts.empty()) Fail(EBUSY, "the root cannot be replaced");
    const std::string& dstName = dstParts.back();
    CheckEntryName(dstName);
    std::string replaced;
    std::string moved;
    uint64_t logged = 0;
    {
        Change change(*this);
        SqlConnection& c = change.conn();
        NodeRow src = ResolveWith(c, srcParts, caseSensitive);
        NodeRow dstParent =
            ResolveWith(c, std::vector<std::string>(dstParts.begin(), dstParts.end() - 1), caseSensitive);
        if (dstParent.type != kTypeDir) Fail(ENOTDIR, "destination parent is not a directory");
        if (src.type == kTypeDir) {
            // A directory cannot move below itself.
            std::string up = dstParent.guid;
            for (int depth = 0; !up.empty(); ++depth) {
                if (up == src.guid) Fail(EINVAL, "destination is inside the source");
                if (depth > kMaxDepth) Fail(EIO, "directory loop in metadata");
                NodeRow row;
                if (!MetaDb::GetNode(c, up, kLiveAsOf, row)) break;
                up = row.parent;
            }
        }
        int64_t now = NowUs();
        NodeRow dst;
        bool replace = MetaDb::FindChild(c, dstParent.guid, dstName, caseSensitive, kLiveAsOf, dst);
        if (replace && dst.guid == src.guid) {
            if (src.name == dstName && src.parent == dstParent.guid) {
                change.Commit();
                return src.guid;
            }
            replace = false;  // same object under another spelling
        }
        if (replace) {
            if (src.type == kTypeDir && dst.type != kTypeDir) Fail(ENOTDIR, "destination is not a directory");
            if (src.type != kTypeDir && dst.type == kTypeDir) Fail(EISDIR, "destination is a directory");
            if (dst.type == kTypeDir && MetaDb::HasChildren(c, dst.guid, kLiveAsOf))
                Fail(ENOTEMPTY, "destination directory is not empty");
            MetaDb::CloseRow(c, "nodes", dst.id, now);
            change.Node(dst);
            replaced = dst.guid;
        }
        std::string oldParent = src.parent;
        std::string oldName = src.name;
        src.parent = dstParent.guid;
        src.name = dstName;
        src.ctimeNs = now * 1000;
        StoreNode(c, src, now);
        // Subdirectories the destination gains and the source loses.
        const int movedDirs = src.type == kTypeDir ? 1 : 0;
        const int lost = replace && dst.type == kTypeDir ? 1 : 0;
        if (oldParent != dstParent.guid) {
            TouchDir(change, oldParent, now, -movedDirs);
            TouchDir(change, dstParent.guid, now, movedDirs - lost);
        } else {
            TouchDir(change, oldParent, now, -lost);
        }
        change.Node(src);
        change.Name(oldParent, oldName);
        logged = change.Commit();
        moved = src.guid;
    }
    // Looked up after the change: the open-file table is never locked while
    // the writer connection is held (an open holds the table, then tries the
    // writer). A file opened since cannot be this one, whose row is closed.
    if (!replaced.empty()) {
        std::shared_ptr<OpenFile> open = FindOpen(replaced);
        if (open) open->MarkDeleted();
    }
    if (std::shared_ptr<OpenFile> open = FindOpen(moved)) open->NoteLogged(logged);
    return moved;
}

bool StoreEngine::GetXattr(const std::string& guid, const std::string& name, int64_t asOf, std::string& value) {
    MetaDb::ReadLease lease(*db_);
    int64_t id = 0, fromUs = 0;
    return MetaDb::GetXattr(lease.conn(), guid, name, asOf, id, value, fromUs);
}

void StoreEngine::SetXattr(const std::string& guid, const std::string& name, const std::string& value) {
    Change change(*this, FindOpen(guid));
    SqlConnection& c = change.conn();
    NodeRow row;
    if (!MetaDb::GetNode(c, guid, kLiveAsOf, row)) Fail(ENOENT, "no such object");
    int64_t now = NowUs();
    int64_t id = 0, fromUs = 0;
    std::string old;
    if (MetaDb::GetXattr(c, guid, name, kLiveAsOf, id, old, fromUs) && !Frozen(fromUs, now)) {
        MetaDb::UpdateXattrInPlace(c, id, value);
    } else {
        if (id) MetaDb::CloseRow(c, "xattrs", id, now);
        MetaDb::InsertXattr(c, guid, name, value, now);
    }
    row.ctimeNs = now * 1000;
    StoreNode(c, row, now);
    change.Node(row);
    change.Commit();
}

void StoreEngine::RemoveXattr(const std::string& guid, const std::string& name) {
    Change change(*this, FindOpen(guid));
    SqlConnection& c = change.conn();
    NodeRow row;
    if (!MetaDb::GetNode(c, guid, kLiveAsOf, row)) Fail(ENOENT, "no such object");
    int64_t id = 0, fromUs = 0;
    std::string old;
    if (!MetaDb::GetXattr(c, guid, name, kLiveAsOf, id, old, fromUs)) Fail(ENOENT, "no such attribute");
    int64_t now = NowUs();
    MetaDb::CloseRow(c, "xattrs", id, now);
    row.ctimeNs = now * 1000;
    StoreNode(c, row, now);
    change.Node(row);
    change.Commit();
}

void StoreEngine::SyncMetadata() { db_->SyncCommitted(); }

// ---------------------------------------------------------------- files

std::shared_ptr<OpenFile> StoreEngine::AcquireFile(const NodeRow& node, int64_t asOf) {
    std::vector<ExtentRow> rows;
    if (asOf != kLiveAsOf) {
        {
            MetaDb::ReadLease lease(*db_);
            MetaDb::LoadExtents(lease.conn(), node.guid, node.version, asOf, rows);
        }
        auto file = std::make_shared<OpenFile>(*this, node.guid, asOf);
        file->Load(node, rows);
        return file;
    }
    const size_t hash = HashOf(node.guid);
    OpenShard& shard = ShardOf(hash);
    std::unique_lock<std::shared_mutex> guard(shard.mutex);
    auto it = shard.files.find(node.guid);
    if (it != shard.files.end()) {
        ++it->second.second;
        return it->second.first;
    }
    // Load the committed row: the caller's copy may come from a cache.
    NodeRow fresh;
    {
        // A small file's extent rows are a short read too; a large file's
        // do not hold up the writer connection and come from a pooled
        // reader. The leases end before the new file's mutex is taken:
        // whoever holds a file's mutex may wait for the writer connection.
        MetaDb::ReadLease lease(*db_, MetaDb::ReadLease::kShort);
        if (!MetaDb::GetNode(lease.conn(), node.guid, kLiveAsOf, fresh)) Fail(ENOENT, "no such object");
        std::optional<MetaDb::ReadLease> scan;
        if (lease.OnWriter() && fresh.size > kShortLoadExtents * extentSize_) scan.emplace(*db_);
        MetaDb::LoadExtents(scan ? scan->conn() : lease.conn(), fresh.guid, fresh.version, kLiveAsOf, rows);
    }
    auto file = std::make_shared<OpenFile>(*this, node.guid, asOf);
    file->Load(fresh, rows);
    shard.files.emplace(node.guid, std::make_pair(file, 1));
    OpenSlotOf(hash).fetch_add(1);
    return file;
}

void StoreEngine::ReleaseFile(const std::shared_ptr<OpenFile>& file) {
    const size_t hash = HashOf(file->Guid());
    OpenShard& shard = ShardOf(hash);
    std::unique_lock<std::shared_mutex> guard(shard.mutex);
    auto it = shard.files.find(file->Guid());
    if (it == shard.files.end() || it->second.first != file) return;
    if (--it->second.second == 0) {
        shard.files.erase(it);
        OpenSlotOf(hash).fetch_sub(1);
    }
}

std::shared_ptr<OpenFile> StoreEngine::FindOpen(const std::string& guid) {
    const size_t hash = HashOf(guid);
    if (OpenSlotOf(hash).load() == 0) return nullptr;
    OpenShard& shard = ShardOf(hash);
    std::shared_lock<std::shared_mutex> guard(shard.mutex);
    auto it = shard.files.find(guid);
    return it == shard.files.end() ? nullptr : it->second.first;
}

// ---------------------------------------------------------------- retention

StoreEngine::KeptStates StoreEngine::Kept() {
    std::lock_guard<std::mutex> guard(retentionMutex_);
    return kept_;
}

void StoreEngine::AdmitView(int64_t asOf) {
    std::lock_guard<std::mutex> guard(retentionMutex_);
    if (!kept_.Keeps(asOf)) {
        Fail(ERANGE, "the state of " + DescribeUs(asOf) + " has been pruned away; the oldest time still available is " +
                         DescribeUs(kept_.keptFromUs));
    }
    openViewTimes_.insert(asOf);
}

void StoreEngine::ReleaseView(int64_t asOf) {
    std::lock_guard<std::mutex> guard(retentionMutex_);
    auto it = openViewTimes_.find(asOf);
    if (it != openViewTimes_.end()) openViewTimes_.erase(it);
}

std::vector<int64_t> StoreEngine::OpenViewTimesLocked() const {
    return std::vector<int64_t>(openViewTimes_.begin(), openViewTimes_.end());
}

std::set<std::string> StoreEngine::OpenFileGuids() {
    // Shard by shard: a file opened after its shard was read counts as
    // opened after the call, as it would with one lock.
    std::set<std::string> guids;
    for (OpenShard& shard : openShards_) {
        std::shared_lock<std::shared_mutex> guard(shard.mutex);
        for (const auto& entry : shard.files) guids.insert(entry.first);
    }
    return guids;
}

// ---------------------------------------------------------------- reports

std::vector<std::pair<std::string, std::string>> StoreEngine::Stats() {
    std::vector<std::pair<std::string, std::string>> out;
    int64_t files = 0, dirs = 0, links = 0, versions = 0, logical = 0, lastWriteNs = 0, inlineBytes = 0;
    {
        MetaDb::ReadLease lease(*db_);
        SqlConnection& c = lease.conn();
        SqlConnection::Stmt s(c, "SELECT type, COUNT(*), COALESCE(SUM(size), 0), COALESCE(MAX(mtime_ns), 0) "
                                 "FROM nodes WHERE to_us = 9223372036854775807 GROUP BY type");
        while (s.Step()) {
            int64_t type = s.Int(0), count = s.Int(1);
            if (type == kTypeFile) {
                files = count;
                logical = s.Int(2);
                lastWriteNs = s.Int(3);
            } else if (type == kTypeDir) {
                dirs = count;
            } else {
                links = count;
            }
        }
        SqlConnection::Stmt v(c, "SELECT COUNT(*) FROM versions");
        if (v.Step()) versions = v.Int(0);
        // Every inline row keeps its own bytes, history rows included.
        SqlConnection::Stmt b(c, "SELECT COALESCE(SUM(LENGTH(CAST(data AS BLOB))), 0) FROM extmap WHERE extent = 0");
        if (b.Step()) inlineBytes = b.Int(0);
    }
    const std::string lastWrite = files > 0 && lastWriteNs > 0 ? UtcText(lastWriteNs / 1000000000) : "never";
    out.emplace_back("Files", std::to_string(files));
    out.emplace_back("Directories", std::to_string(dirs));
    out.emplace_back("Symbolic links", std::to_string(links));
    out.emplace_back("Versions", std::to_string(versions));
    out.emplace_back("Logical bytes", std::to_string(logical));
    out.emplace_back("Stored bytes", std::to_string(extents_->StoredBytes() + static_cast<uint64_t>(inlineBytes)));
    out.emplace_back("Last write", lastWrite);
    return out;
}

void StoreEngine::CheckIntegrity(std::vector<std::string>& problems) {
    MetaDb::ReadLease lease(*db_);
    SqlConnection& c = lease.conn();
    {
        SqlConnection::Stmt s(c, "PRAGMA integrity_check");
        while (s.Step())
            if (s.Text(0) != "ok") problems.push_back("metadata: " + s.Text(0));
    }
    NodeRow root;
    if (!MetaDb::GetNode(c, rootGuid_, kLiveAsOf, root)) problems.push_back("root is missing");
    {
        SqlConnection::Stmt s(c, "SELECT extent, MAX(len) FROM extmap WHERE extent != 0 GROUP BY extent");
        while (s.Step()) {
            uint64_t extent = static_cast<uint64_t>(s.Int(0));
            uint64_t len = static_cast<uint64_t>(s.Int(1));
            if (!extents_->Exists(extent)) {
                problems.push_back("extent " + std::to_string(extent) + " is missing");
            } else if (extents_->FileSize(extent) < len) {
                problems.push_back("extent " + std::to_string(extent) + " is shorter than " + std::to_string(len));
            }
        }
    }
    {
        // Inline rows need no extent file, only their bytes.
        SqlConnection::Stmt s(c, "SELECT id, len FROM extmap WHERE extent = 0 AND "
                                 "COALESCE(LENGTH(CAST(data AS BLOB)), 0) < len");
        while (s.Step())
            problems.push_back("inline extent row " + std::to_string(s.Int(0)) + " holds fewer than " +
                               std::to_string(s.Int(1)) + " bytes");
    }
    {
        SqlConnection::Stmt s(c, "SELECT n.guid FROM nodes n WHERE n.to_us = 9223372036854775807 AND n.parent != '' "
                                 "AND NOT EXISTS (SELECT 1 FROM nodes p WHERE p.guid = n.parent AND p.type = 2 "
                                 "AND p.to_us = 9223372036854775807)");
        while (s.Step()) problems.push_back("object " + s.Text(0) + " has no live parent directory");
    }
    {
        SqlConnection::Stmt s(c, "SELECT parent, name FROM nodes WHERE to_us = 9223372036854775807 "
                                 "GROUP BY parent, name HAVING COUNT(*) > 1");
        while (s.Step()) problems.push_back("name " + s.Text(1) + " appears twice in " + s.Text(0));
    }
    {
        SqlConnection::Stmt s(c, "SELECT guid FROM nodes WHERE to_us = 9223372036854775807 "
                                 "GROUP BY guid HAVING COUNT(*) > 1");
        while (s.Step()) problems.push_back("object " + s.Text(0) + " has two live rows");
    }
    {
        SqlConnection::Stmt s(c, "SELECT guid, subdirs, held FROM (SELECT d.guid, d.subdirs, (SELECT COUNT(*) "
                                 "FROM nodes n WHERE n.parent = d.guid AND n.type = 2 AND "
                                 "n.to_us = 9223372036854775807) AS held FROM nodes d WHERE d.type = 2 AND "
                                 "d.to_us = 9223372036854775807) WHERE subdirs != held");
        while (s.Step())
            problems.push_back("directory " + s.Text(0) + " counts " + std::to_string(s.Int(1)) +
                               " subdirectories but holds " + std::to_string(s.Int(2)));
    }
}

}  // namespace ObjectStore
