#include "objectstore/OpenFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "objectstore/StoreEngine.h"
#include "objectstore/StoreFailure.h"
#include "objectstore/StoreFormat.h"

namespace ObjectStore {

OpenFile::OpenFile(StoreEngine& engine, const std::string& guid, int64_t asOf)
    : engine_(engine), guid_(guid), asOf_(asOf), extentSize_(engine.ExtentSize()) {}

void OpenFile::Load(const NodeRow& node, const std::vector<ExtentRow>& rows) {
    std::unique_lock<std::shared_mutex> guard(mutex_);
    version_ = node.version;
    size_ = node.size;
    mtimeNs_ = node.mtimeNs;
    slots_.clear();
    for (const ExtentRow& r : rows) {
        Slot& s = slots_[r.idx];
        s.extent = r.extent;
        s.len = r.len;
        s.sealed = r.sealed;
        s.rowId = r.id;
        s.rowFromUs = r.fromUs;
        s.rowLen = r.len;
        s.rowExtent = r.extent;
        if (s.Inline()) {
            // Exactly len bytes, whatever the row holds: reads and writes rely on it.
            s.data = r.data;
            s.data.resize(r.len, '\0');
        }
    }
    lastFlushUs_ = engine_.NowUs();
}

int64_t OpenFile::Version() {
    std::shared_lock<std::shared_mutex> guard(mutex_);
    return version_;
}

bool OpenFile::PendingAttributes(uint64_t& size, int64_t& mtimeNs) {
    std::shared_lock<std::shared_mutex> guard(mutex_);
    if (!attrDirty_) return false;
    size = size_;
    mtimeNs = mtimeNs_;
    return true;
}

size_t OpenFile::Read(void* buf, uint64_t off, size_t n) {
    std::shared_lock<std::shared_mutex> guard(mutex_);
    if (off >= size_) return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, size_ - off));
    char* out = static_cast<char*>(buf);
    size_t done = 0;
    while (done < n) {
        uint64_t pos = off + done;
        int64_t idx = static_cast<int64_t>(pos / extentSize_);
        uint64_t inOff = pos % extentSize_;
        size_t piece = static_cast<size_t>(std::min<uint64_t>(n - done, extentSize_ - inOff));
        size_t got = 0;
        auto it = slots_.find(idx);
        if (it != slots_.end() && inOff < it->second.len) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(piece, it->second.len - inOff));
            got = ReadSlot(it->second, out + done, want, inOff);
        }
        // Holes, and bytes past an extent's data, read as zeros.
        if (got < piece) std::memset(out + done + got, 0, piece - got);
        done += piece;
    }
    return n;
}

size_t OpenFile::ReadSlot(const Slot& s, char* out, size_t n, uint64_t inOff) {
    if (!s.Inline()) return engine_.Extents().Read(s.extent, out, n, inOff);
    std::memcpy(out, s.data.data() + inOff, n);
    return n;
}

bool OpenFile::FitsInline(uint64_t off, size_t n) const {
    if (n == 0) return true;  // nothing to place
    if (off + n > std::min(kInlineMax, extentSize_)) return false;
    return slots_.empty() || (slots_.size() == 1 && slots_.begin()->first == 0 && slots_.begin()->second.Inline());
}

void OpenFile::WriteInline(const char* in, uint64_t off, size_t n) {
    if (n == 0) return;
    Slot& s = slots_[0];
    // A gap before off reads as zeros, as a hole in an extent file does.
    if (s.data.size() < off + n) s.data.resize(off + n, '\0');
    std::memcpy(&s.data[off], in, n);
    s.len = s.data.size();
    s.metaDirty = true;
}

void OpenFile::PromoteInline() {
    auto it = slots_.find(0);
    if (it == slots_.end() || !it->second.Inline()) return;
    Slot& s = it->second;
    uint64_t fresh = engine_.AllocateExtent();
    engine_.Extents().Write(fresh, s.data.data(), s.data.size(), 0);
    // From here on the slot is an ordinary, unshared extent; the committed
    // inline row keeps its own copy of the bytes for whoever may see it.
    s.extent = fresh;
    s.sealed = 0;
    std::string().swap(s.data);
    s.dataDirty = true;
    s.metaDirty = true;
}

uint64_t OpenFile::WritableExtent(int64_t idx, uint64_t inOff, int64_t nowUs) {
    auto it = slots_.find(idx);
    if (it == slots_.end()) {
        // Allocated before the slot exists: a failure leaves no slot without an extent.
        uint64_t fresh = engine_.AllocateExtent();
        Slot& s = slots_[idx];
        s.extent = fresh;
        s.metaDirty = true;
        return s.extent;
    }
    Slot& s = it->second;
    uint64_t sealed = s.sealed;
    if (s.rowId != 0 && s.rowExtent == s.extent && engine_.Frozen(s.rowFromUs, nowUs))
        sealed = std::max(sealed, s.rowLen);
    if (inOff < sealed) {
        // Bytes an older state can see: copy the extent and write the copy.
        uint64_t fresh = engine_.AllocateExtent();
        engine_.Extents().Copy(s.extent, fresh, s.len);
        s.extent = fresh;
        s.sealed = 0;
        s.dataDirty = true;
        s.metaDirty = true;
        return fresh;
    }
    if (inOff > s.len) {
        // Stale bytes past the data (left by a truncation) must read as zeros.
        uint64_t phys = engine_.Extents().FileSize(s.extent);
        if (phys > s.len) engine_.Extents().Zero(s.extent, std::min(inOff, phys) - s.len, s.len);
    }
    return s.extent;
}

