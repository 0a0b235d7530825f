// Export: the host's record of one share. File-system modules derive their
// export from it. Host names among the allowed clients are resolved when the
// list is set (construction, FillAllowedClients) and admit the addresses they
// resolved to then: the NFS service knows its callers by address only. Thread safety: setters and getters may run on different
// threads (a configuration update beside request threads); every member is
// guarded by the export's own mutex.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "configclient/SquashType.h"
#include "host/IPAddr.h"
#include "host/NfsTypes.h"

class Export;
typedef boost::shared_ptr<Export> ExportPtr;

class Export {
public:
    Export(const std::string& path, SharePerms perms, std::string allowedClients,
           unsigned int shareId, ExportPtr& parent);
    Export(const Export& other);
    Export& operator=(const Export&) = delete;

    // Slots in order.
    virtual ~Export();                                                        // 1
    virtual void GetFileHandle(const CPelIPAddr& client, nfs_fh3& handle);    // 2
    virtual int GetFSModuleType();                                            // 3
    virtual SharePerms GetSharePerms();                                       // 4
    virtual void SetSharePerms(SharePerms perms);                             // 5
    virtual void RemoveAllowedClients(const std::string& clients);           // 6
    virtual void FillAllowedClients(const std::string& clients);             // 7
    virtual void GetAllowedClients(std::string& clients);                     // 8
    virtual bool Authorize(const ZELIPAddr& client, const std::string& host);                // 9
    virtual bool Authorize(const std::vector<ZELIPAddr>& clients, const std::string& host);  // 10
    virtual bool LoadOnRestart();                                             // 11
    virtual bool isQuayFDCacheSupported();                                    // 12

    const std::string& GetPath() const { return path_; }
    unsigned int GetShareId() const { return shareId_; }

    void SetOptionalParam(const std::string& key, const std::string& value);
    // True and the value when the export has the parameter.
    bool GetOptionalParam(const std::string& key, std::string& value) const;
    std::map<std::string, std::string> GetOptionalParams() const;

    void SetNfsVersions(const std::string& versions);
    std::string GetNfsVersions() const;
    void SetSquashingType(ZELQUAYSquashType type);
    ZELQUAYSquashType GetSquashingType() const;
    void SetAnonUid(unsigned int uid);
    unsigned int GetAnonUid() const;
    void SetAnonGid(unsigned int gid);
    unsigned int GetAnonGid() const;
    void EnableACL(bool enabled);
    bool IsACLEnabled() const;
    void SetSMBEnabled(bool enabled);
    bool GetSMBEnabled() const;

private:
    mutable std::mutex mutex_;
    const std::string path_;
    const unsigned int shareId_;
    SharePerms perms_;                                 // guarded by mutex_
    std::vector<std::string> allowedClients_;          // guarded by mutex_
    // Addresses of the host names among allowedClients_.
    std::map<std::string, std::vector<std::string>> resolved_;  // guarded by mutex_
    std::map<std::string, std::string> optionalParams_;  // guarded by mutex_
    std::string nfsVersions_;                          // guarded by mutex_
    ZELQUAYSquashType squash_ = ZEL_QUAY_NO_ROOT_SQUASH;  // guarded by mutex_
    unsigned int anonUid_ = 65534;                     // guarded by mutex_
    unsigned int anonGid_ = 65534;                     // guarded by mutex_
    bool aclEnabled_ = false;                          // guarded by mutex_
    bool smbEnabled_ = false;                          // guarded by mutex_
};
