// BackupBkEndObj: byte-range advisory locks, in the terms of fcntl record
// locks, held by the object store against the descriptor's open file.
#include <cerrno>
#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "module/backend/BackupFSMBkEnd.h"
#include "module/filehandle/FdToObjectStoreFH.h"
#include "module/fsm/BackupFSMLog.h"
#include "platform/FXErrorUtil.h"

namespace {

// fcntl values as the host passes them.
const int kGetLock = 5;  // F_GETLK
const int kSetLock = 6;  // F_SETLK
const short kReadLock = 0;   // F_RDLCK
const short kWriteLock = 1;  // F_WRLCK
const short kUnlock = 2;     // F_UNLCK

// Inclusive byte range of a record, as the store counts it (last -1: to the
// end of the file). l_whence is not read: offsets are from the start.
// A length of 0 reaches to the end from any start; a negative length covers
// the bytes before l_start, as fcntl does. False for a range that starts
// before byte 0 or cannot be represented.
bool ToStoreRange(const struct flock& lock, int64_t& first, int64_t& last) {
    const int64_t start = lock.l_start;
    const int64_t length = lock.l_len;
    if (start < 0) return false;
    if (length == 0) {
        first = start;
        last = -1;
        return true;
    }
    if (length > 0) {
        first = start;
        return !__builtin_add_overflow(start, length - 1, &last);
    }
    first = start + length;  // cannot overflow: start >= 0, length < 0
    last = start - 1;
    return first >= 0;
}

}  // namespace

// The log lines are written here, not in helpers, so that each names this
// operation as its writer.
int BackupBkEndObj::filelock(QuayCtxt* /*ctxt*/, int cmd, struct flock* lock, int fd,
                             void* owner) {
    // The path only names the file in log lines; without it nothing else changes.
    std::string path;
    LookupPath(path);

    boost::shared_ptr<ObjectStore::FileHandle> file;
    if (!FdToObjectStoreFH::find(fd, file)) {
        BFSM_LOG(-1, "ERROR: failed to get FileHandle for fd [%d] in map", fd);
        errno = EINVAL;
        return -1;
    }
    if (lock == nullptr) {
        errno = EFAULT;
        return -1;
    }

    // The type is examined before the command: a bad type fails for every command.
    ObjectStore::LockInfo wanted;
    BFSM_LOG(4, "lock type [%d]", lock->l_type);
    if (lock->l_type == kReadLock) {
        wanted.kind = ObjectStore::LOCK_SHARED;
    } else if (lock->l_type == kWriteLock) {
        wanted.kind = ObjectStore::LOCK_EXCLUSIVE;
    } else if (lock->l_type != kUnlock) {
        BFSM_LOG(-1, "Unknown lock type [%d]", lock->l_type);
        errno = EINVAL;
        return -1;
    }
    if (!ToStoreRange(*lock, wanted.firstByte, wanted.lastByte)) {
        BFSM_LOG(-1, "ERROR: Invalid lock range start [%lld] length [%lld] on the file [%s]",
                 static_cast<long long>(lock->l_start), static_cast<long long>(lock->l_len),
                 path.c_str());
        errno = EINVAL;
        return -1;
    }
    wanted.owner = owner;
    wanted.fileHandle = file.get();

    if (cmd == kGetLock) {
        bool locked = false;
        CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
            return store.telllock(storeIndex, wanted, locked);
        });
        if (error.IsError()) {
            BFSM_LOG(-1, "ERROR: Error getting lock info on the file [%s]", path.c_str());
            errno = FXErrorUtil::GetErrNo(error);
            return -1;
        }
        if (locked) {
            BFSM_LOG(1, "INFO: file [%s] is already locked", path.c_str());
        } else {
            BFSM_LOG(3, "INFO: file [%s] can be locked", path.c_str());
            lock->l_type = kUnlock;
        }
        return 0;
    }
    if (cmd != kSetLock) return 0;  // F_SETLKW and the rest: accepted, nothing done

    if (lock->l_type == kUnlock) {
        CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
            return store.unlock(storeIndex, wanted);
        });
        if (error.IsError()) {
            BFSM_LOG(-1, "ERROR: Error in  unlocking the file [%s]", path.c_str());
            errno = FXErrorUtil::GetErrNo(error);
            return -1;
        }
        BFSM_LOG(3, "INFO: file [%s] is unlocked", path.c_str());
        return 0;
    }

    ObjectStore::LockInfo holder;
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.lock(storeIndex, wanted, holder);
    });
    if (!error.IsError()) {
        BFSM_LOG(3, "INFO: file [%s] is locked", path.c_str());
        return 0;
    }
    if (FXErrorUtil::IsErrNo(error, EAGAIN)) {
        // Another owner holds a conflicting range: refuse as F_SETLK does and
        // leave the caller's record as it was.
        BFSM_LOG(1, "INFO: file [%s] is already blocked", path.c_str());
        errno = EAGAIN;
        return -1;
    }
    BFSM_LOG(-1, "ERROR: Error in  locking the file [%s]", path.c_str());
    errno = FXErrorUtil::GetErrNo(error);
    return -1;
}
