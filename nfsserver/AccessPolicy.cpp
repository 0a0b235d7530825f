#include "nfsserver/AccessPolicy.h"

#include <cerrno>

namespace {

constexpr mode_t kSetIds = S_ISUID | S_ISGID;

bool IsDirectory(const struct stat& st) { return S_ISDIR(st.st_mode); }

}  // namespace

bool AccessPolicy::InGroup(const IdInfo& who, uint32_t gid) {
    if (who.gid == gid) return true;
    for (uint32_t i = 0; i < who.ngroups; ++i) {
        if (who.groups[i] == gid) return true;
    }
    return false;
}

bool AccessPolicy::ModeAllows(const IdInfo& who, const struct stat& st, unsigned access) {
    if (IsRoot(who)) return (access & kExecute) == 0 || IsDirectory(st) || (st.st_mode & 0111) != 0;
    unsigned bits = st.st_mode & 07;
    if (IsOwner(who, st)) bits = (st.st_mode >> 6) & 07;
    else if (InGroup(who, st.st_gid)) bits = (st.st_mode >> 3) & 07;
    return (bits & access) == access;
}

int AccessPolicy::MayLookUp(const IdInfo& who, const struct stat& dir) {
    return ModeAllows(who, dir, kExecute) ? 0 : EACCES;
}

int AccessPolicy::MayList(const IdInfo& who, const struct stat& dir) {
    return ModeAllows(who, dir, kRead) ? 0 : EACCES;
}

int AccessPolicy::MayReadData(const IdInfo& who, const struct stat& file) {
    if (IsOwner(who, file) || ModeAllows(who, file, kRead)) return 0;
    return !IsDirectory(file) && ModeAllows(who, file, kExecute) ? 0 : EACCES;
}

int AccessPolicy::MayWriteData(const IdInfo& who, const struct stat& file) {
    return IsOwner(who, file) || ModeAllows(who, file, kWrite) ? 0 : EACCES;
}

int AccessPolicy::MayAddEntry(const IdInfo& who, const struct stat& dir) {
    return ModeAllows(who, dir, kWrite | kExecute) ? 0 : EACCES;
}

int AccessPolicy::MayRemoveEntry(const IdInfo& who, const struct stat& dir, const struct stat& entry) {
    if (!ModeAllows(who, dir, kWrite | kExecute)) return EACCES;
    const bool sticky = (dir.st_mode & S_ISVTX) != 0;
    if (sticky && !IsRoot(who) && !IsOwner(who, dir) && !IsOwner(who, entry)) return EPERM;
    return 0;
}

int AccessPolicy::MayMoveDirectory(const IdInfo& who, const struct stat& moved) {
    return ModeAllows(who, moved, kWrite) ? 0 : EACCES;
}

uint32_t AccessPolicy::Access(const IdInfo& who, const struct stat& st, bool readOnlyShare, uint32_t asked) {
    const bool directory = IsDirectory(st);
    const bool write = !readOnlyShare && ModeAllows(who, st, kWrite);
    uint32_t granted = 0;
    if (ModeAllows(who, st, kRead)) granted |= kAccessRead;
    if (write) granted |= kAccessModify | kAccessExtend;
    if (directory) {
        if (ModeAllows(who, st, kExecute)) granted |= kAccessLookup;
        if (write && ModeAllows(who, st, kExecute)) granted |= kAccessDelete;
    } else if (ModeAllows(who, st, kExecute)) {
        granted |= kAccessExecute;
    }
    return granted & asked;
}

int AccessPolicy::MaySetAttributes(const IdInfo& who, const struct stat& st, AttributeChange& change) {
    const bool root = IsRoot(who);
    const bool owner = IsOwner(who, st);
    const bool newOwner = change.setUid && change.uid != st.st_uid;
    const bool newGroup = change.setGid && change.gid != st.st_gid;
    // Giving a file away is root's alone; its owner may move it between
    // the groups it belongs to.
    if (change.setUid && !root && (!owner || newOwner)) return EPERM;
    if (change.setGid && !root && (!owner || (newGroup && !InGroup(who, change.gid)))) return EPERM;
    if (change.setMode && !root && !owner) return EPERM;
    const bool clientTime = change.atime == AttributeChange::kClientTime ||
                            change.mtime == AttributeChange::kClientTime;
    if (clientTime && !root && !owner) return EPERM;
    // Setting the times to now is a writer's right, as touch is.
    if (change.SetsTimes() && !clientTime && !root && !owner && !ModeAllows(who, st, kWrite)) return EACCES;
    if (change.setSize) {
        const int error = MayWriteData(who, st);
        if (error != 0) return error;
    }
    if (root) return 0;
    mode_t mode = change.setMode ? change.mode : st.st_mode & 07777;
    const uint32_t group = change.setGid ? change.gid : st.st_gid;
    if (change.setMode && !InGroup(who, group)) mode &= ~S_ISGID;
    if ((change.setSize || newOwner || newGroup) && !IsDirectory(st)) mode &= ~kSetIds;
    if (mode != (st.st_mode & 07777) || change.setMode) {
        change.setMode = true;
        change.mode = mode;
    }
    return 0;
}

mode_t AccessPolicy::ModeAfterWrite(const IdInfo& who, const struct stat& file) {
    const mode_t mode = file.st_mode & 07777;
    return IsRoot(who) ? mode : mode & ~kSetIds;
}

mode_t AccessPolicy::NewObjectMode(const IdInfo& who, const struct stat& dir, mode_t mode, bool directory) {
    mode &= 07777;
    const bool inheritsGroup = (dir.st_mode & S_ISGID) != 0;
    if (!directory && inheritsGroup && !IsRoot(who) && !InGroup(who, dir.st_gid)) mode &= ~S_ISGID;
    return mode;
}

int AccessPolicy::MayChangeAcl(const IdInfo& who, const struct stat& st) {
    return IsRoot(who) || IsOwner(who, st) ? 0 : EPERM;
}
