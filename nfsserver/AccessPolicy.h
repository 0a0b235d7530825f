// The POSIX permission rules of the NFS service, in one place for every
// protocol: who may look up, read, write, add and remove entries, who may
// change which attributes, and what a caller's change of data clears. The
// caller's ids are those after the share's squash; "root" is uid 0 after
// squashing. Every rule is a pure function of the ids and the attributes:
// thread-safe, no I/O.
//
// Answers are 0, EACCES (the mode bits refuse) or EPERM (only the owner or
// root may do this, or a sticky directory protects the entry).
#pragma once
#include <sys/stat.h>

#include <cstdint>

#include "host/QuayCtxt.h"
#include "nfsserver/AttributeChange.h"

class AccessPolicy {
public:
    // Access by mode bits, as the classes' bits are laid out.
    enum Access : unsigned { kRead = 04, kWrite = 02, kExecute = 01 };
    // What ACCESS answers; NFSv3 and NFSv4 share these values.
    enum AccessBit : uint32_t {
        kAccessRead = 0x01,
        kAccessLookup = 0x02,
        kAccessModify = 0x04,
        kAccessExtend = 0x08,
        kAccessDelete = 0x10,
        kAccessExecute = 0x20,
    };

    static bool IsRoot(const IdInfo& who) { return who.uid == 0; }
    static bool IsOwner(const IdInfo& who, const struct stat& st) { return who.uid == st.st_uid; }
    // Primary or supplementary group.
    static bool InGroup(const IdInfo& who, uint32_t gid);
    // The bits of the one class the caller falls in: owner, else group, else
    // other. Root passes, except execute of a non-directory with no x bit.
    static bool ModeAllows(const IdInfo& who, const struct stat& st, unsigned access);

    // LOOKUP in a directory: search.
    static int MayLookUp(const IdInfo& who, const struct stat& dir);
    // READDIR, READDIRPLUS: read of the directory.
    static int MayList(const IdInfo& who, const struct stat& dir);
    // READ and READLINK: read, or execute (a client runs a program by
    // reading it); the owner always, since clients check modes at open and
    // a file created 0444 still takes its creator's reads and writes.
    static int MayReadData(const IdInfo& who, const struct stat& file);
    // WRITE, COMMIT and size changes: write; the owner always.
    static int MayWriteData(const IdInfo& who, const struct stat& file);
    // CREATE, MKDIR, SYMLINK, MKNOD, LINK, the target directory of RENAME:
    // write and search of the directory.
    static int MayAddEntry(const IdInfo& who, const struct stat& dir);
    // REMOVE, RMDIR, the source and a replaced target of RENAME: write and
    // search of the directory, and in a sticky directory only the entry's
    // owner, the directory's owner or root.
    static int MayRemoveEntry(const IdInfo& who, const struct stat& dir, const struct stat& entry);
    // RENAME of a directory into another parent rewrites its "..": write of
    // the directory moved.
    static int MayMoveDirectory(const IdInfo& who, const struct stat& moved);

    // ACCESS: which of the asked bits the mode grants, without the owner's
    // read and write of READ and WRITE (an owner opening a 0444 file for
    // writing is refused, as locally).
    static uint32_t Access(const IdInfo& who, const struct stat& st, bool readOnlyShare, uint32_t asked);

    // SETATTR: checks the change against the rules and adds to it what the
    // rules clear (set-gid on a chmod by a caller outside the file's group,
    // set-uid and set-gid on a size or group change by anyone but root).
    static int MaySetAttributes(const IdInfo& who, const struct stat& st, AttributeChange& change);
    // Setting an ACL: the owner or root, as for the mode it stands beside.
    static int MayChangeAcl(const IdInfo& who, const struct stat& st);
    // The mode a file keeps after this caller changed its data: without
    // set-uid and set-gid unless the caller is root.
    static mode_t ModeAfterWrite(const IdInfo& who, const struct stat& file);
    // The mode a new object gets in dir: a non-directory in a set-gid
    // directory takes the directory's group, so its set-gid bit stays only
    // for members of that group and root.
    static mode_t NewObjectMode(const IdInfo& who, const struct stat& dir, mode_t mode, bool directory);
};
