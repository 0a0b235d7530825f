// LockTable: in-memory byte-range locks of one store engine, keyed by object
// GUID. Owners are opaque pointers; each lock also records the open-file id
// it was taken through, so closing that file drops its locks.
// Ranges are inclusive [first, last] with last -1 meaning "to the end".
// Thread-safe (one mutex; lock calls are short and off the data path).
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ObjectStore {

class LockTable {
public:
    struct Range {
        int kind = 2;  // 1 shared, 2 exclusive
        int64_t first = 0;
        int64_t last = -1;
        void* owner = nullptr;
        uint64_t openId = 0;
    };

    // Takes the lock, replacing the owner's own locks in the range. False (and
    // holder filled) when another owner holds a conflicting lock.
    bool Lock(const std::string& guid, const Range& wanted, Range& holder);
    // Drops the owner's locks inside the range (splitting those that overlap).
    void Unlock(const std::string& guid, const Range& range);
    // True when another owner holds a lock that conflicts with `wanted`.
    bool Conflicts(const std::string& guid, const Range& wanted, Range* holder);
    // Drops every lock taken through the open file.
    void DropOpen(uint64_t openId);
    size_t Count(const std::string& guid);

private:
    static int64_t End(const Range& r) { return r.last < 0 ? INT64_MAX : r.last; }
    static bool Overlap(const Range& a, const Range& b) {
        return a.first <= End(b) && b.first <= End(a);
    }
    bool ConflictsLocked(const std::string& guid, const Range& wanted, Range* holder);
    void RemoveOwnerRange(std::vector<Range>& locks, const Range& range);

    std::mutex mutex_;
    std::map<std::string, std::vector<Range>> locks_;  // guarded by mutex_
};

}  // namespace ObjectStore
