#include "configclient/SqliteStatement.h"

#include <sqlite3.h>

SqliteStatement::SqliteStatement(sqlite3* db, const char* sql) : db_(db) {
    prepareRc_ = db_ != nullptr ? sqlite3_prepare_v2(db_, sql, -1, &stmt_, nullptr) : SQLITE_MISUSE;
    if (prepareRc_ != SQLITE_OK) stmt_ = nullptr;
}

SqliteStatement::~SqliteStatement() {
    if (stmt_ != nullptr) sqlite3_finalize(stmt_);
}

int SqliteStatement::ParameterIndex(const char* name) const {
    return stmt_ != nullptr ? sqlite3_bind_parameter_index(stmt_, name) : 0;
}

void SqliteStatement::BindInt64(int index, int64_t value) {
    if (stmt_ != nullptr) sqlite3_bind_int64(stmt_, index, value);
}

void SqliteStatement::BindText(int index, const std::string& value) {
    // Explicit length: values may hold NUL bytes and must come back whole.
    if (stmt_ != nullptr) {
        sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    }
}

void SqliteStatement::BindNull(int index) {
    if (stmt_ != nullptr) sqlite3_bind_null(stmt_, index);
}

int SqliteStatement::Step() {
    if (stmt_ == nullptr) return prepareRc_;
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) return rc;
    return sqlite3_extended_errcode(db_);
}

int SqliteStatement::Run() {
    int rc = Step();
    while (rc == SQLITE_ROW) rc = Step();
    return rc;
}

int64_t SqliteStatement::ColumnInt64(int column) const {
    return stmt_ != nullptr ? sqlite3_column_int64(stmt_, column) : 0;
}

std::string SqliteStatement::ColumnText(int column) const {
    if (stmt_ == nullptr) return std::string();
    const auto* text = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
    const int size = sqlite3_column_bytes(stmt_, column);
    return text != nullptr ? std::string(text, static_cast<size_t>(size)) : std::string();
}

bool SqliteStatement::ColumnIsNull(int column) const {
    return stmt_ == nullptr || sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

bool SqliteStatement::ColumnIsInteger(int column) const {
    return stmt_ != nullptr && sqlite3_column_type(stmt_, column) == SQLITE_INTEGER;
}

int SqliteStatement::ColumnCount() const {
    return stmt_ != nullptr ? sqlite3_column_count(stmt_) : 0;
}