void OpenFile::Write(const void* buf, uint64_t off, size_t n, bool sync) {
    if (asOf_ != kLiveAsOf) Fail(EROFS, "file of a point-in-time view");
    std::unique_lock<std::shared_mutex> guard(mutex_);
    int64_t now = engine_.NowUs();
    const char* in = static_cast<const char*>(buf);
    if (FitsInline(off, n)) WriteInline(in, off, n);
    else WriteExtents(in, off, n, now);
    size_ = std::max<uint64_t>(size_, off + n);
    mtimeNs_ = now * 1000;
    attrDirty_ = true;
    ++writesSinceFlush_;
    bool due = writesSinceFlush_ >= engine_.FlushAfterCount() ||
               now - lastFlushUs_ >= static_cast<int64_t>(engine_.FlushAfterSeconds()) * 1000000;
    if (sync || due) FlushLocked(sync);
}

void OpenFile::WriteExtents(const char* in, uint64_t off, size_t n, int64_t nowUs) {
    PromoteInline();
    size_t done = 0;
    while (done < n) {
        uint64_t pos = off + done;
        int64_t idx = static_cast<int64_t>(pos / extentSize_);
        uint64_t inOff = pos % extentSize_;
        size_t piece = static_cast<size_t>(std::min<uint64_t>(n - done, extentSize_ - inOff));
        uint64_t extent = WritableExtent(idx, inOff, nowUs);
        // A stream that fills an extent is done with it for now: its pages
        // go to disk while the stream goes on, not all at its COMMIT.
        engine_.Extents().Write(extent, in + done, piece, inOff, inOff + piece == extentSize_);
        Slot& s = slots_[idx];
        s.len = std::max<uint64_t>(s.len, inOff + piece);
        s.dataDirty = true;
        s.metaDirty = true;
        done += piece;
    }
}

void OpenFile::Truncate(uint64_t size) {
    if (asOf_ != kLiveAsOf) Fail(EROFS, "file of a point-in-time view");
    std::unique_lock<std::shared_mutex> guard(mutex_);
    if (size < size_) {
        for (auto it = slots_.begin(); it != slots_.end();) {
            uint64_t start = static_cast<uint64_t>(it->first) * extentSize_;
            if (start >= size) {
                if (it->second.rowId) rowsToClose_.push_back(it->second.rowId);
                it = slots_.erase(it);
                continue;
            }
            if (start + it->second.len > size) {
                it->second.len = size - start;
                if (it->second.Inline()) it->second.data.resize(it->second.len);
                it->second.metaDirty = true;
            }
            ++it;
        }
    }
    size_ = size;
    mtimeNs_ = engine_.NowUs() * 1000;
    attrDirty_ = true;
    FlushLocked(false);
}

void OpenFile::Flush(bool sync) {
    if (asOf_ != kLiveAsOf) return;
    std::unique_lock<std::shared_mutex> guard(mutex_);
    FlushLocked(sync);
}

void OpenFile::FlushLocked(bool sync) {
    bool dirty = attrDirty_ || !rowsToClose_.empty();
    std::vector<uint64_t> written;
    for (auto& entry : slots_) {
        if (entry.second.dataDirty) written.push_back(entry.second.extent);
        dirty = dirty || entry.second.metaDirty;
    }
    // Data first, then the metadata that points at it. Inline data travels in
    // the commit itself, so a file without written extents syncs nothing here.
    if (!written.empty()) {
        engine_.Extents().SyncData(written);
        engine_.Extents().SyncNewEntries();
    }
    for (auto& entry : slots_) entry.second.dataDirty = false;
    int64_t now = engine_.NowUs();
    if (dirty && !deleted_.load()) CommitLocked(sync, now);
    else if (sync) SyncLogged();
    writesSinceFlush_ = 0;
    lastFlushUs_ = now;
}

