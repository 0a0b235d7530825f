#include "configclient/ConfigDatabase.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "configclient/ConfigSchema.h"
#include "configclient/ConfigStatus.h"
#include "configclient/MessageCache.h"
#include "configclient/SqliteStatement.h"
#include "configclient/Subclient.h"
#include "platform/ZelDataDir.h"

namespace {

// Ids are stored as SQLite's signed 64-bit integers; 0 means "none".
bool ValidId(unsigned long id) {
    return id != 0 && id <= static_cast<unsigned long>(INT64_MAX);
}

int64_t Key(unsigned long id) {
    return static_cast<int64_t>(id);
}

CPelError SqlError(sqlite3* db, const std::string& what) {
    return CPelError(EIO, what + ": " + sqlite3_errmsg(db));
}

CPelError InvalidId(const char* kind, unsigned long id) {
    return CPelError(EINVAL, std::string("invalid ") + kind + " id " + std::to_string(id));
}

// mkdir -p of the directory part of path; failures show up when SQLite opens.
void MakeParentDirs(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
    }
}

}  // namespace

ConfigDatabase& ConfigDatabase::Instance() {
    static ConfigDatabase* instance = new ConfigDatabase();
    return *instance;
}

std::string ConfigDatabase::DefaultPath() {
    const char* env = getenv("QUAY_CONFIG_DB");
    if (env != nullptr && *env != '\0') return env;
    return ZelDataDir() + "/config.db";
}

CPelError ConfigDatabase::Open(const std::string& path) {
    sqlite3* opened = nullptr;
    CPelError error = ConfigSchema::OpenConnection(path, opened);
    if (error.IsError()) return error;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::swap(db_, opened);
        path_ = path;
    }
    sqlite3_close_v2(opened);
    // Values cached from another database would be wrong now.
    MessageCache::Instance().Drop();
    return CPelError::Success();
}

void ConfigDatabase::Close() {
    sqlite3* closing = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::swap(db_, closing);
        path_.clear();
    }
    sqlite3_close_v2(closing);
    MessageCache::Instance().Drop();
}

std::string ConfigDatabase::Path() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_;
}

sqlite3* ConfigDatabase::Connection() {
    if (db_ != nullptr) return db_;
    const std::string path = DefaultPath();
    MakeParentDirs(path);
    openError_ = ConfigSchema::OpenConnection(path, db_);
    if (!openError_.IsError()) path_ = path;
    return db_;
}

CPelError ConfigDatabase::AddClient(unsigned long id, const std::string& name) {
    if (!ValidId(id)) return InvalidId("client", id);
    if (name.empty()) return CPelError(EINVAL, "empty client name");
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = Connection();
    if (db == nullptr) return openError_;
    SqliteStatement insert(db, "INSERT INTO clients(id, name) VALUES(?1, ?2)");
    insert.BindInt64(1, Key(id));
    insert.BindText(2, name);
    const int rc = insert.Run();
    if (rc == SQLITE_DONE) return CPelError::Success();
    if (rc == SQLITE_CONSTRAINT_PRIMARYKEY) {
        return CPelError(EEXIST, "client " + std::to_string(id) + " already exists");
    }
    return SqlError(db, "cannot add client " + std::to_string(id));
}

CPelError ConfigDatabase::AddSubclient(unsigned long id, unsigned long clientId, const std::string& name,
                                       unsigned long policyId) {
    if (!ValidId(id)) return InvalidId("subclient", id);
    if (!ValidId(clientId)) return InvalidId("client", clientId);
    if (policyId != 0 && !ValidId(policyId)) return InvalidId("policy subclient", policyId);
    if (name.empty()) return CPelError(EINVAL, "empty subclient name");
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = Connection();
    if (db == nullptr) return openError_;
    SqliteStatement insert(db,
                           "INSERT INTO subclients(id, client_id, name, policy_subclient_id) "
                           "VALUES(?1, ?2, ?3, ?4)");
    insert.BindInt64(1, Key(id));
    insert.BindInt64(2, Key(clientId));
    insert.BindText(3, name);
    if (policyId != 0) {
        insert.BindInt64(4, Key(policyId));
    } else {
        insert.BindNull(4);
    }
    const int rc = insert.Run();
    if (rc == SQLITE_DONE) return CPelError::Success();
    if (rc == SQLITE_CONSTRAINT_PRIMARYKEY) {
        return CPelError(EEXIST, "subclient " + std::to_string(id) + " already exists");
    }
    if (rc == SQLITE_CONSTRAINT_FOREIGNKEY) {
        return CPelError(ENOENT, "client " + std::to_string(clientId) + " does not exist");
    }
    return SqlError(db, "cannot add subclient " + std::to_string(id));
}

