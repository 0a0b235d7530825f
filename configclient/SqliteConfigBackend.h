// SqliteConfigBackend: a configuration database in an SQLite file (or
// ":memory:"), with foreign keys on, a busy timeout for a second process on
// the same file, and write-ahead logging for files. The schema version is
// PRAGMA user_version. A file has no connection to lose and nobody to
// notify: waiting for a notification only sleeps.
#pragma once
#include <memory>
#include <string>

#include "configclient/ConfigBackend.h"

struct sqlite3;

class SqliteConfigBackend : public ConfigBackend {
public:
    // Errors: EIO cannot open.
    static CPelError Connect(const std::string& path, std::unique_ptr<ConfigBackend>& backend);
    ~SqliteConfigBackend() override;

    Dialect dialect() const override { return Dialect::kSqlite; }
    const char* TypeName(ColumnType type) const override;
    const char* NowMs() const override;
    SqlResult Execute(const std::string& sql, const std::vector<SqlValue>& params,
                      std::vector<SqlRow>* rows = nullptr, int64_t* changed = nullptr) override;
    SqlResult ExecuteScript(const std::string& sql) override;
    SqlResult ReadSchemaVersion(int64_t& version) override;
    SqlResult WriteSchemaVersion(int64_t version) override;
    SqlResult Begin(bool schema) override;
    SqlResult Notify(const std::string&, const std::string&) override { return SqlResult::Ok(); }
    SqlResult Listen(const std::string&) override { return SqlResult::Ok(); }
    bool WaitForNotification(int timeoutMs, int wakeFd) override;

protected:
    bool Connected() override { return true; }
    SqlResult Reconnect() override { return SqlResult::Ok(); }
    SqlResult EndTransaction(bool commit) override;

private:
    SqliteConfigBackend(const std::string& path, sqlite3* db) : ConfigBackend(path), db_(db) {}
    SqlResult Failure(int rc) const;

    sqlite3* db_;
};
