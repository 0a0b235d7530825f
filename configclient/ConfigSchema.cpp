#include "configclient/ConfigSchema.h"

#include <sqlite3.h>

#include <cerrno>

#include "configclient/SqliteStatement.h"

namespace {

// Waits this long for another connection's lock (the daemon and an admin
// tool may share a file) before a statement fails with SQLITE_BUSY.
constexpr int kBusyTimeoutMs = 5000;

const char kTables[] =
    "CREATE TABLE IF NOT EXISTS clients("
    "  id INTEGER PRIMARY KEY,"
    "  name TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS subclients("
    "  id INTEGER PRIMARY KEY,"
    "  client_id INTEGER NOT NULL REFERENCES clients(id),"
    "  name TEXT NOT NULL,"
    "  policy_subclient_id INTEGER);"
    "CREATE TABLE IF NOT EXISTS properties("
    "  subclient_id INTEGER NOT NULL REFERENCES subclients(id) ON DELETE CASCADE,"
    "  name TEXT NOT NULL,"
    "  value TEXT NOT NULL,"
    "  PRIMARY KEY(subclient_id, name));"
    "CREATE INDEX IF NOT EXISTS properties_by_name ON properties(name);"
    "CREATE TABLE IF NOT EXISTS store_owners("
    "  store TEXT PRIMARY KEY,"
    "  subclient_id INTEGER NOT NULL REFERENCES subclients(id) ON DELETE CASCADE);"
    "CREATE INDEX IF NOT EXISTS store_owners_by_subclient ON store_owners(subclient_id);"
    "CREATE TABLE IF NOT EXISTS index_cache("
    "  cache_id INTEGER PRIMARY KEY,"
    "  client_name TEXT NOT NULL,"
    "  online INTEGER NOT NULL,"
    "  flags INTEGER NOT NULL,"
    "  updated_at INTEGER NOT NULL);";

// Version 1 knew owners only by quayObjectStoreName: each store goes to the
// lowest subclient id that names it.
const char kOwnersFromStoreNames[] =
    "INSERT OR IGNORE INTO store_owners(store, subclient_id) "
    "SELECT ltrim(value, '/'), subclient_id FROM properties "
    "WHERE name = 'quayObjectStoreName' AND ltrim(value, '/') <> '' ORDER BY subclient_id;";

CPelError SqlFailure(sqlite3* db, const std::string& what) {
    return CPelError(EIO, what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
}

}  // namespace

CPelError ConfigSchema::OpenConnection(const std::string& path, sqlite3*& db) {
    db = nullptr;
    if (path.empty()) return CPelError(EINVAL, "empty configuration database path");
    sqlite3* opened = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    CPelError error;
    if (sqlite3_open_v2(path.c_str(), &opened, flags, nullptr) != SQLITE_OK) {
        error = SqlFailure(opened, "cannot open configuration database " + path);
    } else {
        error = Prepare(opened, path == ":memory:");
    }
    if (error.IsError()) {
        sqlite3_close_v2(opened);
        return error;
    }
    db = opened;
    return CPelError::Success();
}

CPelError ConfigSchema::Prepare(sqlite3* db, bool inMemory) {
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    if (sqlite3_exec(db, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return SqlFailure(db, "cannot enable foreign keys");
    }
    // Reading the version first also rejects a file that is not a database.
    int64_t found = 0;
    {
        SqliteStatement version(db, "PRAGMA user_version");
        if (version.Step() != SQLITE_ROW) return SqlFailure(db, "cannot read configuration database");
        found = version.ColumnInt64(0);
    }
    if (found > kVersion) {
        return CPelError(ENOTSUP, "configuration database schema version " + std::to_string(found) +
                                      " is newer than " + std::to_string(kVersion));
    }
    if (!inMemory) {
        // WAL lets readers run beside the one writer; a file system without
        // it keeps the rollback journal, which is slower but still correct.
        sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    }
    return CreateTables(db, found);
}

CPelError ConfigSchema::CreateTables(sqlite3* db, int64_t found) {
    const std::string script = std::string("BEGIN IMMEDIATE;") + kTables + (found < 2 ? kOwnersFromStoreNames : "") +
                               "PRAGMA user_version=" + std::to_string(kVersion) + ";COMMIT;";
    if (sqlite3_exec(db, script.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        CPelError error = SqlFailure(db, "cannot create configuration schema");
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return error;
    }
    return CPelError::Success();
}
