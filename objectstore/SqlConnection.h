// SqlConnection: one SQLite connection with a cache of prepared statements.
// Not thread-safe: a connection is used by one thread at a time (MetaDb hands
// out readers from a pool and guards the single writer with a mutex).
// Failures throw StoreFailure with an errno mapped from the SQLite code.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace ObjectStore {

class SqlConnection {
public:
    // Opens (creating when allowed) the database file. busyMs bounds how long a
    // statement waits for a lock held by another connection.
    SqlConnection(const std::string& path, bool create, bool readOnly, int busyMs);
    ~SqlConnection();
    SqlConnection(const SqlConnection&) = delete;
    SqlConnection& operator=(const SqlConnection&) = delete;

    // Runs statements without results (schema, pragmas), parsed each time.
    void Exec(const std::string& sql);
    // Runs one statement without results through the statement cache, for
    // the frequent ones (BEGIN, COMMIT). Not for a pragma that takes effect
    // while it is parsed, as synchronous does.
    void Run(const char* sql);
    int64_t LastInsertId() const;
    int Changes() const;
    // False while a transaction is open on this connection.
    bool InAutocommit() const;

    // A prepared statement, reset and unbound when the Stmt goes out of scope.
    class Stmt {
    public:
        Stmt(SqlConnection& conn, const char* sql);
        ~Stmt();
        Stmt(const Stmt&) = delete;
        Stmt& operator=(const Stmt&) = delete;

        Stmt& Bind(int index, int64_t value);
        Stmt& Bind(int index, const std::string& value);
        Stmt& BindBlob(int index, const std::string& value);
        Stmt& BindNull(int index);
        // True while a row is available; false when done.
        bool Step();
        // Runs a statement that returns no row.
        void Run();
        int64_t Int(int column) const;
        std::string Text(int column) const;
        bool IsNull(int column) const;

    private:
        SqlConnection& conn_;
        sqlite3_stmt* stmt_;
    };

private:
    friend class Stmt;
    sqlite3_stmt* Prepare(const char* sql);
    [[noreturn]] void Throw(int rc, const std::string& what) const;

    sqlite3* db_ = nullptr;
    std::unordered_map<const char*, sqlite3_stmt*> statements_;  // keyed by SQL literal address
};

}  // namespace ObjectStore