CPelError ConfigDatabase::RemoveSubclient(unsigned long id) {
    if (!ValidId(id)) return InvalidId("subclient", id);
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = Connection();
    if (db == nullptr) return openError_;
    SqliteStatement remove(db, "DELETE FROM subclients WHERE id = ?1");
    remove.BindInt64(1, Key(id));
    if (remove.Run() != SQLITE_DONE) return SqlError(db, "cannot remove subclient " + std::to_string(id));
    if (sqlite3_changes(db) == 0) {
        return CPelError(ENOENT, "subclient " + std::to_string(id) + " does not exist");
    }
    return CPelError::Success();
}

CPelError ConfigDatabase::SetProperty(unsigned long subclientId, const std::string& name,
                                      const std::string& value) {
    if (!ValidId(subclientId)) return InvalidId("subclient", subclientId);
    if (name.empty()) return CPelError(EINVAL, "empty property name");
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = Connection();
    if (db == nullptr) return openError_;
    SqliteStatement upsert(db,
                           "INSERT INTO properties(subclient_id, name, value) VALUES(?1, ?2, ?3) "
                           "ON CONFLICT(subclient_id, name) DO UPDATE SET value = excluded.value");
    upsert.BindInt64(1, Key(subclientId));
    upsert.BindText(2, name);
    upsert.BindText(3, value);
    const int rc = upsert.Run();
    if (rc == SQLITE_DONE) return CPelError::Success();
    if (rc == SQLITE_CONSTRAINT_FOREIGNKEY) {
        return CPelError(ENOENT, "subclient " + std::to_string(subclientId) + " does not exist");
    }
    return SqlError(db, "cannot set property " + name);
}

CPelError ConfigDatabase::RemoveProperty(unsigned long subclientId, const std::string& name) {
    if (!ValidId(subclientId)) return InvalidId("subclient", subclientId);
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = Connection();
    if (db == nullptr) return openError_;
    SqliteStatement remove(db, "DELETE FROM properties WHERE subclient_id = ?1 AND name = ?2");
    remove.BindInt64(1, Key(subclientId));
    remove.BindText(2, name);
    if (remove.Run() != SQLITE_DONE) return SqlError(db, "cannot remove property " + name);
    if (sqlite3_changes(db) == 0) {
        return CPelError(ENOENT, "property " + name + " of subclient " + std::to_string(subclientId) +
                                     " is not set");
    }
    return CPelError::Success();
}

int ConfigDatabase::GetProperty(unsigned long subclientId, const std::string& name, std::string& value) {
    if (!ValidId(subclientId)) return CONFIG_NO_SUBCLIENT;
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = Connection();
    if (db == nullptr) return CONFIG_DB_ERROR;
    // One query tells a missing subclient (no row) from a missing property (NULL).
    SqliteStatement select(db,
                           "SELECT p.value FROM subclients s LEFT JOIN properties p "
                           "ON p.subclient_id = s.id AND p.name = ?2 WHERE s.id = ?1");
    select.BindInt64(1, Key(subclientId));
    select.BindText(2, name);
    const int rc = select.Step();
    if (rc == SQLITE_DONE) return CONFIG_NO_SUBCLIENT;
    if (rc != SQLITE_ROW) return CONFIG_DB_ERROR;
    if (select.ColumnIsNull(0)) return ZEL_PROP_NOT_FOUND;
    value = select.ColumnText(0);
    return CONFIG_OK;
}

namespace {

const char kSelectSubclients[] =
    "SELECT s.id, s.client_id, s.name, c.name, s.policy_subclient_id "
    "FROM subclients s JOIN clients c ON c.id = s.client_id ";

SubclientRecord ReadSubclient(const SqliteStatement& row) {
    SubclientRecord record;
    record.id = static_cast<unsigned long>(row.ColumnInt64(0));
    record.clientId = static_cast<unsigned long>(row.ColumnInt64(1));
    record.name = row.ColumnText(2);
    record.clientName = row.ColumnText(3);
    record.policyId = row.ColumnIsNull(4) ? 0 : static_cast<unsigned long>(row.ColumnInt64(4));
    return record;
}

}  // namespace

