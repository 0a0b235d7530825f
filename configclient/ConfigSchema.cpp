#include "configclient/ConfigSchema.h"

#include <cerrno>

constexpr int ConfigSchema::kVersion;

namespace {

// @I@ integer, @B@ bytes, @ID@ an identity key: replaced by the backend's types.
const char kTables[] =
    "CREATE TABLE IF NOT EXISTS clients("
    "  id @I@ PRIMARY KEY,"
    "  name @B@ NOT NULL);"
    "CREATE TABLE IF NOT EXISTS subclients("
    "  id @I@ PRIMARY KEY,"
    "  client_id @I@ NOT NULL REFERENCES clients(id),"
    "  name @B@ NOT NULL,"
    "  policy_subclient_id @I@);"
    "CREATE TABLE IF NOT EXISTS properties("
    "  subclient_id @I@ NOT NULL REFERENCES subclients(id) ON DELETE CASCADE,"
    "  name @B@ NOT NULL,"
    "  value @B@ NOT NULL,"
    "  PRIMARY KEY(subclient_id, name));"
    "CREATE INDEX IF NOT EXISTS properties_by_name ON properties(name);"
    "CREATE TABLE IF NOT EXISTS store_owners("
    "  store @B@ PRIMARY KEY,"
    "  subclient_id @I@ NOT NULL REFERENCES subclients(id) ON DELETE CASCADE);"
    "CREATE INDEX IF NOT EXISTS store_owners_by_subclient ON store_owners(subclient_id);"
    "CREATE TABLE IF NOT EXISTS index_cache("
    "  cache_id @I@ PRIMARY KEY,"
    "  client_name @B@ NOT NULL,"
    "  online @I@ NOT NULL,"
    "  flags @I@ NOT NULL,"
    "  updated_at @I@ NOT NULL);"
    "CREATE TABLE IF NOT EXISTS admin_requests("
    "  id @ID@,"
    "  server @B@ NOT NULL,"
    "  sender @B@ NOT NULL,"
    "  request @B@ NOT NULL,"
    "  state @I@ NOT NULL,"
    "  created_ms @I@ NOT NULL,"
    "  deadline_ms @I@ NOT NULL,"
    "  response @B@);"
    "CREATE INDEX IF NOT EXISTS admin_requests_by_server ON admin_requests(server, state);";

// Version 1 knew owners only by quayObjectStoreName: each store goes to the
// lowest subclient id that names it.
const char kOwnersFromStoreNames[] =
    "INSERT INTO store_owners(store, subclient_id) "
    "SELECT ltrim(value, '/'), subclient_id FROM properties "
    "WHERE name = 'quayObjectStoreName' AND ltrim(value, '/') <> '' ORDER BY subclient_id "
    "ON CONFLICT DO NOTHING";

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

CPelError Failure(const std::string& what, const SqlResult& result) {
    return CPelError(EIO, what + ": " + result.message);
}

}  // namespace

std::string ConfigSchema::Tables(const ConfigBackend& backend) {
    std::string script = kTables;
    ReplaceAll(script, "@ID@", backend.TypeName(ConfigBackend::ColumnType::kIdentity));
    ReplaceAll(script, "@I@", backend.TypeName(ConfigBackend::ColumnType::kInteger));
    ReplaceAll(script, "@B@", backend.TypeName(ConfigBackend::ColumnType::kBytes));
    return script;
}

CPelError ConfigSchema::Prepare(ConfigBackend& backend, bool migrate) {
    int64_t found = 0;
    CPelError error;
    const SqlResult result = backend.Run([&]() {
        return backend.Transaction(
            [&]() {
                SqlResult step = backend.ReadSchemaVersion(found);
                if (!step.ok()) return step;
                if (found > kVersion || (!migrate && found != kVersion)) {
                    error = CPelError(ENOTSUP, "configuration database schema version " + std::to_string(found) +
                                                   (found > kVersion ? " is newer than " : " is not ") +
                                                   std::to_string(kVersion) +
                                                   (found > kVersion ? "" : "; a quayd of this version brings it up to date"));
                    return SqlResult::Fail(SqlResult::Outcome::kFailed, "schema version");
                }
                if (found == kVersion) return step;
                step = backend.ExecuteScript(Tables(backend));
                if (step.ok() && found < 2) step = backend.ExecuteScript(kOwnersFromStoreNames);
                if (step.ok()) step = backend.WriteSchemaVersion(kVersion);
                return step;
            },
            true);
    });
    if (error.IsError()) return error;
    if (!result.ok()) return Failure("cannot prepare the configuration schema", result);
    return CPelError::Success();
}
