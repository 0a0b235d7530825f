// Authorisation of NFS callers against an export's allow-lists, and the
// module's mode-bit check of a caller against a file.
//
// Allow-list text: decimal ids separated by commas ("1001,1002"); empty items
// are skipped; each item converts as C atoi does (so "abc" is id 0); an item
// "*" anywhere means everybody. Parsed, an empty set admits every id.
//
// Thread safety: every function may run on any request thread at once. The
// set tests lock the export's idSetCS for one lookup each; nothing else locks.
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "host/Export.h"
#include "host/QuayCtxt.h"

// Kind of access asked of AuthorizeUserForRWX.
enum BackupFSMAccessType {
    BACKUPFSM_ACCESS_READ = 0,
    BACKUPFSM_ACCESS_WRITE = 1,
    BACKUPFSM_ACCESS_EXECUTE = 2
};

// The non-empty comma-separated items of an allow-list text, in order.
std::vector<std::string> SplitIdList(const std::string& text);
// atoi of an item, taken as an unsigned 32-bit id.
unsigned int IdListItemValue(const std::string& item);
// The set an allow-list text stands for: empty for an empty text or when any
// item is "*".
std::set<unsigned int> ParseIdSet(const std::string& text);

// May the caller of the request use the request's share: its uid passes the
// user set, or its primary or any supplementary gid passes the group set.
// False (nothing logged) for a null context, a context without identity, or
// an export that is not the module's.
bool AuthorizeUser(QuayCtxt* ctx);

// Tests against the export's list text only: the id must be an item of it;
// "*" and an empty list admit nobody here. False for an export that is not
// the module's.
bool isUserAllowed(ExportPtr& exp, uint32_t uid);
bool isGroupAllowed(ExportPtr& exp, uint32_t gid);

// May the caller read, write or execute the file described by st: root
// always; else the owner bit when the caller owns it, the group bit for the
// primary or a supplementary gid matching st_gid, else the other bit.
// An access type other than 0, 1, 2 answers false with an error line.
bool AuthorizeUserForRWX(QuayCtxt* ctx, struct stat& st, BackupFSMAccessType access);
