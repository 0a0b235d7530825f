#include "objectstore/SqlConnection.h"

#include <sqlite3.h>

#include <cerrno>

#include "objectstore/LogWriteVfs.h"
#include "objectstore/StoreFailure.h"

namespace ObjectStore {

namespace {

int ErrnoOfSqlite(int rc) {
    switch (rc & 0xff) {
        case SQLITE_FULL: return ENOSPC;
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return EBUSY;
        case SQLITE_NOMEM: return ENOMEM;
        case SQLITE_READONLY: return EROFS;
        case SQLITE_CANTOPEN: return ENOENT;
        case SQLITE_PERM:
        case SQLITE_AUTH: return EACCES;
        case SQLITE_CONSTRAINT: return EEXIST;
        case SQLITE_TOOBIG: return E2BIG;
        default: return EIO;
    }
}

}  // namespace

SqlConnection::SqlConnection(const std::string& path, bool create, bool readOnly, int busyMs) {
    int flags = SQLITE_OPEN_NOMUTEX;
    flags |= readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
    if (create && !readOnly) flags |= SQLITE_OPEN_CREATE;
    int rc = sqlite3_open_v2(path.c_str(), &db_, flags, LogWriteVfs::Name());
    if (rc != SQLITE_OK) {
        std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close_v2(db_);
        db_ = nullptr;
        Fail(ErrnoOfSqlite(rc), "cannot open metadata " + path + ": " + msg);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, busyMs);
}

SqlConnection::~SqlConnection() {
    for (auto& entry : statements_) sqlite3_finalize(entry.second);
    sqlite3_close_v2(db_);
}

void SqlConnection::Throw(int rc, const std::string& what) const {
    Fail(ErrnoOfSqlite(rc), what + ": " + sqlite3_errmsg(db_));
}

void SqlConnection::Exec(const std::string& sql) {
    char* err = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        std::string msg = err ? err : "";
        sqlite3_free(err);
        Fail(ErrnoOfSqlite(rc), "metadata statement failed: " + msg);
    }
}

void SqlConnection::Run(const char* sql) { Stmt(*this, sql).Run(); }

int64_t SqlConnection::LastInsertId() const { return sqlite3_last_insert_rowid(db_); }

int SqlConnection::Changes() const { return sqlite3_changes(db_); }

bool SqlConnection::InAutocommit() const { return sqlite3_get_autocommit(db_) != 0; }

sqlite3_stmt* SqlConnection::Prepare(const char* sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) Throw(rc, "cannot prepare metadata statement");
    statements_.emplace(sql, stmt);
    return stmt;
}

SqlConnection::Stmt::Stmt(SqlConnection& conn, const char* sql) : conn_(conn), stmt_(conn.Prepare(sql)) {}

SqlConnection::Stmt::~Stmt() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

SqlConnection::Stmt& SqlConnection::Stmt::Bind(int index, int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

SqlConnection::Stmt& SqlConnection::Stmt::Bind(int index, const std::string& value) {
    sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
}

SqlConnection::Stmt& SqlConnection::Stmt::BindBlob(int index, const std::string& value) {
    sqlite3_bind_blob(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return *this;
}

SqlConnection::Stmt& SqlConnection::Stmt::BindNull(int index) {
    sqlite3_bind_null(stmt_, index);
    return *this;
}

bool SqlConnection::Stmt::Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    conn_.Throw(rc, "metadata statement failed");
}

void SqlConnection::Stmt::Run() {
    while (Step()) {
    }
}

int64_t SqlConnection::Stmt::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string SqlConnection::Stmt::Text(int column) const {
    const void* data = sqlite3_column_blob(stmt_, column);
    int size = sqlite3_column_bytes(stmt_, column);
    return data ? std::string(static_cast<const char*>(data), size) : std::string();
}

bool SqlConnection::Stmt::IsNull(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

}  // namespace ObjectStore
