#include "configclient/PostgresConfigBackend.h"

#include <endian.h>
#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "configclient/SqlText.h"

constexpr int PostgresConfigBackend::kConnectTimeoutSeconds;

namespace {

// Type oids of the values this backend sends and reads (pg_type.h).
constexpr Oid kBoolOid = 16;
constexpr Oid kByteaOid = 17;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;
constexpr Oid kOidOid = 26;

// Any number, the same in every quayd: who changes the schema holds it.
constexpr long long kSchemaLockKey = 0x51756179436667LL;

void IgnoreNotice(void*, const char*) {}

// Channels are names this program chose: plain lower-case words.
bool IsChannelName(const std::string& channel) {
    if (channel.empty() || channel.size() > 63) return false;
    for (char c : channel) {
        if (!((c >= 'a' && c <= 'z') || c == '_')) return false;
    }
    return true;
}

int64_t BigEndian(const char* data, int length) {
    int64_t value = 0;
    for (int i = 0; i < length; ++i) value = (value << 8) | static_cast<unsigned char>(data[i]);
    // Sign-extend the shorter integers.
    if (length > 0 && length < 8 && (static_cast<unsigned char>(data[0]) & 0x80) != 0) {
        value -= int64_t(1) << (8 * length);
    }
    return value;
}

}  // namespace

std::string PostgresConfigBackend::DescribeUri(const std::string& uri) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(uri.c_str(), &error);
    if (error != nullptr) PQfreemem(error);
    if (options == nullptr) return "postgresql://(a URI libpq cannot read)";
    std::string user;
    std::string host;
    std::string port;
    std::string dbname;
    std::string service;
    for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        if (option->val == nullptr || *option->val == '\0') continue;
        const std::string keyword = option->keyword;
        if (keyword == "user") user = option->val;
        if (keyword == "host" || (keyword == "hostaddr" && host.empty())) host = option->val;
        if (keyword == "port") port = option->val;
        if (keyword == "dbname") dbname = option->val;
        if (keyword == "service") service = option->val;
    }
    PQconninfoFree(options);
    std::string text = "postgresql://" + (user.empty() ? "" : user + "@") + host + (port.empty() ? "" : ":" + port) +
                       "/" + dbname + (service.empty() ? "" : "?service=" + service);
    return SqlText::Printable(text, kMaxErrorText);
}

bool PostgresConfigBackend::IsKeywordString(const std::string& text) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0) return false;
    const size_t start = text.find_first_not_of(' ');
    const std::string keyword = text.substr(start, text.find_first_of(" =", start) - start);
    PQconninfoOption* defaults = PQconndefaults();
    bool known = false;
    for (PQconninfoOption* option = defaults; option != nullptr && option->keyword != nullptr; ++option) {
        if (keyword == option->keyword) known = true;
    }
    PQconninfoFree(defaults);
    return known;
}

bool PostgresConfigBackend::HasPassword(const std::string& uri) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(uri.c_str(), &error);
    if (error != nullptr) PQfreemem(error);
    bool found = false;
    for (PQconninfoOption* option = options; option != nullptr && option->keyword != nullptr; ++option) {
        if (strcmp(option->keyword, "password") == 0 && option->val != nullptr && *option->val != '\0') found = true;
    }
    PQconninfoFree(options);
    return found;
}

CPelError PostgresConfigBackend::Connect(const std::string& uri, std::unique_ptr<ConfigBackend>& backend) {
    // Our defaults first: what the URI says overrides them.
    const std::string timeout = std::to_string(kConnectTimeoutSeconds);
    const char* keywords[] = {"connect_timeout", "fallback_application_name", "dbname", nullptr};
    const char* values[] = {timeout.c_str(), "quay", uri.c_str(), nullptr};
    PGconn* conn = PQconnectdbParams(keywords, values, 1);
    if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
        const std::string reason = conn != nullptr ? PQerrorMessage(conn) : "out of memory";
        PQfinish(conn);
        return CPelError(EIO, "cannot connect to configuration database " + DescribeUri(uri) + ": " +
                                  SqlText::Printable(reason, kMaxErrorText));
    }
    PQsetNoticeProcessor(conn, IgnoreNotice, nullptr);
    backend.reset(new PostgresConfigBackend(uri, conn));
    return CPelError::Success();
}

