#include "configclient/ConfigDatabase.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "configclient/ConfigSchema.h"
#include "configclient/ConfigStatus.h"
#include "configclient/MessageCache.h"
#include "configclient/Subclient.h"
#include "platform/ZelDataDir.h"

namespace {

using Outcome = SqlResult::Outcome;

// Ids are stored as signed 64-bit integers; 0 means "none".
bool ValidId(unsigned long id) {
    return id != 0 && id <= static_cast<unsigned long>(INT64_MAX);
}

SqlValue Key(unsigned long id) {
    return SqlValue::Int(static_cast<int64_t>(id));
}

unsigned long IdOf(const SqlValue& value) {
    return static_cast<unsigned long>(value.integer);
}

std::string TextOf(const SqlValue& value) {
    return value.type == SqlValue::Type::kInteger ? std::to_string(value.integer) : value.bytes;
}

CPelError InvalidId(const char* kind, unsigned long id) {
    return CPelError(EINVAL, std::string("invalid ") + kind + " id " + std::to_string(id));
}

std::string Id(unsigned long id) {
    return std::to_string(id);
}

// mkdir -p of the directory part of path; failures show up when SQLite opens.
void MakeParentDirs(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
    }
}

// The argument checks of a change, before any database work.
CPelError Validate(const ConfigChange& change) {
    using Kind = ConfigChange::Kind;
    switch (change.kind) {
        case Kind::kAddClient:
            if (!ValidId(change.id)) return InvalidId("client", change.id);
            if (change.name.empty()) return CPelError(EINVAL, "empty client name");
            break;
        case Kind::kAddSubclient:
            if (!ValidId(change.id)) return InvalidId("subclient", change.id);
            if (!ValidId(change.clientId)) return InvalidId("client", change.clientId);
            if (change.policyId != 0 && !ValidId(change.policyId)) {
                return InvalidId("policy subclient", change.policyId);
            }
            if (change.name.empty()) return CPelError(EINVAL, "empty subclient name");
            break;
        case Kind::kRemoveSubclient:
        case Kind::kRemoveProperty:
            if (!ValidId(change.id)) return InvalidId("subclient", change.id);
            break;
        case Kind::kSetProperty:
            if (!ValidId(change.id)) return InvalidId("subclient", change.id);
            if (change.name.empty()) return CPelError(EINVAL, "empty property name");
            break;
        case Kind::kClaimStore:
            if (!ValidId(change.id)) return InvalidId("subclient", change.id);
            if (change.name.empty()) return CPelError(EINVAL, "empty store name");
            break;
        case Kind::kReleaseStore:
            break;
    }
    return CPelError::Success();
}

// Stops the transaction: failure says why.
SqlResult Refuse(CPelError& failure, int errNo, const std::string& text) {
    failure = CPelError(errNo, text);
    return SqlResult::Fail(Outcome::kFailed, text);
}

// A failed statement: a lost connection goes up as it is (the unit may run
// again); anything else ends the transaction with EIO and what failed.
SqlResult Failed(const SqlResult& result, CPelError& failure, const std::string& what) {
    failure = CPelError(EIO, what + ": " + result.message);
    return result;
}

