#include "host/Export.h"

#include <algorithm>

#include "host/ClientMatcher.h"
#include "host/HostLog.h"

namespace {

typedef std::map<std::string, std::vector<std::string>> ResolvedNames;

// Resolves the host names among entries; runs outside the export's lock, as
// the resolver may take its time.
ResolvedNames ResolveNames(const std::string& path, const std::vector<std::string>& entries) {
    ResolvedNames resolved;
    for (const std::string& entry : entries) {
        if (ClientMatcher::Classify(entry) != ClientMatcher::EntryKind::kHostName) continue;
        std::vector<std::string> addresses = ClientMatcher::Resolve(entry);
        if (addresses.empty()) {
            HOST_LOG(-1, "WARN: Allowed client [%s] of share [%s] does not resolve; it admits nobody",
                     entry.c_str(), path.c_str());
        } else {
            std::string list;
            for (const std::string& address : addresses) list += (list.empty() ? "" : ",") + address;
            HOST_LOG(1, "INFO: Allowed client [%s] of share [%s] resolves to [%s]", entry.c_str(), path.c_str(),
                     list.c_str());
        }
        resolved[entry] = std::move(addresses);
    }
    return resolved;
}

}  // namespace

Export::Export(const std::string& path, SharePerms perms, std::string allowedClients,
               unsigned int shareId, ExportPtr& /*parent*/)
    : path_(path),
      shareId_(shareId),
      perms_(perms),
      allowedClients_(ClientMatcher::SplitList(allowedClients)),
      resolved_(ResolveNames(path, allowedClients_)) {}

// path_ and shareId_ never change; the rest is read under the source's lock.
Export::Export(const Export& other) : path_(other.path_), shareId_(other.shareId_) {
    std::lock_guard<std::mutex> lock(other.mutex_);
    perms_ = other.perms_;
    allowedClients_ = other.allowedClients_;
    resolved_ = other.resolved_;
    optionalParams_ = other.optionalParams_;
    nfsVersions_ = other.nfsVersions_;
    squash_ = other.squash_;
    anonUid_ = other.anonUid_;
    anonGid_ = other.anonGid_;
    aclEnabled_ = other.aclEnabled_;
    smbEnabled_ = other.smbEnabled_;
}

Export::~Export() = default;

void Export::GetFileHandle(const CPelIPAddr& /*client*/, nfs_fh3& handle) {
    // The host's own exports have no handle of their own; modules override.
    handle.length = 0;
}

int Export::GetFSModuleType() { return 0; }

SharePerms Export::GetSharePerms() {
    std::lock_guard<std::mutex> lock(mutex_);
    return perms_;
}

void Export::SetSharePerms(SharePerms perms) {
    std::lock_guard<std::mutex> lock(mutex_);
    perms_ = perms;
}

void Export::RemoveAllowedClients(const std::string& clients) {
    std::vector<std::string> gone = ClientMatcher::SplitList(clients);
    std::lock_guard<std::mutex> lock(mutex_);
    allowedClients_.erase(std::remove_if(allowedClients_.begin(), allowedClients_.end(),
                                         [&gone](const std::string& entry) {
                                             return std::find(gone.begin(), gone.end(), entry) !=
                                                    gone.end();
                                         }),
                          allowedClients_.end());
    for (const std::string& entry : gone) resolved_.erase(entry);
}

void Export::FillAllowedClients(const std::string& clients) {
    std::vector<std::string> added = ClientMatcher::SplitList(clients);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& entry : added) {
            if (std::find(allowedClients_.begin(), allowedClients_.end(), entry) ==
                allowedClients_.end()) {
                allowedClients_.push_back(entry);
            }
        }
    }
    // The entries count at once; a name admits nobody until it is resolved.
    // Resolving first would leave a list that a replacement emptied (and
    // empty admits everybody) empty for as long as the resolver takes.
    ResolvedNames resolved = ResolveNames(path_, added);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& name : resolved) {
        if (std::find(allowedClients_.begin(), allowedClients_.end(), name.first) != allowedClients_.end()) {
            resolved_[name.first] = std::move(name.second);
        }
    }
}

void Export::GetAllowedClients(std::string& clients) {
    std::lock_guard<std::mutex> lock(mutex_);
    clients.clear();
    for (size_t i = 0; i < allowedClients_.size(); ++i) {
        if (i != 0) clients += ",";
        clients += allowedClients_[i];
    }
}

bool Export::Authorize(const ZELIPAddr& client, const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (allowedClients_.empty()) return true;  // no list: every client
    for (const std::string& entry : allowedClients_) {
        if (ClientMatcher::Matches(entry, client.text, host)) return true;
        const auto names = resolved_.find(entry);
        if (names != resolved_.end() && ClientMatcher::MatchesAny(names->second, client.text)) return true;
    }
    return false;
}

bool Export::Authorize(const std::vector<ZELIPAddr>& clients, const std::string& host) {
    for (const ZELIPAddr& client : clients) {
        if (Authorize(client, host)) return true;
    }
    return false;
}

bool Export::LoadOnRestart() { return true; }

bool Export::isQuayFDCacheSupported() { return false; }

void Export::SetOptionalParam(const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    optionalParams_[key] = value;
}

bool Export::GetOptionalParam(const std::string& key, std::string& value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = optionalParams_.find(key);
    if (found == optionalParams_.end()) return false;
    value = found->second;
    return true;
}

std::map<std::string, std::string> Export::GetOptionalParams() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return optionalParams_;
}

void Export::SetNfsVersions(const std::string& versions) {
    std::lock_guard<std::mutex> lock(mutex_);
    nfsVersions_ = versions;
}

std::string Export::GetNfsVersions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return nfsVersions_;
}

void Export::SetSquashingType(ZELQUAYSquashType type) {
    std::lock_guard<std::mutex> lock(mutex_);
    squash_ = type;
}

ZELQUAYSquashType Export::GetSquashingType() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return squash_;
}

void Export::SetAnonUid(unsigned int uid) {
    std::lock_guard<std::mutex> lock(mutex_);
    anonUid_ = uid;
}

unsigned int Export::GetAnonUid() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return anonUid_;
}

void Export::SetAnonGid(unsigned int gid) {
    std::lock_guard<std::mutex> lock(mutex_);
    anonGid_ = gid;
}

unsigned int Export::GetAnonGid() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return anonGid_;
}

void Export::EnableACL(bool enabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    aclEnabled_ = enabled;
}

bool Export::IsACLEnabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return aclEnabled_;
}

void Export::SetSMBEnabled(bool enabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    smbEnabled_ = enabled;
}

bool Export::GetSMBEnabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return smbEnabled_;
}