PostgresConfigBackend::~PostgresConfigBackend() {
    PQfinish(conn_);
}

const char* PostgresConfigBackend::TypeName(ColumnType type) const {
    switch (type) {
        case ColumnType::kInteger:
            return "BIGINT";
        case ColumnType::kBytes:
            return "BYTEA";
        case ColumnType::kIdentity:
            return "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY";
    }
    return "";
}

const char* PostgresConfigBackend::NowMs() const {
    return "CAST(floor(extract(epoch FROM clock_timestamp()) * 1000) AS BIGINT)";
}

bool PostgresConfigBackend::Connected() {
    return PQstatus(conn_) == CONNECTION_OK;
}

int PostgresConfigBackend::ServerPid() const {
    return PQbackendPID(conn_);
}

SqlResult PostgresConfigBackend::Reconnect() {
    PQreset(conn_);
    if (PQstatus(conn_) != CONNECTION_OK) {
        return SqlResult::Fail(SqlResult::Outcome::kConnectionLost,
                               SqlText::Printable(PQerrorMessage(conn_), kMaxErrorText));
    }
    for (const std::string& channel : channels_) {
        PGresult* result = PQexec(conn_, ("LISTEN " + channel).c_str());
        const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
        PQclear(result);
        if (!ok) return SqlResult::Fail(SqlResult::Outcome::kConnectionLost, "LISTEN failed after reconnecting");
    }
    return SqlResult::Ok();
}

namespace {

// The outcome of a finished command; result may be null.
SqlResult Outcome(PGconn* conn, PGresult* result) {
    const ExecStatusType status = PQresultStatus(result);
    if (result != nullptr && (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)) return SqlResult::Ok();
    const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const char* primary = result != nullptr ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    const std::string message =
        SqlText::Printable(primary != nullptr ? primary : PQerrorMessage(conn), ConfigBackend::kMaxErrorText);
    const std::string code = state != nullptr ? state : "";
    if (PQstatus(conn) != CONNECTION_OK || code.compare(0, 2, "08") == 0 || code.compare(0, 3, "57P") == 0) {
        return SqlResult::Fail(SqlResult::Outcome::kConnectionLost, message);
    }
    if (code == "23505") return SqlResult::Fail(SqlResult::Outcome::kUniqueViolation, message);
    if (code == "23503") return SqlResult::Fail(SqlResult::Outcome::kForeignKeyViolation, message);
    return SqlResult::Fail(SqlResult::Outcome::kFailed, message);
}

SqlValue Column(const PGresult* result, int row, int column) {
    if (PQgetisnull(result, row, column)) return SqlValue::Null();
    const char* data = PQgetvalue(result, row, column);
    const int length = PQgetlength(result, row, column);
    switch (PQftype(result, column)) {
        case kBoolOid:
        case kInt2Oid:
        case kInt4Oid:
        case kInt8Oid:
        case kOidOid:
            return SqlValue::Int(BigEndian(data, length));
        default:
            return SqlValue::Bytes(std::string(data, static_cast<size_t>(length)));
    }
}

}  // namespace

SqlResult PostgresConfigBackend::Execute(const std::string& sql, const std::vector<SqlValue>& params,
                                         std::vector<SqlRow>* rows, int64_t* changed) {
    BeforeStatement(sql);
    if (!Connected()) return SqlResult::Fail(SqlResult::Outcome::kConnectionLost, "connection lost");
    // Every value goes in binary: integers as 8-byte big-endian int8, texts
    // as bytea of their exact length.
    const size_t count = params.size();
    std::vector<Oid> types(count, 0);
    std::vector<const char*> values(count, nullptr);
    std::vector<int> lengths(count, 0);
    std::vector<int> formats(count, 1);
    std::vector<uint64_t> integers(count, 0);
    for (size_t i = 0; i < count; ++i) {
        const SqlValue& value = params[i];
        if (value.type == SqlValue::Type::kInteger) {
            types[i] = kInt8Oid;
            integers[i] = htobe64(static_cast<uint64_t>(value.integer));
            values[i] = reinterpret_cast<const char*>(&integers[i]);
            lengths[i] = 8;
        } else if (value.type == SqlValue::Type::kBytes) {
            types[i] = kByteaOid;
            values[i] = value.bytes.data();
            lengths[i] = static_cast<int>(value.bytes.size());
        }
    }
    PGresult* result = PQexecParams(conn_, sql.c_str(), static_cast<int>(count), types.data(), values.data(),
                                    lengths.data(), formats.data(), 1);
    SqlResult outcome = Outcome(conn_, result);
    if (outcome.ok()) {
        if (rows != nullptr) {
            for (int row = 0; row < PQntuples(result); ++row) {
                SqlRow out;
                for (int column = 0; column < PQnfields(result); ++column) out.push_back(Column(result, row, column));
                rows->push_back(std::move(out));
            }
        }
        if (changed != nullptr) *changed = atoll(PQcmdTuples(result));
    }
    PQclear(result);
    return outcome;
}

