// BackupFSMExport: the module's export, one per NFS share. It carries the
// share's settings, opens the share's object store and keeps the handle of the
// store's root directory, which it hands to the host as the share's root.
//
// Life: construct, init (opens the store), publish in the host's export cache;
// settings then change only through the setters (export update); un-exporting
// closes the store; the destructor does not.
//
// Thread safety: init and the rebuilding constructor run before the export is
// visible to other threads; rootHandle, objStoreIndex, storeConfig and the
// tunables are not written afterwards. Request threads read settings while an
// export update writes them: scalar settings with a setter are atomics, the
// texts with a setter are guarded by settingsCS, the parsed id sets by
// idSetCS. No operation holds both locks at once.
#pragma once
#include <atomic>
#include <cstdint>
#include <ctime>
#include <set>
#include <string>

#include <boost/shared_ptr.hpp>

#include "host/Export.h"
#include "objectstore/ObjectStoreConfig.h"
#include "platform/ZelCriticalSection.h"

class BackupFSMFileHandle;

class BackupFSMExport : public Export {
public:
    static constexpr int kFsmType = 4;

    // Passes the arguments to Export unchanged; settings start at their
    // initial values, with no store and no root handle.
    BackupFSMExport(const std::string& path, SharePerms perms, std::string allowedClients,
                    unsigned int shareId, ExportPtr& parent);
    // Rebuilds the settings from the optional parameters that init recorded
    // on e. The result has no open store and no root handle.
    explicit BackupFSMExport(const Export& e);
    BackupFSMExport(const BackupFSMExport&) = delete;
    BackupFSMExport& operator=(const BackupFSMExport&) = delete;
    // Logs and releases the members; does not close the store.
    ~BackupFSMExport() override;

    // Stores the settings, records them as optional parameters, fills the
    // allow-lists, opens the store and builds the root handle. True when the
    // store is open and the root handle valid. On false everything logged;
    // a store opened by this call is closed again, while the recorded
    // parameters and allow-lists stay. Call once, before publishing.
    bool init(unsigned long subClientID, ExportType exportType, time_t snapshotTime,
              std::string& userIds, std::string& groupIds, uint32_t copyPrecedence,
              const std::string& backupFilter, uint32_t writablePIT, const std::string& snapName,
              bool supportDNFS, bool caseSensitive, const std::string& protocols,
              uint32_t versionInterval);
    // 1 when the subclient keeps file versions, else 0 (logged).
    int FetchEnabledVersions();

    // Export slots. The root handle (41 bytes); length 0 before init succeeded.
    void GetFileHandle(const CPelIPAddr& client, nfs_fh3& handle) override;
    int GetFSModuleType() override;

    // Allow-lists: the texts are comma-separated ids, "*" or empty for
    // everybody. The setters rebuild the parsed sets.
    void SetUserIds(std::string& ids);
    void SetGroupIds(std::string& ids);
    std::string GetUserIds();
    std::string GetGroupIds();
    void populateUidSet();
    void populateGidSet();
    // True when the set is empty or holds the id; a set test under idSetCS.
    bool isUserIdAllowed(unsigned int uid);
    bool isGroupIdAllowed(unsigned int gid);

    unsigned long GetObjStoreIndex() const { return objStoreIndex; }
    unsigned long GetSubClientID() const { return subClientID; }
    bool GetSupportDNFS() const { return supportDNFS; }
    int GetEnabledVersions() const { return enabledVersions.load(); }
    int SetEnabledVersions(int enabled);  // returns 0
    int GetVersionInterval() const { return versionInterval.load(); }
    void SetVersionInterval(int seconds) { versionInterval.store(seconds); }
    void GetBackupFilter(std::string& filter);
    void SetBackupFilter(std::string& filter);
    bool GetCaseSensitive() const { return caseSensitive.load(); }
    void SetCaseSensitive(bool sensitive) { caseSensitive.store(sensitive); }
    unsigned int GetCopyPrecedence() const { return copyPrecedence.load(); }
    void SetCopyPrecedence(unsigned int precedence) { copyPrecedence.store(precedence); }
    unsigned int GetWritablePIT() const { return writablePIT.load(); }
    void SetWritablePIT(unsigned int writable) { writablePIT.store(writable); }

    ExportType GetExportType() const { return exportType; }
    time_t GetSnapshotTime() const { return snapshotTime; }
    // The record the store was opened with (library defaults before init).
    const ObjectStore::ObjectStoreConfig& GetStoreConfig() const { return storeConfig; }
    boost::shared_ptr<BackupFSMFileHandle> GetRootHandle() const { return rootHandle; }

private:
    void RecordOptionalParams(time_t snapshotTime, const std::string& snapName,
                              bool caseSensitive, const std::string& protocols);
    std::string StorePath(bool& readOnly) const;
    void FillStoreConfig(const std::string& storePath, uint32_t mode, bool readOnly,
                         time_t snapshotTime, const std::string& snapName, bool caseSensitive,
                         uint32_t versionInterval);
    bool OpenRoot(const std::string& storePath);
    void CloseStore();
    void RebuildFromOptionalParams();
    void RebuildSet(const std::string& text, std::set<unsigned int>& set);

    // Initial values: both constructors start from these.
    unsigned long subClientID = 0;
    boost::shared_ptr<BackupFSMFileHandle> rootHandle;
    ExportType exportType = static_cast<ExportType>(0);
    std::string userIds;   // guarded by settingsCS
    std::string groupIds;  // guarded by settingsCS
    std::atomic<int> enabledVersions{0};
    ZelCriticalSection idSetCS;
    std::set<unsigned int> uidSet;  // guarded by idSetCS
    std::set<unsigned int> gidSet;  // guarded by idSetCS
    uint64_t extentSize = 0;
    uint64_t timeoutUntilBackup = 0;
    int64_t snapshotTime = 0;
    uint32_t guidCacheBytes = 0;
    uint32_t versionCacheBytes = 0;
    int attribCacheEntries = 0;
    int xattrCacheEntries = 0;
    int dirCacheEntries = 0;
    uint32_t flushAfterCount = 0;
    uint32_t flushAfterSeconds = 0;
    unsigned long objStoreIndex = 0;
    std::atomic<uint32_t> copyPrecedence{0};
    std::atomic<uint32_t> writablePIT{0};
    std::string backupFilter;  // guarded by settingsCS
    bool supportDNFS = false;
    std::atomic<bool> caseSensitive{true};
    std::string protocols = "nfsv4";  // written only by the constructors
    std::atomic<int> versionInterval{60};
    ObjectStore::ObjectStoreConfig storeConfig;
    ZelCriticalSection settingsCS;
};