std::vector<SubclientRecord> ConfigDatabase::ListSubclients(CPelError* error) {
    std::vector<SubclientRecord> records;
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = Connection();
    CPelError result = openError_;
    if (db != nullptr) {
        SqliteStatement select(db, (std::string(kSelectSubclients) + "ORDER BY s.id").c_str());
        int rc = select.Step();
        for (; rc == SQLITE_ROW; rc = select.Step()) records.push_back(ReadSubclient(select));
        result = rc == SQLITE_DONE ? CPelError::Success() : SqlError(db, "cannot list subclients");
    }
    if (result.IsError()) records.clear();
    if (error != nullptr) *error = result;
    return records;
}

std::vector<std::pair<std::string, std::string>> ConfigDatabase::ListProperties(unsigned long subclientId,
                                                                                CPelError* error) {
    std::vector<std::pair<std::string, std::string>> properties;
    SubclientRecord record;
    const int found = FindSubclient(subclientId, record);
    CPelError result;
    if (found == ZEL_SUBCLIENT_NOT_FOUND) {
        result = CPelError(ENOENT, "subclient " + std::to_string(subclientId) + " does not exist");
    } else if (found != CONFIG_OK) {
        result = CPelError(EIO, "cannot read subclient " + std::to_string(subclientId));
    } else {
        std::lock_guard<std::mutex> lock(mutex_);
        sqlite3* db = Connection();
        SqliteStatement select(db, "SELECT name, value FROM properties WHERE subclient_id = ?1 ORDER BY name");
        select.BindInt64(1, Key(subclientId));
        int rc = select.Step();
        for (; rc == SQLITE_ROW; rc = select.Step()) {
            properties.emplace_back(select.ColumnText(0), select.ColumnText(1));
        }
        if (rc != SQLITE_DONE) result = CPelError(EIO, "cannot list properties");
    }
    if (result.IsError()) properties.clear();
    if (error != nullptr) *error = result;
    return properties;
}

int ConfigDatabase::FindSubclient(unsigned long id, SubclientRecord& record) {
    if (!ValidId(id)) return ZEL_SUBCLIENT_NOT_FOUND;
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = Connection();
    if (db == nullptr) return CONFIG_DB_ERROR;
    SqliteStatement select(db, (std::string(kSelectSubclients) + "WHERE s.id = ?1").c_str());
    select.BindInt64(1, Key(id));
    const int rc = select.Step();
    if (rc == SQLITE_DONE) return ZEL_SUBCLIENT_NOT_FOUND;
    if (rc != SQLITE_ROW) return CONFIG_DB_ERROR;
    record = ReadSubclient(select);
    return CONFIG_OK;
}

int ConfigDatabase::ListPropertyValues(const std::string& name,
                                       std::vector<std::pair<unsigned long, std::string>>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = Connection();
    if (db == nullptr) return CONFIG_DB_ERROR;
    SqliteStatement select(db,
                           "SELECT subclient_id, value FROM properties WHERE name = ?1 AND value <> '' "
                           "ORDER BY subclient_id");
    select.BindText(1, name);
    std::vector<std::pair<unsigned long, std::string>> rows;
    int rc = select.Step();
    for (; rc == SQLITE_ROW; rc = select.Step()) {
        rows.emplace_back(static_cast<unsigned long>(select.ColumnInt64(0)), select.ColumnText(1));
    }
    if (rc != SQLITE_DONE) return CONFIG_DB_ERROR;
    out.swap(rows);
    return CONFIG_OK;
}

int ConfigDatabase::FindStoreOwner(const std::string& store, unsigned long& subclientId) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = Connection();
    if (db == nullptr) return CONFIG_DB_ERROR;
    SqliteStatement select(db, "SELECT subclient_id FROM store_owners WHERE store = ?1");
    select.BindText(1, store);
    const int rc = select.Step();
    if (rc == SQLITE_DONE) return ZEL_PROP_NOT_FOUND;
    if (rc != SQLITE_ROW) return CONFIG_DB_ERROR;
    subclientId = static_cast<unsigned long>(select.ColumnInt64(0));
    return CONFIG_OK;
}