SqlResult ApplyOne(ConfigBackend& db, const ConfigChange& change, CPelError& failure) {
    using Kind = ConfigChange::Kind;
    int64_t changed = 0;
    SqlResult result;
    switch (change.kind) {
        case Kind::kAddClient:
            result = db.Execute("INSERT INTO clients(id, name) VALUES($1, $2)",
                                {Key(change.id), SqlValue::Bytes(change.name)});
            if (result.outcome == Outcome::kUniqueViolation) {
                return Refuse(failure, EEXIST, "client " + Id(change.id) + " already exists");
            }
            return result.ok() ? result : Failed(result, failure, "cannot add client " + Id(change.id));
        case Kind::kAddSubclient:
            result = db.Execute(
                "INSERT INTO subclients(id, client_id, name, policy_subclient_id) VALUES($1, $2, $3, $4)",
                {Key(change.id), Key(change.clientId), SqlValue::Bytes(change.name),
                 change.policyId != 0 ? Key(change.policyId) : SqlValue::Null()});
            if (result.outcome == Outcome::kUniqueViolation) {
                return Refuse(failure, EEXIST, "subclient " + Id(change.id) + " already exists");
            }
            if (result.outcome == Outcome::kForeignKeyViolation) {
                return Refuse(failure, ENOENT, "client " + Id(change.clientId) + " does not exist");
            }
            return result.ok() ? result : Failed(result, failure, "cannot add subclient " + Id(change.id));
        case Kind::kRemoveSubclient:
            result = db.Execute("DELETE FROM subclients WHERE id = $1", {Key(change.id)}, nullptr, &changed);
            if (!result.ok()) return Failed(result, failure, "cannot remove subclient " + Id(change.id));
            if (changed == 0) return Refuse(failure, ENOENT, "subclient " + Id(change.id) + " does not exist");
            return result;
        case Kind::kSetProperty:
            result = db.Execute(
                "INSERT INTO properties(subclient_id, name, value) VALUES($1, $2, $3) "
                "ON CONFLICT(subclient_id, name) DO UPDATE SET value = excluded.value",
                {Key(change.id), SqlValue::Bytes(change.name), SqlValue::Bytes(change.value)});
            if (result.outcome == Outcome::kForeignKeyViolation) {
                return Refuse(failure, ENOENT, "subclient " + Id(change.id) + " does not exist");
            }
            return result.ok() ? result : Failed(result, failure, "cannot set property " + change.name);
        case Kind::kRemoveProperty:
            result = db.Execute("DELETE FROM properties WHERE subclient_id = $1 AND name = $2",
                                {Key(change.id), SqlValue::Bytes(change.name)}, nullptr, &changed);
            if (!result.ok()) return Failed(result, failure, "cannot remove property " + change.name);
            if (changed == 0) {
                return Refuse(failure, ENOENT,
                              "property " + change.name + " of subclient " + Id(change.id) + " is not set");
            }
            return result;
        case Kind::kClaimStore: {
            std::vector<SqlRow> rows;
            result = db.Execute("SELECT subclient_id FROM store_owners WHERE store = $1",
                                {SqlValue::Bytes(change.name)}, &rows);
            if (!result.ok()) return Failed(result, failure, "cannot claim store " + change.name);
            if (!rows.empty()) {
                const unsigned long owner = IdOf(rows[0][0]);
                if (owner == change.id) return result;
                return Refuse(failure, EEXIST, "store [" + change.name + "] belongs to subclient " + Id(owner));
            }
            result = db.Execute("INSERT INTO store_owners(store, subclient_id) VALUES($1, $2)",
                                {SqlValue::Bytes(change.name), Key(change.id)});
            if (result.outcome == Outcome::kForeignKeyViolation) {
                return Refuse(failure, ENOENT, "subclient " + Id(change.id) + " does not exist");
            }
            if (result.outcome == Outcome::kUniqueViolation) {
                return Refuse(failure, EEXIST, "store [" + change.name + "] was just claimed");
            }
            return result.ok() ? result : Failed(result, failure, "cannot claim store " + change.name);
        }
        case Kind::kReleaseStore:
            result = db.Execute("DELETE FROM store_owners WHERE store = $1 AND subclient_id = $2",
                                {SqlValue::Bytes(change.name), Key(change.id)}, nullptr, &changed);
            if (!result.ok()) return Failed(result, failure, "cannot release store " + change.name);
            if (changed == 0) {
                return Refuse(failure, ENOENT,
                              "subclient " + Id(change.id) + " does not own store [" + change.name + "]");
            }
            return result;
    }
    return result;
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

CPelError ConfigDatabase::Open(const std::string& path, bool migrate) {
    std::unique_ptr<ConfigBackend> opened;
    CPelError error = ConfigBackend::Connect(path, opened);
    if (!error.IsError()) error = ConfigSchema::Prepare(*opened, migrate);
    if (error.IsError()) return error;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        opened->SetStatementHook(hook_);
        std::swap(backend_, opened);
        path_ = path;
    }
    opened.reset();
    // Values cached from another database would be wrong now.
    MessageCache::Instance().Drop();
    return CPelError::Success();
}

void ConfigDatabase::Close() {
    std::unique_ptr<ConfigBackend> closing;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::swap(backend_, closing);
        path_.clear();
    }
    closing.reset();
    MessageCache::Instance().Drop();
}

std::string ConfigDatabase::Path() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_;
}

std::string ConfigDatabase::Describe() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ConfigBackend::Describe(path_);
}

void ConfigDatabase::SetStatementHook(std::function<void(const std::string& sql)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
    if (backend_) backend_->SetStatementHook(hook_);
}

ConfigBackend* ConfigDatabase::Backend() {
    if (backend_) return backend_.get();
    const std::string path = DefaultPath();
    if (!ConfigBackend::IsPostgresLocation(path)) MakeParentDirs(path);
    std::unique_ptr<ConfigBackend> opened;
    openError_ = ConfigBackend::Connect(path, opened);
    if (!openError_.IsError()) openError_ = ConfigSchema::Prepare(*opened);
    if (openError_.IsError()) return nullptr;
    opened->SetStatementHook(hook_);
    backend_ = std::move(opened);
    path_ = path;
    return backend_.get();
}