void OpenFile::CommitLocked(bool sync, int64_t now) {
    struct Done {
        int64_t idx;
        int64_t rowId;
        int64_t fromUs;
        uint64_t sealed;
    };
    std::vector<Done> done;
    NodeRow node;
    uint64_t ticket = 0;
    {
        // Shared with other clients' changes. This file's mutex, held until
        // the batch ends, is never taken by a holder of the writer.
        MetaDb::WriteTxn txn(engine_.Db(), sync, MetaDb::WriteTxn::kShared);
        SqlConnection& c = txn.conn();
        if (!MetaDb::GetNode(c, guid_, kLiveAsOf, node)) {
            deleted_.store(true);  // removed meanwhile: nothing to record
            return;
        }
        if (attrDirty_) {
            node.size = size_;
            node.mtimeNs = mtimeNs_;
            node.ctimeNs = mtimeNs_;
            node.version = version_;
            engine_.StoreNode(c, node, now);
        }
        for (int64_t id : rowsToClose_) MetaDb::CloseRow(c, "extmap", id, now);
        for (auto& entry : slots_) {
            Slot& s = entry.second;
            if (!s.metaDirty) continue;
            ExtentRow row = RowOf(entry.first, s, now);
            if (s.rowId != 0 && !engine_.Frozen(s.rowFromUs, now)) {
                row.id = s.rowId;
                MetaDb::UpdateExtentInPlace(c, row);
                done.push_back({entry.first, s.rowId, s.rowFromUs, s.sealed});
                continue;
            }
            if (s.rowId != 0) {
                MetaDb::CloseRow(c, "extmap", s.rowId, now);
                if (s.rowExtent == s.extent) row.sealed = std::max(s.sealed, s.rowLen);
            }
            int64_t id = MetaDb::InsertExtent(c, guid_, version_, row);
            done.push_back({entry.first, id, now, row.sealed});
        }
        // Under the writer lock still: see StoreEngine::CacheTouched.
        ticket = txn.Commit([this, &node](uint64_t logged) {
            NoteLogged(logged);
            engine_.CacheTouched(node);
        });
    }
    for (const Done& d : done) {
        Slot& s = slots_[d.idx];
        s.rowId = d.rowId;
        s.rowFromUs = d.fromUs;
        s.rowLen = s.len;
        s.rowExtent = s.extent;
        s.sealed = d.sealed;
        s.metaDirty = false;
    }
    rowsToClose_.clear();
    attrDirty_ = false;
    // After the writer lock is gone, so that other commits go on meanwhile
    // and join the sync; the slots already say what is committed, so should
    // the sync fail, a retry syncs again without inserting rows twice.
    engine_.Db().WaitDurable(ticket);
}

void OpenFile::SyncLogged() {
    // Only the commits up to the last one that changed this file need to be
    // durable. Other files' commits since then do not: with many clients
    // each writing its own files the log is seldom clean, and a client's
    // second COMMIT (with its CLOSE) would otherwise cost a sync of its own.
    // While no such commit is known (or the file is gone) every commit so
    // far is made durable, as for a folder.
    const uint64_t logged = logged_.load();
    if (logged == 0 || deleted_.load()) engine_.SyncMetadata();
    else engine_.Db().WaitDurable(logged);
}

void OpenFile::NoteLogged(uint64_t ticket) {
    uint64_t known = logged_.load();
    while (known < ticket && !logged_.compare_exchange_weak(known, ticket)) {
    }
}

ExtentRow OpenFile::RowOf(int64_t idx, const Slot& s, int64_t nowUs) {
    ExtentRow row;
    row.idx = idx;
    row.extent = s.extent;
    row.len = s.len;
    row.sealed = s.sealed;
    row.fromUs = nowUs;
    if (s.Inline()) row.data = s.data;
    return row;
}

bool OpenFile::NewVersion(uint32_t intervalSec, bool refuseYoung) {
    if (asOf_ != kLiveAsOf) Fail(EROFS, "file of a point-in-time view");
    std::unique_lock<std::shared_mutex> guard(mutex_);
    int64_t now = engine_.NowUs();
    int64_t created = 0;
    {
        MetaDb::ReadLease lease(engine_.Db());
        if (!MetaDb::VersionCreated(lease.conn(), guid_, version_, created)) created = 0;
    }
    if (intervalSec > 0 && now - created < static_cast<int64_t>(intervalSec) * 1000000) {
        if (refuseYoung) Fail(EAGAIN, "current version is younger than the version interval");
        return false;
    }
    FlushLocked(false);
    std::vector<std::pair<int64_t, int64_t>> rowIds;
    int64_t next = version_ + 1;
    NodeRow node;
    {
        MetaDb::WriteTxn txn(engine_.Db());
        SqlConnection& c = txn.conn();
        if (!MetaDb::GetNode(c, guid_, kLiveAsOf, node)) Fail(ENOENT, "file was removed");
        MetaDb::InsertVersion(c, guid_, next, now);
        for (auto& entry : slots_) {
            ExtentRow row = RowOf(entry.first, entry.second, now);
            // The old version keeps these bytes; the new one copies before changing them.
            row.sealed = std::max(entry.second.sealed, entry.second.len);
            rowIds.emplace_back(entry.first, MetaDb::InsertExtent(c, guid_, next, row));
        }
        node.version = next;
        node.ctimeNs = now * 1000;
        engine_.StoreNode(c, node, now);
        txn.Commit();
        NoteLogged(txn.Logged());
    }
    engine_.InvalidateNode(node);
    version_ = next;
    for (auto& ids : rowIds) {
        Slot& s = slots_[ids.first];
        s.sealed = std::max(s.sealed, s.len);
        s.rowId = ids.second;
        s.rowFromUs = now;
        s.rowLen = s.len;
        s.rowExtent = s.extent;
        s.metaDirty = false;
    }
    return true;
}

}  // namespace ObjectStore
