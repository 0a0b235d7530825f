#include "module/filehandle/BackupFSMFileHandle.h"

#include <cstdio>
#include <cstring>

#include <boost/pointer_cast.hpp>

#include "host/ExportCache.h"
#include "module/export/BackupFSMExport.h"
#include "module/fsm/BackupFSM.h"
#include "module/fsm/BackupFSMLog.h"

static_assert(BackupFSMFileHandle::kGuidOffset + BackupFSMFileHandle::kGuidBytes ==
                  BackupFSMFileHandle::kLength,
              "the GUID and its zero end the 41-byte handle");
static_assert(BackupFSMFileHandle::kGuidOffset + BackupFSMFileHandle::kZeroedBytes <=
                  NFS3_FHSIZE_MAX,
              "encoding writes handle bytes 8..50");

namespace {

// The module's export serving shareId, or null (not served, or another
// module's export).
boost::shared_ptr<BackupFSMExport> FindBackupExport(uint32_t shareId) {
    ExportPtr exp;
    if (gAllExports == nullptr || !gAllExports->FindExport(shareId, exp)) return nullptr;
    return boost::dynamic_pointer_cast<BackupFSMExport>(exp);
}

// Path of guid in the export's store; empty when it does not resolve.
std::string ResolvePath(const BackupFSMExport& exp, const char* guid) {
    std::string path;
    ObjectStore::ObjectContainer* container = BackupFSM::GetObjContainer();
    if (container != nullptr) container->guidToPath(exp.GetObjStoreIndex(), guid, path);
    return path;
}

uint32_t Word(const nfs_fh3& fh, size_t offset) {
    uint32_t word = 0;
    memcpy(&word, fh.data + offset, sizeof(word));
    return word;
}

}  // namespace

BackupFSMFileHandle::BackupFSMFileHandle(uint32_t id, const char* guidText, std::string objPath)
    : QuayFileHandle(id), valid(true), guid{}, path(std::move(objPath)), supportDNFS(false) {
    if (!CopyGuid(guidText)) {
        valid = false;
        return;
    }
    if (!path.empty()) return;

    boost::shared_ptr<BackupFSMExport> exp = FindBackupExport(shareId);
    if (!exp) {
        BFSM_LOG(-1, "ERROR: Can't find export for share ID [%u]", shareId);
        valid = false;
        guid[0] = '\0';
        return;
    }
    path = ResolvePath(*exp, guid);
    if (path.empty()) {
        BFSM_LOG(-1, "ERROR: path is empty for GUID [%s]", guid);
        valid = false;
        guid[0] = '\0';
        return;
    }
    supportDNFS = exp->GetSupportDNFS();
}

BackupFSMFileHandle::BackupFSMFileHandle(const nfs_fh3& fh)
    : QuayFileHandle(fh), valid(false), guid{}, supportDNFS(false) {
    Decode(fh);
}

BackupFSMFileHandle::BackupFSMFileHandle(const BackupFSMFileHandle& other)
    : QuayFileHandle(other), valid(other.valid), guid{}, path(other.path),
      supportDNFS(other.supportDNFS) {
    memcpy(guid, other.guid, sizeof(guid));
}

BackupFSMFileHandle& BackupFSMFileHandle::operator=(const BackupFSMFileHandle& other) {
    if (this == &other) return *this;
    QuayFileHandle::operator=(other);
    path = other.path;
    supportDNFS = other.supportDNFS;
    memcpy(guid, other.guid, sizeof(guid));
    valid = other.valid;
    return *this;
}

BackupFSMFileHandle::~BackupFSMFileHandle() {
    BFSM_LOG(10, "BackupFSMFileHandle [%p] deleted", static_cast<void*>(this));
}

// A GUID that does not fit the fixed field would be cut or overflow it; such
// a text names no object of ours.
bool BackupFSMFileHandle::CopyGuid(const char* text) {
    if (text == nullptr) {
        BFSM_LOG(-1, "ERROR: GUID is missing for share ID [%u]", shareId);
        return false;
    }
    const size_t length = strnlen(text, kGuidBytes);
    if (length > kGuidChars) {
        BFSM_LOG(-1, "ERROR: GUID [%.*s...] is longer than %zu characters",
                 static_cast<int>(kGuidChars), text, kGuidChars);
        return false;
    }
    memcpy(guid, text, length);
    guid[length] = '\0';
    return true;
}

void BackupFSMFileHandle::Decode(const nfs_fh3& fh) {
    const uint32_t type = Word(fh, kTypeOffset);
    BFSM_LOG(4, "INFO: nfs file handle length [%d], FSM type [%d] ", static_cast<int>(fh.length),
             static_cast<int>(type));
    // The GUID field must end in its zero byte, or the text would run past it.
    if (!IsValid(fh) || fh.data[kGuidOffset + kGuidChars] != '\0') {
        BFSM_LOG(-1, "ERROR: BackupFSMFileHandle creation failed");
        return;
    }
    memcpy(guid, fh.data + kGuidOffset, kGuidBytes);

    boost::shared_ptr<BackupFSMExport> exp = FindBackupExport(shareId);
    if (!exp) {
        BFSM_LOG(-1, "ERROR: Can't find export for share ID [%u]", shareId);
        return;
    }
    std::string resolved = ResolvePath(*exp, guid);
    if (resolved.empty()) {
        BFSM_LOG(2, "ERROR: path is empty for GUID [%s]", guid);
        return;
    }
    path = std::move(resolved);
    BFSM_LOG(10, "INFO: BackupFSMFileHandle [%p] created", static_cast<void*>(this));
    valid = true;
}

void BackupFSMFileHandle::ToNfsFH(nfs_fh3& fh) const {
    fh.length = supportDNFS ? kDnfsLength : kLength;
    const uint32_t type = kFsmType;
    memcpy(fh.data + kTypeOffset, &type, sizeof(type));
    memcpy(fh.data + kShareIdOffset, &shareId, sizeof(shareId));
    memset(fh.data + kGuidOffset, 0, kZeroedBytes);
    memcpy(fh.data + kGuidOffset, guid, kGuidBytes);
}

void BackupFSMFileHandle::ToStr(std::string& text) const {
    char buffer[2048];
    snprintf(buffer, sizeof(buffer), "shareId [%u], GUID [%s]", shareId, guid);
    text = buffer;
}

bool BackupFSMFileHandle::operator==(const BackupFSMFileHandle& other) const {
    return strcmp(guid, other.guid) == 0;
}

bool BackupFSMFileHandle::IsValid(const nfs_fh3& fh) {
    return Word(fh, kTypeOffset) == kFsmType && (fh.length == kLength || fh.length == kDnfsLength);
}

void BackupFSMFileHandle::FH2Str(const nfs_fh3& fh, std::string& text) {
    BackupFSMFileHandle handle(fh);
    handle.ToStr(text);
}
