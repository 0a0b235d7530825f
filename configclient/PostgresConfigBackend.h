// PostgresConfigBackend: a configuration database in PostgreSQL, through
// libpq. The location is a libpq URI ("postgresql://...") or a connection
// string of keywords ("service=quay"); credentials come
// from it, from a service file (?service=NAME) or from PGPASSFILE, never
// from quayd. Property values and names are BYTEA, so every byte survives
// and rows sort by bytes as in SQLite. The schema version is the one row of
// table config_schema. Notifications are LISTEN/NOTIFY.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "configclient/ConfigBackend.h"

struct pg_conn;

class PostgresConfigBackend : public ConfigBackend {
public:
    // Seconds to wait for a connection unless the URI says otherwise.
    static constexpr int kConnectTimeoutSeconds = 10;

    // Errors: EIO cannot connect (the text names the database, without its
    // password, and libpq's reason).
    static CPelError Connect(const std::string& uri, std::unique_ptr<ConfigBackend>& backend);
    // "postgresql://user@host:port/dbname", whatever the URI holds of these;
    // never the password or other parameters.
    static std::string DescribeUri(const std::string& uri);
    // Whether text is a libpq connection string of keywords ("service=quay",
    // "host=db dbname=quay"): it starts with a keyword libpq knows, then "=".
    static bool IsKeywordString(const std::string& text);
    // Whether the URI carries a password.
    static bool HasPassword(const std::string& uri);
    ~PostgresConfigBackend() override;

    Dialect dialect() const override { return Dialect::kPostgres; }
    const char* TypeName(ColumnType type) const override;
    const char* NowMs() const override;
    SqlResult Execute(const std::string& sql, const std::vector<SqlValue>& params,
                      std::vector<SqlRow>* rows = nullptr, int64_t* changed = nullptr) override;
    SqlResult ExecuteScript(const std::string& sql) override;
    SqlResult ReadSchemaVersion(int64_t& version) override;
    SqlResult WriteSchemaVersion(int64_t version) override;
    SqlResult Begin(bool schema) override;
    SqlResult Notify(const std::string& channel, const std::string& payload) override;
    SqlResult Listen(const std::string& channel) override;
    bool WaitForNotification(int timeoutMs, int wakeFd) override;

    // The server process of this connection (pg_backend_pid), for tests
    // that end it.
    int ServerPid() const;

protected:
    bool Connected() override;
    SqlResult Reconnect() override;
    SqlResult EndTransaction(bool commit) override;

private:
    PostgresConfigBackend(const std::string& uri, pg_conn* conn) : ConfigBackend(uri), conn_(conn) {}
    // Drains the notifications that arrived; true when there was one.
    bool TakeNotifications();

    pg_conn* conn_;
    std::vector<std::string> channels_;  // LISTENed, again after a reconnect
};