SqlResult PostgresConfigBackend::ExecuteScript(const std::string& sql) {
    BeforeStatement(sql);
    if (!Connected()) return SqlResult::Fail(SqlResult::Outcome::kConnectionLost, "connection lost");
    PGresult* result = PQexec(conn_, sql.c_str());
    const SqlResult outcome = Outcome(conn_, result);
    PQclear(result);
    return outcome;
}

SqlResult PostgresConfigBackend::ReadSchemaVersion(int64_t& version) {
    std::vector<SqlRow> rows;
    SqlResult result = Execute("SELECT to_regclass('config_schema') IS NOT NULL", {}, &rows);
    if (!result.ok()) return result;
    if (rows.empty() || rows[0].empty() || rows[0][0].integer == 0) {
        version = 0;
        return result;
    }
    rows.clear();
    result = Execute("SELECT max(version) FROM config_schema", {}, &rows);
    if (result.ok()) version = rows.empty() || rows[0].empty() || rows[0][0].IsNull() ? 0 : rows[0][0].integer;
    return result;
}

SqlResult PostgresConfigBackend::WriteSchemaVersion(int64_t version) {
    return ExecuteScript("CREATE TABLE IF NOT EXISTS config_schema(version BIGINT NOT NULL);"
                         "DELETE FROM config_schema;"
                         "INSERT INTO config_schema(version) VALUES(" +
                         std::to_string(version) + ")");
}

SqlResult PostgresConfigBackend::Begin(bool schema) {
    if (!schema) return ExecuteScript("BEGIN");
    // Two quayd starting at once on a new database must not both create it.
    return ExecuteScript("BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLockKey) + ")");
}

SqlResult PostgresConfigBackend::EndTransaction(bool commit) {
    return ExecuteScript(commit ? "COMMIT" : "ROLLBACK");
}

SqlResult PostgresConfigBackend::Notify(const std::string& channel, const std::string& payload) {
    if (!IsChannelName(channel)) return SqlResult::Fail(SqlResult::Outcome::kFailed, "bad channel name");
    return Execute("SELECT pg_notify(convert_from($1, 'UTF8'), convert_from($2, 'UTF8'))",
                   {SqlValue::Bytes(channel), SqlValue::Bytes(payload)});
}

SqlResult PostgresConfigBackend::Listen(const std::string& channel) {
    if (!IsChannelName(channel)) return SqlResult::Fail(SqlResult::Outcome::kFailed, "bad channel name");
    const SqlResult result = ExecuteScript("LISTEN " + channel);
    if (result.ok()) channels_.push_back(channel);
    return result;
}

bool PostgresConfigBackend::TakeNotifications() {
    bool any = false;
    for (PGnotify* notify = PQnotifies(conn_); notify != nullptr; notify = PQnotifies(conn_)) {
        PQfreemem(notify);
        any = true;
    }
    return any;
}

bool PostgresConfigBackend::WaitForNotification(int timeoutMs, int wakeFd) {
    if (!Connected() || PQconsumeInput(conn_) == 0) return false;
    if (TakeNotifications()) return true;
    pollfd fds[2] = {{PQsocket(conn_), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int ready = ::poll(fds, wakeFd >= 0 ? 2 : 1, timeoutMs);
    if (ready <= 0) return false;
    if (wakeFd >= 0 && fds[1].revents != 0) return true;
    if (PQconsumeInput(conn_) == 0) return false;
    return TakeNotifications();
}
