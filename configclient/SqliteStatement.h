// SqliteStatement: one prepared statement, finalized on destruction. The
// caller holds whatever lock guards the connection for the statement's whole
// life. Not copyable.
#pragma once
#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

class SqliteStatement {
public:
    SqliteStatement(sqlite3* db, const char* sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    // False when the statement did not prepare; Step then fails too.
    bool ok() const { return stmt_ != nullptr; }

    // Parameters are numbered from 1, as in SQLite; 0 when name (such as
    // "$2") is no parameter of the statement.
    int ParameterIndex(const char* name) const;
    void BindInt64(int index, int64_t value);
    void BindText(int index, const std::string& value);
    void BindNull(int index);

    // SQLITE_ROW, SQLITE_DONE or an SQLite error code (extended).
    int Step();
    // Runs the statement to its end; SQLITE_DONE on success.
    int Run();

    int64_t ColumnInt64(int column) const;
    std::string ColumnText(int column) const;
    bool ColumnIsNull(int column) const;
    bool ColumnIsInteger(int column) const;
    int ColumnCount() const;

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    int prepareRc_;
};