CPelError ConfigDatabase::ClaimStore(const std::string& store, unsigned long subclientId) {
    if (!ValidId(subclientId)) return InvalidId("subclient", subclientId);
    if (store.empty()) return CPelError(EINVAL, "empty store name");
    unsigned long owner = 0;
    const int found = FindStoreOwner(store, owner);
    if (found == CONFIG_OK) {
        if (owner == subclientId) return CPelError::Success();
        return CPelError(EEXIST, "store [" + store + "] belongs to subclient " + std::to_string(owner));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = Connection();
    if (db == nullptr) return openError_;
    SqliteStatement insert(db, "INSERT INTO store_owners(store, subclient_id) VALUES(?1, ?2)");
    insert.BindText(1, store);
    insert.BindInt64(2, Key(subclientId));
    const int rc = insert.Run();
    if (rc == SQLITE_DONE) return CPelError::Success();
    if (rc == SQLITE_CONSTRAINT_FOREIGNKEY) {
        return CPelError(ENOENT, "subclient " + std::to_string(subclientId) + " does not exist");
    }
    if (rc == SQLITE_CONSTRAINT_PRIMARYKEY) return CPelError(EEXIST, "store [" + store + "] was just claimed");
    return SqlError(db, "cannot claim store " + store);
}

CPelError ConfigDatabase::ReleaseStore(const std::string& store, unsigned long subclientId) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = Connection();
    if (db == nullptr) return openError_;
    SqliteStatement remove(db, "DELETE FROM store_owners WHERE store = ?1 AND subclient_id = ?2");
    remove.BindText(1, store);
    remove.BindInt64(2, Key(subclientId));
    if (remove.Run() != SQLITE_DONE) return SqlError(db, "cannot release store " + store);
    if (sqlite3_changes(db) == 0) {
        return CPelError(ENOENT, "subclient " + std::to_string(subclientId) + " does not own store [" + store + "]");
    }
    return CPelError::Success();
}

int ConfigDatabase::ListStoreOwners(std::vector<std::pair<std::string, unsigned long>>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = Connection();
    if (db == nullptr) return CONFIG_DB_ERROR;
    SqliteStatement select(db, "SELECT store, subclient_id FROM store_owners ORDER BY store");
    std::vector<std::pair<std::string, unsigned long>> rows;
    int rc = select.Step();
    for (; rc == SQLITE_ROW; rc = select.Step()) {
        rows.emplace_back(select.ColumnText(0), static_cast<unsigned long>(select.ColumnInt64(1)));
    }
    if (rc != SQLITE_DONE) return CONFIG_DB_ERROR;
    out.swap(rows);
    return CONFIG_OK;
}

int ConfigDatabase::SetIndexCacheState(unsigned long cacheId, const std::string& clientName, bool online,
                                       int flags) {
    if (!ValidId(cacheId)) return CONFIG_BAD_REQUEST;
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = Connection();
    if (db == nullptr) return CONFIG_DB_ERROR;
    SqliteStatement upsert(db,
                           "INSERT INTO index_cache(cache_id, client_name, online, flags, updated_at) "
                           "VALUES(?1, ?2, ?3, ?4, ?5) ON CONFLICT(cache_id) DO UPDATE SET "
                           "client_name = excluded.client_name, online = excluded.online, "
                           "flags = excluded.flags, updated_at = excluded.updated_at");
    upsert.BindInt64(1, Key(cacheId));
    upsert.BindText(2, clientName);
    upsert.BindInt64(3, online ? 1 : 0);
    upsert.BindInt64(4, flags);
    upsert.BindInt64(5, static_cast<int64_t>(time(nullptr)));
    return upsert.Run() == SQLITE_DONE ? CONFIG_OK : CONFIG_DB_ERROR;
}

int ConfigDatabase::GetIndexCacheState(unsigned long cacheId, bool& online) {
    if (!ValidId(cacheId)) return ZEL_PROP_NOT_FOUND;
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* db = Connection();
    if (db == nullptr) return CONFIG_DB_ERROR;
    SqliteStatement select(db, "SELECT online FROM index_cache WHERE cache_id = ?1");
    select.BindInt64(1, Key(cacheId));
    const int rc = select.Step();
    if (rc == SQLITE_DONE) return ZEL_PROP_NOT_FOUND;
    if (rc != SQLITE_ROW) return CONFIG_DB_ERROR;
    online = select.ColumnInt64(0) != 0;
    return CONFIG_OK;
}

void ConfigDatabase::SetStatusOverride(unsigned long subclientId, const std::string& operation, int status) {
    calls_.SetOverride(subclientId, operation, status);
}

void ConfigDatabase::ClearStatusOverrides() {
    calls_.ClearOverrides();
}

uint64_t ConfigDatabase::CallCount(unsigned long subclientId, const std::string& operation) const {
    return calls_.Count(subclientId, operation);
}

std::vector<ConfigCall> ConfigDatabase::CallLog() const {
    return calls_.Log();
}

void ConfigDatabase::ClearCallLog() {
    calls_.ClearLog();
}
