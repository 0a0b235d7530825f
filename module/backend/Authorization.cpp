#include "module/backend/Authorization.h"

#include <cstdlib>

#include <boost/pointer_cast.hpp>

#include "module/export/BackupFSMExport.h"
#include "module/fsm/BackupFSMLog.h"
#include "platform/FXString.h"

namespace {

const char kAnyId[] = "*";

struct AccessBits {
    mode_t owner;
    mode_t group;
    mode_t other;
};

// Bits per access type; false for a type outside 0..2.
bool BitsFor(BackupFSMAccessType access, AccessBits& bits) {
    switch (access) {
        case BACKUPFSM_ACCESS_READ: bits = {S_IRUSR, S_IRGRP, S_IROTH}; return true;
        case BACKUPFSM_ACCESS_WRITE: bits = {S_IWUSR, S_IWGRP, S_IWOTH}; return true;
        case BACKUPFSM_ACCESS_EXECUTE: bits = {S_IXUSR, S_IXGRP, S_IXOTH}; return true;
    }
    return false;
}

bool checkGroupAccess(struct stat& st, BackupFSMAccessType access) {
    AccessBits bits{};
    if (!BitsFor(access, bits)) {
        BFSM_LOG(-1, "ERROR: Invalid accessType %d", static_cast<int>(access));
        return false;
    }
    return (st.st_mode & bits.group) != 0;
}

// True when some item of the text converts to id. "*" is not an id here.
bool ListHasId(const std::string& text, uint32_t id) {
    for (const std::string& item : SplitIdList(text)) {
        if (item != kAnyId && IdListItemValue(item) == id) return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> SplitIdList(const std::string& text) {
    std::vector<std::string> items;
    FXString::Split(text, ",", items, 1);
    return items;
}

unsigned int IdListItemValue(const std::string& item) {
    // atoi without its undefined overflow: glibc's atoi is (int) strtol.
    return static_cast<unsigned int>(static_cast<int>(strtol(item.c_str(), nullptr, 10)));
}

std::set<unsigned int> ParseIdSet(const std::string& text) {
    std::set<unsigned int> ids;
    for (const std::string& item : SplitIdList(text)) {
        if (item == kAnyId) return std::set<unsigned int>();
        ids.insert(IdListItemValue(item));
    }
    return ids;
}

bool AuthorizeUser(QuayCtxt* ctx) {
    if (ctx == nullptr || ctx->identity == nullptr) return false;
    const IdInfo& id = *ctx->identity;
    boost::shared_ptr<BackupFSMExport> exp =
        boost::dynamic_pointer_cast<BackupFSMExport>(ctx->exportPtr);
    if (!exp) return false;

    if (exp->isUserIdAllowed(id.uid)) {
        BFSM_LOG(3, "INFO: User ID [%u] is allowed to access the share [%s].", id.uid,
                 exp->GetPath().c_str());
        return true;
    }
    if (exp->isGroupIdAllowed(id.gid)) {
        BFSM_LOG(3, "INFO: Group ID [%u] is allowed to access the share [%s]", id.gid,
                 exp->GetPath().c_str());
        return true;
    }
    for (uint32_t i = 0; id.groups != nullptr && i < id.ngroups; ++i) {
        if (exp->isGroupIdAllowed(id.groups[i])) {
            BFSM_LOG(3, "INFO: Group ID [%u] is allowed to access the share [%s]", id.groups[i],
                     exp->GetPath().c_str());
            return true;
        }
    }
    BFSM_LOG(1,
             "INFO: User ID [%u] Group ID [%u] not allowed to access [%s]. Given user should be "
             "atleast in allowed user groups.",
             id.uid, id.gid, exp->GetPath().c_str());
    return false;
}

bool isUserAllowed(ExportPtr& exp, uint32_t uid) {
    boost::shared_ptr<BackupFSMExport> backupExport = boost::dynamic_pointer_cast<BackupFSMExport>(exp);
    if (backupExport && ListHasId(backupExport->GetUserIds(), uid)) {
        BFSM_LOG(3, "User ID [%u] is allowed to access this share", uid);
        return true;
    }
    BFSM_LOG(3, "User ID [%u] is not allowed to access this share", uid);
    return false;
}

bool isGroupAllowed(ExportPtr& exp, uint32_t gid) {
    boost::shared_ptr<BackupFSMExport> backupExport = boost::dynamic_pointer_cast<BackupFSMExport>(exp);
    if (backupExport && ListHasId(backupExport->GetGroupIds(), gid)) {
        BFSM_LOG(3, "Group ID [%u] is allowed to access this share", gid);
        return true;
    }
    BFSM_LOG(3, "Group ID [%u] is not allowed to access this share", gid);
    return false;
}

bool AuthorizeUserForRWX(QuayCtxt* ctx, struct stat& st, BackupFSMAccessType access) {
    if (ctx == nullptr || ctx->identity == nullptr) return false;
    const IdInfo& id = *ctx->identity;
    BFSM_LOG(5,
             "DEBUG: uid [%d] gid [%d] accessType [%d] buf.st_mode [%x] buf.st_uid [%d] "
             "buf.st_gid [%d]",
             static_cast<int>(id.uid), static_cast<int>(id.gid), static_cast<int>(access),
             static_cast<unsigned int>(st.st_mode), static_cast<int>(st.st_uid),
             static_cast<int>(st.st_gid));
    if (id.uid == 0) {
        BFSM_LOG(5, "DEBUG: Access Granted");
        return true;
    }
    AccessBits bits{};
    const bool known = BitsFor(access, bits);
    if (id.uid == st.st_uid) {
        BFSM_LOG(5, "DEBUG: uid == buf.st_uid R [%d] W [%d] X [%d]",
                 static_cast<int>(st.st_mode & S_IRUSR), static_cast<int>(st.st_mode & S_IWUSR),
                 static_cast<int>(st.st_mode & S_IXUSR));
        if (!known) {
            BFSM_LOG(-1, "ERROR: Invalid accessType %d", static_cast<int>(access));
            return false;
        }
        if ((st.st_mode & bits.owner) != 0) return true;
    }
    if (id.gid == st.st_gid) {
        BFSM_LOG(5, "DEBUG: gid == buf.st_gid R %d W %d X %d",
                 static_cast<int>(st.st_mode & S_IRGRP), static_cast<int>(st.st_mode & S_IWGRP),
                 static_cast<int>(st.st_mode & S_IXGRP));
        if (checkGroupAccess(st, access)) return true;
    }
    for (uint32_t i = 0; id.groups != nullptr && i < id.ngroups; ++i) {
        if (id.groups[i] != st.st_gid) continue;
        BFSM_LOG(5, "DEBUG: garray[%d] == buf.st_gid", static_cast<int>(i));
        if (checkGroupAccess(st, access)) return true;
    }
    BFSM_LOG(5, "DEBUG: Checking for others R %d W %d X %d",
             static_cast<int>(st.st_mode & S_IROTH), static_cast<int>(st.st_mode & S_IWOTH),
             static_cast<int>(st.st_mode & S_IXOTH));
    if (!known) {
        BFSM_LOG(-1, "ERROR: Invalid accessType %d", static_cast<int>(access));
        return false;
    }
    return (st.st_mode & bits.other) != 0;
}
