#include "configclient/SqliteConfigBackend.h"

#include <poll.h>
#include <sqlite3.h>

#include <cerrno>

#include "configclient/SqlText.h"
#include "configclient/SqliteStatement.h"

namespace {

// Waits this long for another connection's lock (two processes may share a
// file) before a statement fails with SQLITE_BUSY.
constexpr int kBusyTimeoutMs = 5000;

}  // namespace

CPelError SqliteConfigBackend::Connect(const std::string& path, std::unique_ptr<ConfigBackend>& backend) {
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, "PRAGMA foreign_keys=ON", nullptr, nullptr, nullptr) != SQLITE_OK) {
        const std::string reason = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close_v2(db);
        return CPelError(EIO, "cannot open configuration database " + SqlText::Printable(path, kMaxErrorText) +
                                  ": " + reason);
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    if (path != ":memory:") {
        // WAL lets readers run beside the one writer; a file system without
        // it keeps the rollback journal, which is slower but still correct.
        sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    }
    backend.reset(new SqliteConfigBackend(path, db));
    return CPelError::Success();
}

SqliteConfigBackend::~SqliteConfigBackend() {
    sqlite3_close_v2(db_);
}

const char* SqliteConfigBackend::TypeName(ColumnType type) const {
    switch (type) {
        case ColumnType::kInteger:
            return "INTEGER";
        case ColumnType::kBytes:
            return "TEXT";
        case ColumnType::kIdentity:
            return "INTEGER PRIMARY KEY";
    }
    return "";
}

const char* SqliteConfigBackend::NowMs() const {
    return "CAST((julianday('now') - 2440587.5) * 86400000.0 AS INTEGER)";
}

SqlResult SqliteConfigBackend::Failure(int rc) const {
    if (rc == SQLITE_CONSTRAINT_PRIMARYKEY || rc == SQLITE_CONSTRAINT_UNIQUE) {
        return SqlResult::Fail(SqlResult::Outcome::kUniqueViolation, sqlite3_errmsg(db_));
    }
    if (rc == SQLITE_CONSTRAINT_FOREIGNKEY) {
        return SqlResult::Fail(SqlResult::Outcome::kForeignKeyViolation, sqlite3_errmsg(db_));
    }
    return SqlResult::Fail(SqlResult::Outcome::kFailed, SqlText::Printable(sqlite3_errmsg(db_), kMaxErrorText));
}

SqlResult SqliteConfigBackend::Execute(const std::string& sql, const std::vector<SqlValue>& params,
                                       std::vector<SqlRow>* rows, int64_t* changed) {
    BeforeStatement(sql);
    SqliteStatement statement(db_, sql.c_str());
    if (!statement.ok()) return Failure(sqlite3_extended_errcode(db_));
    // Parameters by name, so that "$2" may come before "$1" or twice.
    for (size_t i = 0; i < params.size(); ++i) {
        const int index = statement.ParameterIndex(("$" + std::to_string(i + 1)).c_str());
        if (index == 0) continue;
        const SqlValue& value = params[i];
        if (value.type == SqlValue::Type::kInteger) {
            statement.BindInt64(index, value.integer);
        } else if (value.type == SqlValue::Type::kBytes) {
            statement.BindText(index, value.bytes);
        } else {
            statement.BindNull(index);
        }
    }
    int rc = statement.Step();
    for (; rc == SQLITE_ROW; rc = statement.Step()) {
        if (rows == nullptr) continue;
        SqlRow row;
        for (int column = 0; column < statement.ColumnCount(); ++column) {
            if (statement.ColumnIsNull(column)) {
                row.push_back(SqlValue::Null());
            } else if (statement.ColumnIsInteger(column)) {
                row.push_back(SqlValue::Int(statement.ColumnInt64(column)));
            } else {
                row.push_back(SqlValue::Bytes(statement.ColumnText(column)));
            }
        }
        rows->push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) return Failure(rc);
    if (changed != nullptr) *changed = sqlite3_changes(db_);
    return SqlResult::Ok();
}

SqlResult SqliteConfigBackend::ExecuteScript(const std::string& sql) {
    BeforeStatement(sql);
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) return SqlResult::Ok();
    return Failure(sqlite3_extended_errcode(db_));
}

SqlResult SqliteConfigBackend::ReadSchemaVersion(int64_t& version) {
    // Also what tells a file that is not a database.
    std::vector<SqlRow> rows;
    SqlResult result = Execute("PRAGMA user_version", {}, &rows);
    if (result.ok() && (rows.size() != 1 || rows[0].empty())) {
        result = SqlResult::Fail(SqlResult::Outcome::kFailed, "no schema version");
    }
    if (result.ok()) version = rows[0][0].integer;
    return result;
}

SqlResult SqliteConfigBackend::WriteSchemaVersion(int64_t version) {
    return ExecuteScript("PRAGMA user_version=" + std::to_string(version));
}

SqlResult SqliteConfigBackend::Begin(bool) {
    // IMMEDIATE takes the write lock at once: two writers never deadlock
    // upgrading their read locks.
    return ExecuteScript("BEGIN IMMEDIATE");
}

SqlResult SqliteConfigBackend::EndTransaction(bool commit) {
    return ExecuteScript(commit ? "COMMIT" : "ROLLBACK");
}

bool SqliteConfigBackend::WaitForNotification(int timeoutMs, int wakeFd) {
    pollfd fd = {wakeFd, POLLIN, 0};
    const int ready = ::poll(&fd, wakeFd >= 0 ? 1 : 0, timeoutMs);
    return ready > 0;
}