int ConfigDatabase::Read(const std::string& sql, const std::vector<SqlValue>& params, std::vector<SqlRow>& rows,
                         CPelError* error) {
    ConfigBackend* db = Backend();
    if (db == nullptr) {
        if (error != nullptr) *error = openError_;
        return CONFIG_DB_ERROR;
    }
    const SqlResult result = db->Run([&]() {
        rows.clear();
        return db->Execute(sql, params, &rows);
    });
    if (result.ok()) return CONFIG_OK;
    rows.clear();
    if (error != nullptr) *error = CPelError(EIO, "configuration database read failed: " + result.message);
    return CONFIG_DB_ERROR;
}

CPelError ConfigDatabase::Apply(const std::vector<ConfigChange>& changes) {
    for (const ConfigChange& change : changes) {
        const CPelError invalid = Validate(change);
        if (invalid.IsError()) return invalid;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ConfigBackend* db = Backend();
    if (db == nullptr) return openError_;
    CPelError failure;
    const SqlResult result = db->Run([&]() {
        failure = CPelError::Success();
        return db->Transaction([&]() {
            for (const ConfigChange& change : changes) {
                const SqlResult step = ApplyOne(*db, change, failure);
                if (!step.ok()) return step;
            }
            return SqlResult::Ok();
        });
    });
    if (result.ok()) return CPelError::Success();
    if (result.outcome == Outcome::kCommitUnknown) {
        return CPelError(EIO, "the connection to the configuration database was lost while committing: "
                              "the change was made whole or not at all; check before trying again");
    }
    if (failure.IsError()) return failure;
    return CPelError(EIO, "configuration database failed: " + result.message);
}

CPelError ConfigDatabase::AddClient(unsigned long id, const std::string& name) {
    return Apply({ConfigChange::AddClient(id, name)});
}

CPelError ConfigDatabase::AddSubclient(unsigned long id, unsigned long clientId, const std::string& name,
                                       unsigned long policyId) {
    return Apply({ConfigChange::AddSubclient(id, clientId, name, policyId)});
}

CPelError ConfigDatabase::RemoveSubclient(unsigned long id) {
    return Apply({ConfigChange::RemoveSubclient(id)});
}

CPelError ConfigDatabase::SetProperty(unsigned long subclientId, const std::string& name,
                                      const std::string& value) {
    return Apply({ConfigChange::SetProperty(subclientId, name, value)});
}

CPelError ConfigDatabase::RemoveProperty(unsigned long subclientId, const std::string& name) {
    return Apply({ConfigChange::RemoveProperty(subclientId, name)});
}

CPelError ConfigDatabase::ClaimStore(const std::string& store, unsigned long subclientId) {
    return Apply({ConfigChange::ClaimStore(store, subclientId)});
}

CPelError ConfigDatabase::ReleaseStore(const std::string& store, unsigned long subclientId) {
    return Apply({ConfigChange::ReleaseStore(store, subclientId)});
}

int ConfigDatabase::GetProperty(unsigned long subclientId, const std::string& name, std::string& value) {
    if (!ValidId(subclientId)) return CONFIG_NO_SUBCLIENT;
    std::lock_guard<std::mutex> lock(mutex_);
    // One query tells a missing subclient (no row) from a missing property (NULL).
    std::vector<SqlRow> rows;
    const int status = Read("SELECT p.value FROM subclients s LEFT JOIN properties p "
                            "ON p.subclient_id = s.id AND p.name = $2 WHERE s.id = $1",
                            {Key(subclientId), SqlValue::Bytes(name)}, rows);
    if (status != CONFIG_OK) return status;
    if (rows.empty()) return CONFIG_NO_SUBCLIENT;
    if (rows[0][0].IsNull()) return ZEL_PROP_NOT_FOUND;
    value = TextOf(rows[0][0]);
    return CONFIG_OK;
}

namespace {

const char kSelectSubclients[] =
    "SELECT s.id, s.client_id, s.name, c.name, s.policy_subclient_id "
    "FROM subclients s JOIN clients c ON c.id = s.client_id ";

SubclientRecord ReadSubclient(const SqlRow& row) {
    SubclientRecord record;
    record.id = IdOf(row[0]);
    record.clientId = IdOf(row[1]);
    record.name = TextOf(row[2]);
    record.clientName = TextOf(row[3]);
    record.policyId = row[4].IsNull() ? 0 : IdOf(row[4]);
    return record;
}

}  // namespace

std::vector<SubclientRecord> ConfigDatabase::ListSubclients(CPelError* error) {
    std::vector<SubclientRecord> records;
    std::vector<SqlRow> rows;
    CPelError result;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Read(std::string(kSelectSubclients) + "ORDER BY s.id", {}, rows, &result);
    }
    for (const SqlRow& row : rows) records.push_back(ReadSubclient(row));
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
        result = CPelError(ENOENT, "subclient " + Id(subclientId) + " does not exist");
    } else if (found != CONFIG_OK) {
        result = CPelError(EIO, "cannot read subclient " + Id(subclientId));
    } else {
        std::vector<SqlRow> rows;
        std::lock_guard<std::mutex> lock(mutex_);
        if (Read("SELECT name, value FROM properties WHERE subclient_id = $1 ORDER BY name", {Key(subclientId)},
                 rows) != CONFIG_OK) {
            result = CPelError(EIO, "cannot list properties");
        }
        for (const SqlRow& row : rows) properties.emplace_back(TextOf(row[0]), TextOf(row[1]));
    }
    if (error != nullptr) *error = result;
    return properties;
}

