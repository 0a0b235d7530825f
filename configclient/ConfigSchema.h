// ConfigSchema: opens an SQLite connection to a configuration database and
// brings its schema to the version this build writes (see FORMAT.md).
#pragma once
#include <cstdint>
#include <string>

#include "platform/CPelError.h"

struct sqlite3;

class ConfigSchema {
public:
    // Version stored in PRAGMA user_version.
    static constexpr int kVersion = 2;

    // Opens path (":memory:" for memory) with foreign keys on, a busy
    // timeout, WAL for files, and the schema created when missing. On
    // success db owns the connection; on error db is null and nothing leaks.
    // Errors: EINVAL empty path; EIO SQLite failure; ENOTSUP newer schema.
    static CPelError OpenConnection(const std::string& path, sqlite3*& db);

private:
    static CPelError Prepare(sqlite3* db, bool inMemory);
    // found: the version the database had before.
    static CPelError CreateTables(sqlite3* db, int64_t found);
};
