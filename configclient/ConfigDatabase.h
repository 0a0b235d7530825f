// ConfigDatabase: the configuration database behind the configuration client:
// clients, subclients, subclient properties and index-cache state, kept in
// SQLite or PostgreSQL (a ConfigBackend; layout in configclient/FORMAT.md).
// One instance per process. The statuses and texts are the same on both.
//
// Thread safety: every method may be called from any thread; one mutex
// serialises all use of the connection.
//
// Until Open is called (and again after Close) the first use opens the
// database named by QUAY_CONFIG_DB, else ZelDataDir() + "/config.db",
// creating its directory when missing.
//
// Every write is a transaction (Apply makes several writes one). A lost
// connection is re-established with back-off (ConfigBackend::Run); a read,
// or a write that had not committed, runs again on the new connection.
//
// The administration methods write the database directly: the client's
// message cache (see EnableAppMgrClientMessageCache) keeps values it already
// read until it is flushed, as a remote configuration server would.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "configclient/CallRecorder.h"
#include "configclient/ConfigBackend.h"
#include "configclient/ConfigChange.h"
#include "configclient/SubclientRecord.h"
#include "platform/CPelError.h"

class ConfigDatabase {
public:
    // Never destroyed: module threads that outlive main() may still call in.
    static ConfigDatabase& Instance();

    ConfigDatabase(const ConfigDatabase&) = delete;
    ConfigDatabase& operator=(const ConfigDatabase&) = delete;

    // Opens path: a "postgresql://" URI, else an SQLite file (":memory:"
    // for a private in-memory database), creating the file and the schema
    // when missing; files use write-ahead logging. The previous database is
    // closed only once the new one is open: on error it stays in use. Drops
    // the client's message cache. With migrate false the schema must be
    // this build's already (tools that must not change it).
    // Errors: EINVAL empty path; EIO cannot open or not a database;
    // ENOTSUP written by a newer schema version (or older, without migrate).
    CPelError Open(const std::string& path, bool migrate = true);
    // Closes the database (if open) and drops the client's message cache.
    void Close();
    // Path of the open database, "" when none is open.
    std::string Path() const;
    // The open database for messages and the log: without a password.
    std::string Describe() const;
    // Where the database lives when Open was not called.
    static std::string DefaultPath();

    // --- Administration. Ids are 1 .. 2^63-1; names must not be empty.
    // Errors: EINVAL bad argument; EEXIST id taken; ENOENT referenced
    // client/subclient/property missing; EIO database failure.
    CPelError AddClient(unsigned long id, const std::string& name);
    // policyId 0: no policy subclient.
    CPelError AddSubclient(unsigned long id, unsigned long clientId, const std::string& name,
                           unsigned long policyId);
    // Removes the subclient with all its properties.
    CPelError RemoveSubclient(unsigned long id);
    // Inserts or replaces the property's value (any bytes, also empty).
    CPelError SetProperty(unsigned long subclientId, const std::string& name, const std::string& value);
    CPelError RemoveProperty(unsigned long subclientId, const std::string& name);
    // Makes every change or, when one fails, none: the first failure's error
    // (with the texts the single methods give).
    CPelError Apply(const std::vector<ConfigChange>& changes);
    // 0 and the value; ZEL_PROP_NOT_FOUND; CONFIG_NO_SUBCLIENT; CONFIG_DB_ERROR.
    // value is left unchanged on any non-zero status.
    int GetProperty(unsigned long subclientId, const std::string& name, std::string& value);
    // Every subclient, ordered by id. On a database failure: empty, and the
    // error in *error when given.
    std::vector<SubclientRecord> ListSubclients(CPelError* error = nullptr);
    // (name, value) of every property of the subclient, ordered by name.
    std::vector<std::pair<std::string, std::string>> ListProperties(unsigned long subclientId,
                                                                    CPelError* error = nullptr);

    // --- Store ownership. A store (named without a leading "/") belongs to
    // the subclient that claimed it until that subclient is removed or the
    // store released; un-exporting a share does not release it.
    // 0 and the owner; ZEL_PROP_NOT_FOUND when nobody owns it; CONFIG_DB_ERROR.
    int FindStoreOwner(const std::string& store, unsigned long& subclientId);
    // Makes subclientId the owner; nothing changes when it owns the store
    // already. Errors: EINVAL empty name or bad id; EEXIST another subclient
    // owns it (the message names it); ENOENT no such subclient; EIO.
    CPelError ClaimStore(const std::string& store, unsigned long subclientId);
    // Errors: ENOENT the subclient does not own the store; EIO.
    CPelError ReleaseStore(const std::string& store, unsigned long subclientId);
    // (store, owner) of every owned store, ordered by store. 0 or CONFIG_DB_ERROR.
    int ListStoreOwners(std::vector<std::pair<std::string, unsigned long>>& out);

    // --- Reads and writes of the client classes (statuses of ConfigStatus.h).
    // 0 and the record; ZEL_SUBCLIENT_NOT_FOUND; CONFIG_DB_ERROR.
    int FindSubclient(unsigned long id, SubclientRecord& record);
    // (subclient id, value) of every subclient where the property is set and
    // not empty, ordered by subclient id. 0 or CONFIG_DB_ERROR.
    int ListPropertyValues(const std::string& name,
                           std::vector<std::pair<unsigned long, std::string>>& out);
    // Records the index cache's state. 0, CONFIG_BAD_REQUEST (id 0 or too
    // large) or CONFIG_DB_ERROR.
    int SetIndexCacheState(unsigned long cacheId, const std::string& clientName, bool online, int flags);
    // 0 and the last recorded state; ZEL_PROP_NOT_FOUND when never recorded;
    // CONFIG_DB_ERROR.
    int GetIndexCacheState(unsigned long cacheId, bool& online);

    // --- Test seams (see CallRecorder). An override makes the client
    // operation of that name, for that subclient id, return status without
    // doing its work until ClearStatusOverrides.
    void SetStatusOverride(unsigned long subclientId, const std::string& operation, int status);
    void ClearStatusOverrides();
    uint64_t CallCount(unsigned long subclientId, const std::string& operation) const;
    std::vector<ConfigCall> CallLog() const;
    void ClearCallLog();
    // Where the client classes report each operation before doing it.
    CallRecorder& Calls() { return calls_; }
    // Called with each statement before it runs (ConfigBackend's seam), on
    // this and every later connection; an empty function removes it.
    void SetStatementHook(std::function<void(const std::string& sql)> hook);

private:
    ConfigDatabase() = default;
    ~ConfigDatabase() = default;

    // Requires mutex_. The open backend, opening the default lazily; null
    // (and openError_ says why) when that fails.
    ConfigBackend* Backend();
    // Runs one read: CONFIG_OK, or CONFIG_DB_ERROR with *error when given.
    int Read(const std::string& sql, const std::vector<SqlValue>& params, std::vector<SqlRow>& rows,
             CPelError* error = nullptr);

    mutable std::mutex mutex_;
    std::unique_ptr<ConfigBackend> backend_;  // guarded by mutex_
    std::string path_;                        // guarded by mutex_
    CPelError openError_;                     // guarded by mutex_; why the last lazy open failed
    std::function<void(const std::string&)> hook_;  // guarded by mutex_
    CallRecorder calls_;                      // has its own lock
};
