// PostgresTestServer: the private PostgreSQL server of the tests
// (tests/support/pg_server.sh) and a fresh database on it per test. Under
// ctest the server is one per run (the fixture "postgres" starts it and
// names its state file in QUAY_TEST_PG_STATE); a test program run by hand
// starts its own on first use and stops it at exit.
#pragma once
#include <string>

class PostgresTestServer {
public:
    // Whether a server runs; false with why (the server binaries are not
    // installed, or it did not start).
    static bool Available(std::string& why);
    // Creates a new, empty database (name made unique per process and
    // call) and gives its URI; false with the reason.
    static bool CreateDatabase(std::string& name, std::string& uri, std::string& error);
    // Drops the database, ending whatever is still connected to it.
    static void DropDatabase(const std::string& name);
    // Runs sql as the superuser on database name; false with the reason.
    static bool Exec(const std::string& name, const std::string& sql, std::string& error);
    // Ends every connection to database name (as a server restart would).
    static bool DropConnections(const std::string& name, std::string& error);
    // The URI of database name.
    static std::string Uri(const std::string& name);
};
