// Records exchanged with the object-store library.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ObjectStore {

// Length of an object GUID text (without the terminating zero).
constexpr size_t kGuidLength = 32;

// One object of a store: by GUID (with the share-root flag), or by path
// (getattr fills the GUID), or empty (create/mkdir fill the GUID).
class ItemName {
public:
    ItemName() = default;
    ItemName(const std::string& guid, bool isRoot) : objGuid_(guid), isRoot_(isRoot) {}
    ItemName(const char* guid, bool isRoot) : objGuid_(guid ? guid : ""), isRoot_(isRoot) {}
    explicit ItemName(const std::string& path) : path_(path), byPath_(true) {}

    const std::string& getObjGuid() const { return objGuid_; }
    void setObjGuid(const std::string& guid) { objGuid_ = guid; }
    const std::string& getPath() const { return path_; }
    bool isRoot() const { return isRoot_; }
    bool isByPath() const { return byPath_; }

private:
    std::string objGuid_;  // first member: the GUID text
    std::string path_;
    bool isRoot_ = false;
    bool byPath_ = false;
};

// An open file. The library keeps the open state; openId names it (0 = not open).
struct FileHandle {
    ItemName item;
    uint64_t openId = 0;
};

// A directory stream, opaque to callers (the host sees it as DIR*).
struct DirHandle;

// A byte-range lock request or holder. lastByte -1 means "to the end of file".
struct LockInfo {
    FileHandle* fileHandle = nullptr;
    int kind = 2;  // 1 shared, 2 exclusive
    int64_t firstByte = 0;
    int64_t lastByte = -1;
    void* owner = nullptr;
};

enum LockKind { LOCK_SHARED = 1, LOCK_EXCLUSIVE = 2 };

// Sync argument of write: 1 makes the data durable before the call returns.
typedef int Sync;

// Settings changed on an open store; each is applied only when its flag is set.
struct ObjectStoreUpdates {
    bool hasCopyPrecedence = false;
    uint32_t copyPrecedence = 0;
    bool hasBackupFilter = false;
    std::string backupFilter;
    bool hasVersionInterval = false;
    uint32_t versionInterval = 0;  // seconds
    bool hasCaseSensitive = false;
    bool caseSensitive = true;
    bool hasDiscardWrites = false;
    bool discardWrites = false;
    bool hasClientPair = false;
    std::string clientFirst;
    std::string clientSecond;

    void Clear() { *this = ObjectStoreUpdates(); }
};

typedef std::vector<std::pair<std::string, std::string>> NameValueList;

}  // namespace ObjectStore
