// BackupBkEndObj: NFSv4 ACLs. Only the user-defined entries are kept, as the
// object's extended attribute "ACL" (20-byte entries back to back, no header);
// the three entries that follow from the mode are rebuilt on every read, so a
// chmod never leaves a stale ACL behind. The allow-lists are not consulted.
//
// Log lines are written by the operations themselves, not by helpers, so that
// each line names its operation.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/Quay2NFSV4ACLConverter.h"
#include "module/backend/BackupFSMBkEnd.h"
#include "module/fsm/BackupFSMLog.h"
#include "platform/FXErrorUtil.h"

namespace {

const char kAclAttribute[] = "ACL";
const uint32_t kModeEntries = 3;

// Number of whole entries in the stored attribute; a trailing part is ignored.
uint32_t StoredCount(const std::string& stored) {
    const size_t count = stored.size() / sizeof(QUAYACE);
    return count > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(count);
}

// Which step of Assemble failed.
enum class AssembleFailure { kNone, kMemory, kPopulate, kSort };

// Builds the ACL handed to the host into acl (which must be empty): the mode
// entries, then the stored entries, in canonical order. On failure acl stays
// empty and error says why (for the populate and sort steps).
AssembleFailure Assemble(const std::string& stored, unsigned int mode, QUAYACL& acl,
                         CPelError& error) {
    const uint32_t storedCount = StoredCount(stored);
    if (storedCount > UINT32_MAX - kModeEntries) return AssembleFailure::kMemory;
    const uint32_t count = storedCount + kModeEntries;
    QUAYACE* entries = static_cast<QUAYACE*>(calloc(count, sizeof(QUAYACE)));
    if (entries == nullptr) return AssembleFailure::kMemory;
    QUAYACL built;
    built.count = count;
    built.entries = entries;
    Quay2NFSV4ACLConverter converter(&built, ACL_TYPE_QUAY);
    error = converter.PopulateModeACL(built, mode);
    if (error.IsError()) {
        free(entries);
        return AssembleFailure::kPopulate;
    }
    if (storedCount > 0) {
        memcpy(entries + kModeEntries, stored.data(), storedCount * sizeof(QUAYACE));
        error = converter.SortQuayACE(built, mode);
        if (error.IsError()) {
            free(entries);
            return AssembleFailure::kSort;
        }
    }
    acl = built;
    return AssembleFailure::kNone;
}

// getACL_ex answers with error numbers and must leave errno as it found it,
// whatever the store, the allocator or the log writer do to it.
class ErrnoKeeper {
public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

private:
    int saved_;
};

}  // namespace

int BackupBkEndObj::getACL(QuayCtxt* /*ctxt*/, const char* /*path*/, void* acl) {
    const std::string clientPath = GetClientPath();
    const bool isRoot = clientPath == "/";
    if (acl == nullptr) {
        errno = EFAULT;
        return -1;
    }
    ObjectStore::ItemName item = Item(isRoot);
    BFSM_LOG(5, "DEBUG: ACL item [%s] share root [%d]", handle.guid, isRoot ? 1 : 0);
    BFSM_LOG(3, "INFO: Getting ACL for path [%s],", clientPath.c_str());

    std::string stored;
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.getxattr(storeIndex, item, kAclAttribute, stored);
    });
    if (error.IsError()) {
        if (!FXErrorUtil::IsErrNo(error, ENOENT)) {
            BFSM_LOG(-1, "ERROR: Failed to get ACL for path [%s], error [%s]", clientPath.c_str(),
                     error.AsString().c_str());
            errno = FXErrorUtil::GetErrNo(error);
            return -1;
        }
        BFSM_LOG(3, "INFO: No user defined ACL");
        stored.clear();
    }

    struct stat st;
    error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.getattr(storeIndex, item, st);
    });
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to get stat info for file [%s]. Error [%s]",
                 clientPath.c_str(), error.AsString().c_str());
        errno = FXErrorUtil::GetErrNo(error);
        return -1;
    }

    QUAYACL assembled;
    switch (Assemble(stored, st.st_mode, assembled, error)) {
        case AssembleFailure::kNone:
            break;
        case AssembleFailure::kMemory:
            errno = ENOMEM;
            return -1;
        case AssembleFailure::kPopulate:
            BFSM_LOG(-1, "ERROR: Failed to populate mode acl for file [%s]. Error [%s]",
                     clientPath.c_str(), error.AsString().c_str());
            errno = EIO;
            return -1;
        case AssembleFailure::kSort:
            BFSM_LOG(-1, "ERROR: Failed to sort ACE for file [%s]. Error [%s]", clientPath.c_str(),
                     error.AsString().c_str());
            errno = EIO;
            return -1;
    }

    error = Quay2NFSV4ACLConverter(&assembled, ACL_TYPE_QUAY).GetfsalACL(acl);
    free(assembled.entries);
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to get fsal ACL for file [%s]. Error [%s]", clientPath.c_str(),
                 error.AsString().c_str());
        errno = EIO;
        return -1;
    }
    BFSM_LOG(3, "INFO: Get ACL on path [%s] succeeded.", clientPath.c_str());
    return 0;
}