int ConfigDatabase::FindSubclient(unsigned long id, SubclientRecord& record) {
    if (!ValidId(id)) return ZEL_SUBCLIENT_NOT_FOUND;
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SqlRow> rows;
    const int status = Read(std::string(kSelectSubclients) + "WHERE s.id = $1", {Key(id)}, rows);
    if (status != CONFIG_OK) return status;
    if (rows.empty()) return ZEL_SUBCLIENT_NOT_FOUND;
    record = ReadSubclient(rows[0]);
    return CONFIG_OK;
}

int ConfigDatabase::ListPropertyValues(const std::string& name,
                                       std::vector<std::pair<unsigned long, std::string>>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SqlRow> rows;
    const int status = Read("SELECT subclient_id, value FROM properties WHERE name = $1 AND value <> '' "
                            "ORDER BY subclient_id",
                            {SqlValue::Bytes(name)}, rows);
    if (status != CONFIG_OK) return status;
    out.clear();
    for (const SqlRow& row : rows) out.emplace_back(IdOf(row[0]), TextOf(row[1]));
    return CONFIG_OK;
}

int ConfigDatabase::FindStoreOwner(const std::string& store, unsigned long& subclientId) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SqlRow> rows;
    const int status =
        Read("SELECT subclient_id FROM store_owners WHERE store = $1", {SqlValue::Bytes(store)}, rows);
    if (status != CONFIG_OK) return status;
    if (rows.empty()) return ZEL_PROP_NOT_FOUND;
    subclientId = IdOf(rows[0][0]);
    return CONFIG_OK;
}

int ConfigDatabase::ListStoreOwners(std::vector<std::pair<std::string, unsigned long>>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SqlRow> rows;
    const int status = Read("SELECT store, subclient_id FROM store_owners ORDER BY store", {}, rows);
    if (status != CONFIG_OK) return status;
    out.clear();
    for (const SqlRow& row : rows) out.emplace_back(TextOf(row[0]), IdOf(row[1]));
    return CONFIG_OK;
}

int ConfigDatabase::SetIndexCacheState(unsigned long cacheId, const std::string& clientName, bool online,
                                       int flags) {
    if (!ValidId(cacheId)) return CONFIG_BAD_REQUEST;
    std::lock_guard<std::mutex> lock(mutex_);
    ConfigBackend* db = Backend();
    if (db == nullptr) return CONFIG_DB_ERROR;
    const SqlResult result = db->Run([&]() {
        return db->Transaction([&]() {
            return db->Execute(
                "INSERT INTO index_cache(cache_id, client_name, online, flags, updated_at) "
                "VALUES($1, $2, $3, $4, $5) ON CONFLICT(cache_id) DO UPDATE SET "
                "client_name = excluded.client_name, online = excluded.online, "
                "flags = excluded.flags, updated_at = excluded.updated_at",
                {Key(cacheId), SqlValue::Bytes(clientName), SqlValue::Int(online ? 1 : 0), SqlValue::Int(flags),
                 SqlValue::Int(static_cast<int64_t>(time(nullptr)))});
        });
    });
    return result.ok() ? CONFIG_OK : CONFIG_DB_ERROR;
}

int ConfigDatabase::GetIndexCacheState(unsigned long cacheId, bool& online) {
    if (!ValidId(cacheId)) return ZEL_PROP_NOT_FOUND;
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SqlRow> rows;
    const int status = Read("SELECT online FROM index_cache WHERE cache_id = $1", {Key(cacheId)}, rows);
    if (status != CONFIG_OK) return status;
    if (rows.empty()) return ZEL_PROP_NOT_FOUND;
    online = rows[0][0].integer != 0;
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
