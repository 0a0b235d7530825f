#include "objectstore/StoreView.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "objectstore/CreatorScope.h"
#include "objectstore/OpenFile.h"
#include "objectstore/PathRules.h"
#include "objectstore/StoreFailure.h"
#include "objectstore/StoreFormat.h"
#include "objectstore/StorePruner.h"

namespace ObjectStore {

namespace {

constexpr int kDirBatch = 64;

int64_t ViewTime(const ObjectStoreConfig& config, StoreEngine& engine) {
    if (!config.isPIT) return kLiveAsOf;
    // A view sees what was committed up to the end of its second, and never
    // more than exists now.
    int64_t t = config.snapshotTime;
    int64_t end = t < 0 ? -1 : (t > INT64_MAX / 1000000 - 1 ? INT64_MAX - 2 : t * 1000000 + 999999);
    return std::max<int64_t>(0, std::min(end, engine.NowUs()));
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

void RemoveTree(const std::string& dir) { ::nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

unsigned char DirentType(int type) {
    switch (type) {
        case kTypeDir: return DT_DIR;
        case kTypeSymlink: return DT_LNK;
        default: return DT_REG;
    }
}

void CheckTimeval(const struct timeval& tv) {
    if (tv.tv_usec < 0 || tv.tv_usec >= 1000000) Fail(EINVAL, "microseconds out of range");
}

}  // namespace

StoreView::StoreView(uint64_t index, const ObjectStoreConfig& config, std::shared_ptr<StoreEngine> base,
                     const std::string& scratchDir)
    : index_(index),
      config_(config),
      base_(std::move(base)),
      scratchDir_(scratchDir),
      asOf_(ViewTime(config, *base_)),
      writable_(!config.readOnly && (!config.isPIT || config.writablePIT)),
      caseSensitive_(config.caseSensitive),
      versionInterval_(config.versionInterval),
      copyPrecedence_(config.copyPrecedence),
      backupFilter_(config.backupFilter) {
    if (!config.isPIT) return;
    base_->AdmitView(asOf_);
    base_->MarkViewOpened();
    try {
        if (!scratchDir_.empty()) scratch_ = StoreEngine::CreateScratch(*base_, scratchDir_, asOf_);
    } catch (...) {
        base_->ReleaseView(asOf_);
        throw;
    }
}

StoreView::~StoreView() {
    CloseEverything();
    if (config_.isPIT) base_->ReleaseView(asOf_);
    std::shared_ptr<StoreEngine> scratch;
    {
        std::lock_guard<std::mutex> guard(scratchMutex_);
        scratch.swap(scratch_);
    }
    scratch.reset();
    if (!scratchDir_.empty()) RemoveTree(scratchDir_);
}

std::shared_ptr<StoreEngine> StoreView::EngineRef() const {
    if (scratchDir_.empty()) return base_;
    std::lock_guard<std::mutex> guard(scratchMutex_);
    if (!scratch_) Fail(EBADF, "view is closed");
    return scratch_;
}

void StoreView::RequireWritable() const {
    if (!writable_) Fail(EROFS, "store view is read-only");
}

bool StoreView::CaseSensitive() const {
    std::lock_guard<std::mutex> guard(settingsMutex_);
    return caseSensitive_;
}

std::string StoreView::RootGuid() const { return base_->RootGuid(); }

bool StoreView::FindItem(const ItemName& item, NodeRow& row) {
    std::shared_ptr<StoreEngine> eng = EngineRef();
    int64_t asOf = scratchDir_.empty() ? asOf_ : kLiveAsOf;
    if (item.isByPath())
        return eng->FindPath(SplitStorePath(item.getPath(), config_.maxPath), CaseSensitive(), asOf, row);
    return eng->GetNode(GuidOf(item), asOf, row);
}

std::string StoreView::GuidOf(const ItemName& item) {
    std::string guid = item.getObjGuid();
    if (guid.empty() && item.isRoot()) guid = EngineRef()->RootGuid();
    if (guid.empty()) Fail(EINVAL, "item names no object");
    if (!IsGuidText(guid)) Fail(EINVAL, "malformed GUID");
    // Only hex digits are left: no locale is needed to fold them.
    for (char& c : guid) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
    return guid;
}

NodeRow StoreView::ResolveItem(const ItemName& item) {
    NodeRow row;
    if (!FindItem(item, row)) Fail(ENOENT, "no such object");
    return row;
}

std::string StoreView::GuidToPath(const std::string& guid) {
    // PathOf fails with ENOENT for an object that does not exist at asOf,
    // and needs no attributes: a handle of a listed entry costs no query.
    int64_t asOf = scratchDir_.empty() ? asOf_ : kLiveAsOf;
    std::shared_ptr<StoreEngine> eng = EngineRef();
    // The entry this thread listed last is asked for right after: its text
    // is the store's own, so it needs no checking or folding.
    std::string path;
    if (asOf == kLiveAsOf && eng->NotedPath(guid, path)) return path;
    return eng->PathOf(GuidOf(ItemName(guid, false)), asOf);
}

bool StoreView::Getattr(ItemName& item, struct stat& st) {
    NodeRow row;
    if (!FindItem(item, row)) return false;
    int64_t asOf = scratchDir_.empty() ? asOf_ : kLiveAsOf;
    EngineRef()->FillStat(row, asOf, st);
    if (config_.isPIT && row.guid == base_->RootGuid()) {
        // A view's root carries the view's attributes (read-only views: 0555).
        st.st_mode = S_IFDIR | (config_.defaultAttribs.mode & 07777);
        st.st_uid = config_.defaultAttribs.uid;
        st.st_gid = config_.defaultAttribs.gid;
    }
    if (item.isByPath() || item.getObjGuid().empty()) item.setObjGuid(row.guid);
    return true;
}

// ---------------------------------------------------------------- handles

std::shared_ptr<StoreView::Handle> StoreView::FindHandle(uint64_t openId) {
    if (openId == 0) Fail(EBADF, "file is not open");
    HandleShard& shard = shards_[openId % kShards];
    std::lock_guard<std::mutex> guard(shard.mutex);
    auto it = shard.handles.find(openId);
    if (it == shard.handles.end()) Fail(EBADF, "file is not open in this store");
    return it->second;
}

std::shared_ptr<StoreView::Handle> StoreView::FindHandle(const FileHandle& fh) { return FindHandle(fh.openId); }

void StoreView::AddHandle(FileHandle& fh, const NodeRow& node, std::shared_ptr<OpenFile> file, int flags,
                          uint64_t openId) {
    auto handle = std::make_shared<Handle>();
    handle->file = std::move(file);
    handle->guid = node.guid;
    handle->flags = flags;
    HandleShard& shard = shards_[openId % kShards];
    {
        std::lock_guard<std::mutex> guard(shard.mutex);
        shard.handles[openId] = handle;
    }
    fh.item = ItemName(node.guid, node.guid == base_->RootGuid());
    fh.openId = openId;
}

void StoreView::Open(FileHandle& fh, const ItemName& item, int flags, bool newVersion, uint64_t openId) {
    NodeRow node = ResolveItem(item);
    if (node.type == kTypeDir) Fail(EISDIR, "is a directory");
    if (node.type == kTypeSymlink) Fail(ELOOP, "is a symbolic link");
    bool forWrite = (flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC);
    if (forWrite) RequireWritable();
    std::shared_ptr<StoreEngine> eng = EngineRef();
    int64_t asOf = scratchDir_.empty() ? asOf_ : kLiveAsOf;
    std::shared_ptr<OpenFile> file = eng->AcquireFile(node, asOf);
    try {
        if (forWrite && newVersion && config_.enabledVersions) {
            uint32_t interval;
            {
                std::lock_guard<std::mutex> guard(settingsMutex_);
                interval = versionInterval_;
            }
            file->NewVersion(interval, true);
        }
        if (forWrite && (flags & O_TRUNC)) file->Truncate(0);
    } catch (...) {
        if (asOf == kLiveAsOf) eng->ReleaseFile(file);
        throw;
    }
    AddHandle(fh, node, file, flags, openId);
}

void StoreView::Create(ItemName& newItem, const ItemName& parent, const std::string& name, mode_t mode, int type) {
    RequireWritable();
    CheckEntryName(name);
    NodeRow dir = ResolveItem(parent);
    if (dir.type != kTypeDir) Fail(ENOTDIR, "parent is not a directory");
    std::shared_ptr<StoreEngine> eng = EngineRef();
    std::string path = eng->PathOf(dir.guid, kLiveAsOf);
    if ((path == "/" ? 0 : path.size()) + 1 + name.size() > config_.maxPath)
        Fail(ENAMETOOLONG, "path longer than maxPath");
    uint32_t uid = config_.defaultAttribs.uid, gid = config_.defaultAttribs.gid;
    CreatorScope::Current(uid, gid);
    NodeRow row = eng->Create(dir.guid, name, type, static_cast<uint32_t>(mode), uid, gid, std::string(),
                              CaseSensitive());
    newItem = ItemName(row.guid, false);
}

void StoreView::CreateAndOpen(FileHandle& fh, const ItemName& parent, const std::string& name, struct stat& st,
                              int flags, uint64_t openId) {
    ItemName created;
    try {
        Create(created, parent, name, config_.defaultAttribs.mode & 0666, kTypeFile);
    } catch (const StoreFailure& f) {
        if (f.ErrNo() != EEXIST || (flags & O_EXCL)) throw;
        // Without O_EXCL an existing file is opened, as open(O_CREAT) does.
        NodeRow dir = ResolveItem(parent);
        NodeRow existing = EngineRef()->Resolve(
            SplitStorePath(EngineRef()->PathOf(dir.guid, kLiveAsOf) + "/" + name, UINT32_MAX), CaseSensitive(),
            kLiveAsOf);
        created = ItemName(existing.guid, false);
    }
    // The creator writes the new file through this handle whatever access it asked for.
    int access = (flags & O_ACCMODE) == O_RDONLY ? O_RDWR : 0;
    Open(fh, created, (flags & ~O_ACCMODE) | access | (flags & O_ACCMODE), false, openId);
    ItemName item(fh.item.getObjGuid(), false);
    if (!Getattr(item, st)) Fail(ENOENT, "no such object");
}

uint64_t StoreView::Read(FileHandle& fh, void* buffer, uint64_t offset, uint64_t count) {
    std::shared_ptr<Handle> h = FindHandle(fh);
    if (count > 0 && !buffer) Fail(EFAULT, "no buffer");
    if (offset > kMaxFileSize) Fail(EFBIG, "offset past the largest file");
    return h->file->Read(buffer, offset, static_cast<size_t>(std::min<uint64_t>(count, SIZE_MAX)));
}

uint64_t StoreView::Write(FileHandle& fh, const void* buffer, uint64_t count, uint64_t offset, int sync) {
    std::shared_ptr<Handle> h = FindHandle(fh);
    if ((h->flags & O_ACCMODE) == O_RDONLY) Fail(EBADF, "file is open for reading only");
    RequireWritable();
    if (count > 0 && !buffer) Fail(EFAULT, "no buffer");
    if (offset > kMaxFileSize || count > kMaxFileSize - offset) Fail(EFBIG, "write past the largest file");
    if (count == 0) {
        if (sync) h->file->Flush(true);
        return 0;
    }
    EngineRef()->CheckSpace(count);
    h->file->Write(buffer, offset, static_cast<size_t>(count), sync != 0);
    return count;
}

void StoreView::CloseHandle(uint64_t openId, const std::shared_ptr<Handle>& h) {
    {
        HandleShard& shard = shards_[openId % kShards];
        std::lock_guard<std::mutex> guard(shard.mutex);
        shard.handles.erase(openId);
    }
    std::shared_ptr<StoreEngine> eng;
    try {
        eng = EngineRef();
    } catch (const StoreFailure&) {
        return;
    }
    eng->Locks().DropOpen(openId);
    eng->ReleaseFile(h->file);
}

void StoreView::Close(FileHandle& fh) {
    std::shared_ptr<Handle> h = FindHandle(fh);
    // Commit first: a failed commit leaves the file open so the caller can retry.
    if ((h->flags & O_ACCMODE) != O_RDONLY) h->file->Flush(false);
    CloseHandle(fh.openId, h);
    fh.openId = 0;
}

void StoreView::Truncate(const ItemName& item, uint64_t size, bool newVersion) {
    RequireWritable();
    NodeRow node = ResolveItem(item);
    if (node.type == kTypeDir) Fail(EISDIR, "is a directory");
    if (node.type != kTypeFile) Fail(EINVAL, "not a regular file");
    if (size > kMaxFileSize) Fail(EFBIG, "size past the largest file");
    std::shared_ptr<StoreEngine> eng = EngineRef();
    std::shared_ptr<OpenFile> file = eng->AcquireFile(node, kLiveAsOf);
    try {
        if (newVersion && config_.enabledVersions) {
            uint32_t interval;
            {
                std::lock_guard<std::mutex> guard(settingsMutex_);
                interval = versionInterval_;
            }
            // A young version is truncated in place rather than refused.
            file->NewVersion(interval, false);
        }
        file->Truncate(size);
    } catch (...) {
        eng->ReleaseFile(file);
        throw;
    }
    eng->ReleaseFile(file);
}

void StoreView::Fdatasync(const ItemName& item) {
    NodeRow node = ResolveItem(item);
    if (!writable_) return;
    std::shared_ptr<StoreEngine> eng = EngineRef();
    std::shared_ptr<OpenFile> open = node.type == kTypeFile ? eng->FindOpen(node.guid) : nullptr;
    if (open) open->Flush(true);
    else eng->SyncMetadata();
}

// ---------------------------------------------------------------- directories

DirHandle* StoreView::Opendir(const ItemName& item) {
    NodeRow node = ResolveItem(item);
    if (node.type != kTypeDir) Fail(ENOTDIR, "not a directory");
    DirHandle* dir = new DirHandle;
    dir->storeIndex = index_;
    dir->guid = node.guid;
    std::lock_guard<std::mutex> guard(dirMutex_);
    dirs_.insert(dir);
    return dir;
}

void StoreView::CheckDir(DirHandle* dir) {
    std::lock_guard<std::mutex> guard(dirMutex_);
    if (!dir || !dirs_.count(dir)) Fail(EBADF, "directory stream is not open in this store");
}

const NodeRow* StoreView::NextEntry(DirHandle* dir) {
    int64_t fromNo = static_cast<int64_t>(dir->position - 2);
    ListedRows& batch = dir->batch;
    while (batch.next < batch.end && (*batch.page)[batch.next].no < fromNo) ++batch.next;
    if (batch.next >= batch.end) {
        int64_t asOf = scratchDir_.empty() ? asOf_ : kLiveAsOf;
        EngineRef()->List(dir->guid, fromNo, kDirBatch, asOf, batch);
        if (batch.next >= batch.end) return nullptr;
    }
    return &(*batch.page)[batch.next++];
}

void StoreView::Readdir(DirHandle* dir, struct dirent** entry, std::string& childGuid, struct stat* st,
                        uint64_t* cookie) {
    CheckDir(dir);
    if (!entry) Fail(EINVAL, "no entry pointer");
    std::lock_guard<std::mutex> guard(dir->mutex);
    std::shared_ptr<StoreEngine> eng = EngineRef();
    int64_t asOf = scratchDir_.empty() ? asOf_ : kLiveAsOf;
    // A listed row is read in place: the stream holds its page until the
    // next call, and the caller copies what it keeps.
    NodeRow dotRow;
    const NodeRow* row = &dotRow;
    const char* name = nullptr;
    if (dir->position < 2) {
        bool self = dir->position == 0;
        if (!eng->GetNode(dir->guid, asOf, dotRow)) Fail(ENOENT, "directory was removed");
        // ".." of the root, or of a directory whose parent is gone, is the directory itself.
        NodeRow up;
        if (!self && !dotRow.parent.empty() && eng->GetNode(dotRow.parent, asOf, up)) dotRow = std::move(up);
        name = self ? "." : "..";
        dir->position += 1;
    } else {
        row = NextEntry(dir);
        if (row == nullptr) {
            *entry = nullptr;
            childGuid.clear();
            return;
        }
        name = row->name.c_str();
        dir->position = static_cast<uint64_t>(row->no) + 3;
        if (asOf == kLiveAsOf) eng->NoteListed(*row, dir->batch.changes);
    }
    std::memset(&dir->entry, 0, sizeof(dir->entry));
    dir->entry.d_ino = static_cast<ino_t>(row->no);
    dir->entry.d_off = static_cast<off_t>(dir->position);
    dir->entry.d_reclen = sizeof(dir->entry);
    dir->entry.d_type = DirentType(row->type);
    // The record is zeroed already: copy the name alone, not a padding to
    // the field's full 256 bytes.
    std::memcpy(dir->entry.d_name, name, strnlen(name, sizeof(dir->entry.d_name) - 1));
    childGuid = row->guid;
    if (st) {
        eng->FillStat(*row, asOf, *st);
        if (config_.isPIT && row->guid == base_->RootGuid()) st->st_mode = S_IFDIR | (config_.defaultAttribs.mode & 07777);
    }
    if (cookie) *cookie = dir->position;
    *entry = &dir->entry;
}

void StoreView::Seekdir(DirHandle* dir, uint64_t position) {
    CheckDir(dir);
    std::lock_guard<std::mutex> guard(dir->mutex);
    dir->position = position;
    dir->batch = ListedRows();
}

uint64_t StoreView::Telldir(DirHandle* dir) {
    CheckDir(dir);
    std::lock_guard<std::mutex> guard(dir->mutex);
    return dir->position;
}

void StoreView::Closedir(DirHandle* dir) {
    {
        std::lock_guard<std::mutex> guard(dirMutex_);
        if (!dir || !dirs_.erase(dir)) Fail(EBADF, "directory stream is not open in this store");
    }
    delete dir;
}

// ---------------------------------------------------------------- namespace

void StoreView::Remove(const ItemName& item, bool dir) {
    RequireWritable();
    NodeRow node = ResolveItem(item);
    EngineRef()->Remove(node.guid, dir);
}

void StoreView::Chmod(const ItemName& item, mode_t mode) {
    RequireWritable();
    NodeRow node = ResolveItem(item);
    EngineRef()->Update(node.guid, [mode](NodeRow& r) { r.mode = mode & 07777; });
}

void StoreView::Chown(const ItemName& item, uid_t uid, gid_t gid) {
    RequireWritable();
    NodeRow node = ResolveItem(item);
    EngineRef()->Update(node.guid, [uid, gid](NodeRow& r) {
        // -1 leaves the id unchanged, as chown(2) does.
        if (uid != static_cast<uid_t>(-1)) r.uid = uid;
        if (gid != static_cast<gid_t>(-1)) r.gid = gid;
    });
}

void StoreView::Utimes(const ItemName& item, const struct timeval& atime, const struct timeval& mtime) {
    RequireWritable();
    CheckTimeval(atime);
    CheckTimeval(mtime);
    NodeRow node = ResolveItem(item);
    int64_t a = static_cast<int64_t>(atime.tv_sec) * 1000000000 + atime.tv_usec * 1000;
    int64_t m = static_cast<int64_t>(mtime.tv_sec) * 1000000000 + mtime.tv_usec * 1000;
    EngineRef()->Update(node.guid, [a, m](NodeRow& r) {
        r.atimeNs = a;
        r.mtimeNs = m;
    });
}

void StoreView::Statfs(struct statfs& out) {
    if (::statfs(base_->Folder().c_str(), &out) != 0) Fail(errno, "cannot read file system figures");
    uint64_t reserve = kFreeSpaceReserve / (out.f_bsize ? out.f_bsize : 4096);
    out.f_bavail = out.f_bavail > reserve ? out.f_bavail - reserve : 0;
    out.f_bfree = out.f_bfree > reserve ? out.f_bfree - reserve : 0;
    out.f_namelen = kMaxNameBytes;
}

void StoreView::Rename(const std::string& destination, const std::string& source, bool newVersion) {
    RequireWritable();
    std::vector<std::string> dst = SplitStorePath(destination, config_.maxPath);
    std::vector<std::string> src = SplitStorePath(source, config_.maxPath);
    std::shared_ptr<StoreEngine> eng = EngineRef();
    std::string moved = eng->Rename(src, dst, CaseSensitive());
    if (!newVersion || !config_.enabledVersions) return;
    NodeRow node;
    if (!eng->GetNode(moved, kLiveAsOf, node) || node.type != kTypeFile) return;
    uint32_t interval;
    {
        std::lock_guard<std::mutex> guard(settingsMutex_);
        interval = versionInterval_;
    }
    std::shared_ptr<OpenFile> file = eng->AcquireFile(node, kLiveAsOf);
    try {
        file->NewVersion(interval, false);
    } catch (...) {
        eng->ReleaseFile(file);
        throw;
    }
    eng->ReleaseFile(file);
}

void StoreView::Symlink(const std::string& target, const std::string& linkPath) {
    RequireWritable();
    if (target.empty()) Fail(ENOENT, "empty link target");
    if (target.size() > config_.maxPath) Fail(ENAMETOOLONG, "link target longer than maxPath");
    if (target.find('\0') != std::string::npos) Fail(EINVAL, "link target holds a zero byte");
    std::vector<std::string> parts = SplitStorePath(linkPath, config_.maxPath);
    if (parts.empty()) Fail(EEXIST, "the root exists");
    std::string name = parts.back();
    parts.pop_back();
    std::shared_ptr<StoreEngine> eng = EngineRef();
    NodeRow dir = eng->Resolve(parts, CaseSensitive(), kLiveAsOf);
    if (dir.type != kTypeDir) Fail(ENOTDIR, "parent is not a directory");
    uint32_t uid = config_.defaultAttribs.uid, gid = config_.defaultAttribs.gid;
    CreatorScope::Current(uid, gid);
    eng->Create(dir.guid, name, kTypeSymlink, 0777, uid, gid, target, CaseSensitive());
}

std::string StoreView::ReadLink(const ItemName& item) {
    NodeRow node = ResolveItem(item);
    if (node.type != kTypeSymlink) Fail(EINVAL, "not a symbolic link");
    return node.link;
}

// ---------------------------------------------------------------- locks

void StoreView::CheckRange(const LockInfo& lock, LockTable::Range& range, std::shared_ptr<Handle>& handle) {
    if (!lock.fileHandle) Fail(EINVAL, "lock names no open file");
    handle = FindHandle(*lock.fileHandle);
    if (lock.kind != LOCK_SHARED && lock.kind != LOCK_EXCLUSIVE) Fail(EINVAL, "unknown lock kind");
    if (lock.firstByte < 0) Fail(EINVAL, "negative first byte");
    if (lock.lastByte < -1 || (lock.lastByte >= 0 && lock.lastByte < lock.firstByte))
        Fail(EINVAL, "last byte before first byte");
    range.kind = lock.kind;
    range.first = lock.firstByte;
    range.last = lock.lastByte;
    range.owner = lock.owner;
    range.openId = lock.fileHandle->openId;
}

void StoreView::Lock(const LockInfo& wanted, LockInfo& holder) {
    LockTable::Range range, held;
    std::shared_ptr<Handle> h;
    CheckRange(wanted, range, h);
    if (EngineRef()->Locks().Lock(h->guid, range, held)) return;
    holder.fileHandle = nullptr;
    holder.kind = held.kind;
    holder.firstByte = held.first;
    holder.lastByte = held.last;
    holder.owner = held.owner;
    Fail(EAGAIN, "range is locked by another owner");
}

void StoreView::Unlock(const LockInfo& lock) {
    LockTable::Range range;
    std::shared_ptr<Handle> h;
    LockInfo any = lock;
    any.kind = LOCK_EXCLUSIVE;  // the kind does not matter for a release
    CheckRange(any, range, h);
    EngineRef()->Locks().Unlock(h->guid, range);
}

bool StoreView::TellLock(const LockInfo& lock) {
    LockTable::Range range;
    std::shared_ptr<Handle> h;
    CheckRange(lock, range, h);
    return EngineRef()->Locks().Conflicts(h->guid, range, nullptr);
}

// ---------------------------------------------------------------- xattrs

namespace {
void CheckXattrName(const std::string& name) {
    if (name.empty()) Fail(EINVAL, "empty attribute name");
    if (name.size() > kMaxNameBytes) Fail(ENAMETOOLONG, "attribute name longer than 255 bytes");
}
}  // namespace

std::string StoreView::GetXattr(const ItemName& item, const std::string& name) {
    CheckXattrName(name);
    NodeRow node = ResolveItem(item);
    std::string value;
    int64_t asOf = scratchDir_.empty() ? asOf_ : kLiveAsOf;
    if (!EngineRef()->GetXattr(node.guid, name, asOf, value)) Fail(ENOENT, "no such attribute");
    return value;
}

void StoreView::SetXattr(const ItemName& item, const std::string& name, const std::string& value) {
    RequireWritable();
    CheckXattrName(name);
    if (value.size() > kMaxXattrValueBytes) Fail(E2BIG, "attribute value larger than 64 KiB");
    NodeRow node = ResolveItem(item);
    EngineRef()->SetXattr(node.guid, name, value);
}

void StoreView::RemoveXattr(const ItemName& item, const std::string& name) {
    RequireWritable();
    CheckXattrName(name);
    NodeRow node = ResolveItem(item);
    EngineRef()->RemoveXattr(node.guid, name);
}

// ---------------------------------------------------------------- settings

void StoreView::Update(const ObjectStoreUpdates& u) {
    if (u.hasDiscardWrites && u.discardWrites && !config_.isPIT)
        Fail(EINVAL, "the live store cannot discard writes");
    {
        std::lock_guard<std::mutex> guard(settingsMutex_);
        if (u.hasCopyPrecedence) copyPrecedence_ = u.copyPrecedence;
        if (u.hasBackupFilter) backupFilter_ = u.backupFilter;
        if (u.hasVersionInterval) versionInterval_ = u.versionInterval;
        if (u.hasCaseSensitive) caseSensitive_ = u.caseSensitive;
        if (u.hasClientPair) {
            clientFirst_ = u.clientFirst;
            clientSecond_ = u.clientSecond;
        }
    }
    if (u.hasDiscardWrites && u.discardWrites && IsWritableView()) DiscardWrites();
}

NameValueList StoreView::Stats() {
    NameValueList out;
    out.emplace_back("Store path", config_.storePath);
    out.emplace_back("View", config_.isPIT ? (writable_ ? "writable point-in-time" : "point-in-time") : "live");
    for (auto& pair : EngineRef()->Stats()) out.push_back(pair);
    for (auto& pair : StorePruner::Stats(*base_)) out.push_back(pair);
    std::lock_guard<std::mutex> guard(settingsMutex_);
    out.emplace_back("Version interval (s)", std::to_string(versionInterval_));
    out.emplace_back("Copy precedence", std::to_string(copyPrecedence_));
    out.emplace_back("Backup filter", backupFilter_);
    out.emplace_back("Client", clientFirst_.empty() && clientSecond_.empty() ? "" : clientFirst_ + " / " + clientSecond_);
    return out;
}

void StoreView::CloseEverything() {
    for (HandleShard& shard : shards_) {
        std::unordered_map<uint64_t, std::shared_ptr<Handle>> handles;
        {
            std::lock_guard<std::mutex> guard(shard.mutex);
            handles.swap(shard.handles);
        }
        for (auto& entry : handles) {
            try {
                if ((entry.second->flags & O_ACCMODE) != O_RDONLY) entry.second->file->Flush(false);
            } catch (const StoreFailure&) {
                // Closing the view cannot report; data stays as last committed.
            }
            shard.handles[entry.first] = entry.second;  // so CloseHandle finds and erases it
            CloseHandle(entry.first, entry.second);
        }
    }
    std::set<DirHandle*> dirs;
    {
        std::lock_guard<std::mutex> guard(dirMutex_);
        dirs.swap(dirs_);
    }
    for (DirHandle* d : dirs) delete d;
}

void StoreView::DiscardWrites() {
    if (scratchDir_.empty()) return;
    CloseEverything();
    std::shared_ptr<StoreEngine> old;
    {
        std::lock_guard<std::mutex> guard(scratchMutex_);
        old.swap(scratch_);
    }
    old.reset();
    RemoveTree(scratchDir_);
    std::shared_ptr<StoreEngine> fresh(StoreEngine::CreateScratch(*base_, scratchDir_, asOf_));
    std::lock_guard<std::mutex> guard(scratchMutex_);
    scratch_ = fresh;
}

void StoreView::CheckIntegrity(std::vector<std::string>& problems) { EngineRef()->CheckIntegrity(problems); }

}  // namespace ObjectStore
