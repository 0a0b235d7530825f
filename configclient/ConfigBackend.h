// ConfigBackend: one connection to a configuration database, the seam between
// the configuration client's SQL and a database engine (SqliteConfigBackend,
// PostgresConfigBackend). The SQL is written once, in the dialect both
// engines share: parameters are $1 .. $n, text and byte values are bound as
// bytes of exact length, integers as signed 64-bit numbers. Column types and
// the few expressions that differ come from the backend (TypeName, Now...).
//
// Thread safety: none; the owner serialises all use of one backend (the
// configuration database holds a mutex, a request queue is used by one
// thread).
//
// Lost connections: Run executes one unit of work (a read, or a whole
// transaction that Transaction opened) and, when the connection was lost
// before the unit committed anything, reconnects and runs it once more. The
// reconnect backs off (kFirstRetryMs doubling to kMaxRetryMs) and each loss
// and recovery is reported through ZelWarn; between attempts, units fail at
// once with kConnectionLost rather than wait.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "configclient/SqlValue.h"
#include "platform/CPelError.h"

class ConfigBackend {
public:
    enum class Dialect { kSqlite, kPostgres };
    enum class ColumnType { kInteger, kBytes, kIdentity };

    // Back-off of reconnection after a lost connection.
    static constexpr int64_t kFirstRetryMs = 100;
    static constexpr int64_t kMaxRetryMs = 10000;
    // Longest text of a database error that goes into a message or the log.
    static constexpr size_t kMaxErrorText = 300;

    virtual ~ConfigBackend() = default;
    ConfigBackend(const ConfigBackend&) = delete;
    ConfigBackend& operator=(const ConfigBackend&) = delete;

    // A new backend for location: a "postgresql://" or "postgres://" URI is
    // a PostgreSQL database (credentials from the URI, a service file or
    // PGPASSFILE), anything else an SQLite file (":memory:" a private
    // in-memory database). Connects, but does not touch the schema.
    // Errors: EINVAL empty location; EIO cannot connect or open.
    static CPelError Connect(const std::string& location, std::unique_ptr<ConfigBackend>& backend);
    static bool IsPostgresLocation(const std::string& location);
    // Whether location carries a password (only PostgreSQL URIs can).
    static bool HasPassword(const std::string& location);
    // location for messages and the log: a PostgreSQL URI without its
    // password (and without any other parameter), control bytes escaped,
    // bounded.
    static std::string Describe(const std::string& location);

    virtual Dialect dialect() const = 0;
    // The column type of the schema for a kind of column.
    virtual const char* TypeName(ColumnType type) const = 0;
    // An SQL expression: the database's clock in milliseconds since 1970.
    // One clock for every server that shares the database.
    virtual const char* NowMs() const = 0;

    // Runs one statement; rows (may be null) receives every row, changed
    // (may be null) the rows an INSERT, UPDATE or DELETE touched.
    virtual SqlResult Execute(const std::string& sql, const std::vector<SqlValue>& params,
                              std::vector<SqlRow>* rows = nullptr, int64_t* changed = nullptr) = 0;
    // Runs statements without parameters, separated by ";".
    virtual SqlResult ExecuteScript(const std::string& sql) = 0;
    // The schema version the database records; 0 when it records none.
    virtual SqlResult ReadSchemaVersion(int64_t& version) = 0;
    // Records the version; inside the schema's transaction.
    virtual SqlResult WriteSchemaVersion(int64_t version) = 0;
    // Opens a transaction that writes; with schema, one that also keeps
    // every other connection from changing the schema until it ends.
    virtual SqlResult Begin(bool schema) = 0;

    // Wakes the waiters on channel (with payload) once the current
    // transaction commits; SQLite has nobody to wake.
    virtual SqlResult Notify(const std::string& channel, const std::string& payload) = 0;
    // From now on (and after every reconnect), notifications on channel end
    // WaitForNotification.
    virtual SqlResult Listen(const std::string& channel) = 0;
    // Waits up to timeoutMs for a notification or for wakeFd (-1: none) to
    // become readable. True when one of them came; false on the timeout
    // (SQLite: always after the timeout or the wake) or a lost connection.
    virtual bool WaitForNotification(int timeoutMs, int wakeFd) = 0;

    // Runs unit (statements on this backend), reconnecting and running it
    // again when it failed with kConnectionLost. A unit that loses the
    // connection while committing is not run again: kCommitUnknown.
    SqlResult Run(const std::function<SqlResult()>& unit);
    // Inside Run: BEGIN, body, COMMIT; ROLLBACK when body fails.
    SqlResult Transaction(const std::function<SqlResult()>& body, bool schema = false);

    // Test seam: called with each statement's text before it runs; a test
    // drops the connection there to see what a loss at that point does.
    void SetStatementHook(std::function<void(const std::string& sql)> hook) { hook_ = std::move(hook); }

protected:
    explicit ConfigBackend(std::string location) : location_(std::move(location)) {}
    // Whether the connection is usable now.
    virtual bool Connected() = 0;
    // Replaces a lost connection; restores LISTENs.
    virtual SqlResult Reconnect() = 0;
    virtual SqlResult EndTransaction(bool commit) = 0;
    void BeforeStatement(const std::string& sql) {
        if (hook_) hook_(sql);
    }
    const std::string& location() const { return location_; }

private:
    // A new connection when a loss was seen and the back-off allows.
    SqlResult Recover();

    const std::string location_;
    std::function<void(const std::string&)> hook_;
    bool lost_ = false;           // a loss was reported and not yet recovered from
    int64_t retryAtMs_ = 0;       // steady clock: the next reconnect attempt
    int64_t retryDelayMs_ = kFirstRetryMs;
    int attempts_ = 0;            // reconnects that failed since the loss
};
