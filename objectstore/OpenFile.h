// OpenFile: the data state of one file while it is open: size, times and the
// extent map of its current version, with the writes not yet committed to
// the metadata. A small file keeps its bytes inline (in its extent-map row,
// see FORMAT.md) until a write makes it too large for that. A live file has one OpenFile per engine, shared by all its
// open handles; a point-in-time view gets a private, read-only one.
//
// Thread safety: reads take the mutex shared, writes, truncation, versions
// and flushes take it exclusively; different files never contend. Lock order:
// an OpenFile's mutex before the metadata writer (never the other way).
// Failures throw StoreFailure.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <shared_mutex>
#include <string>
#include <vector>

#include "objectstore/MetaDb.h"
#include "objectstore/StoreFormat.h"

namespace ObjectStore {

class StoreEngine;

class OpenFile {
public:
    // asOf: kLiveAsOf for the live, writable state; a view time otherwise.
    OpenFile(StoreEngine& engine, const std::string& guid, int64_t asOf);
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    // Takes size and version from the node row and the extent map from its
    // extent rows (read before: no query runs under the file's mutex).
    void Load(const NodeRow& node, const std::vector<ExtentRow>& rows);

    const std::string& Guid() const { return guid_; }
    // Reads up to n bytes at off; returns the bytes read (short at end of file).
    size_t Read(void* buf, uint64_t off, size_t n);
    // Writes all n bytes at off; sync makes them durable before returning.
    void Write(const void* buf, uint64_t off, size_t n, bool sync);
    void Truncate(uint64_t size);
    // Commits pending changes (data made durable first); sync makes the
    // commit durable too.
    void Flush(bool sync);
    // Starts version+1 sharing the current content. With refuseYoung, EAGAIN
    // when the current version is younger than intervalSec; without it a
    // young version is simply kept. Returns true when a version was started.
    bool NewVersion(uint32_t intervalSec, bool refuseYoung);
    // Size and modification time as the open file sees them; false when
    // nothing differs from the committed row.
    bool PendingAttributes(uint64_t& size, int64_t& mtimeNs);
    // The object was removed: later changes are not committed.
    void MarkDeleted() { deleted_.store(true); }
    // A commit (its ticket) changed this file. Any thread, any lock held.
    void NoteLogged(uint64_t ticket);
    int64_t Version();

private:
    struct Slot {
        uint64_t extent = kInlineExtent;
        uint64_t len = 0;     // bytes of data in the extent
        uint64_t sealed = 0;  // bytes never to be overwritten in place
        int64_t rowId = 0;    // committed extmap row; 0 when none yet
        int64_t rowFromUs = 0;
        uint64_t rowLen = 0;
        uint64_t rowExtent = 0;
        bool dataDirty = false;  // needs fdatasync before the next commit
        bool metaDirty = false;  // differs from its committed row
        std::string data;  // an inline slot's bytes, exactly len of them
        bool Inline() const { return extent == kInlineExtent; }
    };
    size_t ReadSlot(const Slot& s, char* out, size_t n, uint64_t inOff);
    // True when the file's data stays inline after writing n bytes at off.
    bool FitsInline(uint64_t off, size_t n) const;
    void WriteInline(const char* in, uint64_t off, size_t n);
    void WriteExtents(const char* in, uint64_t off, size_t n, int64_t nowUs);
    // Moves inline data into an extent file of its own.
    void PromoteInline();
    uint64_t WritableExtent(int64_t idx, uint64_t inOff, int64_t nowUs);
    static ExtentRow RowOf(int64_t idx, const Slot& s, int64_t nowUs);
    void FlushLocked(bool sync);
    void CommitLocked(bool sync, int64_t nowUs);
    // A durable point with nothing of this file's own to commit.
    void SyncLogged();

    StoreEngine& engine_;
    const std::string guid_;
    const int64_t asOf_;
    const uint64_t extentSize_;
    std::atomic<bool> deleted_{false};
    // The ticket of the last commit known to have changed this file; 0 while
    // none is known. Its own creation comes before any such commit.
    std::atomic<uint64_t> logged_{0};
    std::shared_mutex mutex_;
    // Everything below is guarded by mutex_.
    int64_t version_ = 1;
    uint64_t size_ = 0;
    int64_t mtimeNs_ = 0;
    bool attrDirty_ = false;
    std::map<int64_t, Slot> slots_;  // by extent index
    std::vector<int64_t> rowsToClose_;
    uint32_t writesSinceFlush_ = 0;
    int64_t lastFlushUs_ = 0;
};

}  // namespace ObjectStore