int BackupBkEndObj::getACLCount(QuayCtxt* /*ctxt*/, const char* /*path*/, unsigned int* count) {
    const std::string clientPath = GetClientPath();
    const bool isRoot = clientPath == "/";
    if (count == nullptr) {
        errno = EFAULT;
        return -1;
    }
    ObjectStore::ItemName item = Item(isRoot);
    BFSM_LOG(5, "DEBUG: ACL item [%s] share root [%d]", handle.guid, isRoot ? 1 : 0);
    BFSM_LOG(3, "INFO: Getting ACL for path [%s],", clientPath.c_str());

    std::string stored;
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.getxattr(storeIndex, item, kAclAttribute, stored);
    });
    if (error.IsError()) {
        if (!FXErrorUtil::IsErrNo(error, ENOENT)) {
            BFSM_LOG(-1, "ERROR: Failed to get ACL for path [%s], error [%s]", clientPath.c_str(),
                     error.AsString().c_str());
            errno = FXErrorUtil::GetErrNo(error);
            return -1;
        }
        BFSM_LOG(2, "INFO: No user defined ACL.");
        stored.clear();
    }
    *count = StoredCount(stored) + kModeEntries;
    BFSM_LOG(3, "INFO: Get ACL count [%u] on path [%s] succeeded.", *count, clientPath.c_str());
    return 0;
}

// Answers 0 or an error number; errno is left as it was. On failure the
// record is left empty (count 0, no entries); on success its entries belong
// to the caller, who frees them. Entries the record held before are not
// freed: the record is an output only.
int BackupBkEndObj::getACL_ex(QuayCtxt* /*ctxt*/, mode_t mode, QUAYACL_t* acl) {
    ErrnoKeeper keepErrno;
    if (acl == nullptr) return EFAULT;
    acl->count = 0;
    acl->entries = nullptr;
    ObjectStore::ItemName item = Item(false);
    BFSM_LOG(5, "DEBUG: ACL item [%s] share root [%d]", handle.guid, 0);
    BFSM_LOG(3, "INFO: Getting ACL for [%s],", handle.guid);

    std::string stored;
    CPelError error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.getxattr(storeIndex, item, kAclAttribute, stored);
    });
    if (error.IsError()) {
        if (!FXErrorUtil::IsErrNo(error, ENOENT)) {
            BFSM_LOG(-1, "ERROR: Failed to get ACL for [%s], error [%s]", handle.guid,
                     error.AsString().c_str());
            return FXErrorUtil::GetErrNo(error);
        }
        BFSM_LOG(3, "INFO: No user defined ACL");
        stored.clear();
    }

    switch (Assemble(stored, mode, *acl, error)) {
        case AssembleFailure::kNone:
            break;
        case AssembleFailure::kMemory:
            return ENOMEM;
        case AssembleFailure::kPopulate:
            BFSM_LOG(-1, "ERROR: Failed to populate mode acl for [%s]. Error [%s]", handle.guid,
                     error.AsString().c_str());
            return EIO;
        case AssembleFailure::kSort:
            BFSM_LOG(-1, "ERROR: Failed to sort ACE for [%s]. Error [%s]", handle.guid,
                     error.AsString().c_str());
            return EIO;
    }
    BFSM_LOG(3, "INFO: Get ACL on [%s] succeeded.", handle.guid);
    return 0;
}

int BackupBkEndObj::setACL(QuayCtxt* /*ctxt*/, const char* /*path*/, const void* acl) {
    const std::string clientPath = GetClientPath();
    const bool isRoot = clientPath == "/";
    if (acl == nullptr) {
        errno = EFAULT;
        return -1;
    }
    ObjectStore::ItemName item = Item(isRoot);
    BFSM_LOG(5, "DEBUG: ACL item [%s] share root [%d]", handle.guid, isRoot ? 1 : 0);

    QUAYACL userDefined;
    Quay2NFSV4ACLConverter converter(acl, ACL_TYPE_NFSV4);
    CPelError error = converter.GetQuayACL(userDefined);
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to get quay ACL for file [%s]. Error [%s]", clientPath.c_str(),
                 error.AsString().c_str());
        errno = EIO;
        return -1;
    }
    error = converter.RemoveSpecialACE(userDefined);
    if (error.IsError()) {
        BFSM_LOG(-1, "ERROR: Failed to remove special ACE for file [%s]. Error [%s]",
                 clientPath.c_str(), error.AsString().c_str());
        free(userDefined.entries);
        errno = EIO;
        return -1;
    }
    std::string value;
    if (userDefined.count > 0) {
        value.assign(reinterpret_cast<const char*>(userDefined.entries),
                     userDefined.count * sizeof(QUAYACE));
    }
    free(userDefined.entries);

    if (!value.empty()) {
        BFSM_LOG(3, "INFO: Setting ACL for path [%s],", clientPath.c_str());
        error = CallStore([&](ObjectStore::ObjectContainer& store) {
            return store.setxattr(storeIndex, item, kAclAttribute, value);
        });
        if (error.IsError()) {
            BFSM_LOG(-1, "ERROR: Failed to set ACL for path [%s],", clientPath.c_str());
            errno = FXErrorUtil::GetErrNo(error);
            return -1;
        }
        BFSM_LOG(3, "INFO: Set ACL on path [%s] succeeded.", clientPath.c_str());
        return 0;
    }

    // Only mode entries: they are never stored, so nothing user-defined is left.
    error = CallStore([&](ObjectStore::ObjectContainer& store) {
        return store.removexattr(storeIndex, item, kAclAttribute);
    });
    if (error.IsError()) {
        if (!FXErrorUtil::IsErrNo(error, ENOENT)) {
            BFSM_LOG(-1, "ERROR: Failed to remove ACL for path [%s],", clientPath.c_str());
            errno = FXErrorUtil::GetErrNo(error);
            return -1;
        }
        BFSM_LOG(3, "INFO: NO ACE to remove.");
    }
    BFSM_LOG(3, "INFO: Removed ACL on path [%s] succeeded.", clientPath.c_str());
    return 0;
}
