#include "tests/support/PostgresTestServer.h"

#include <libpq-fe.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>

namespace {

std::mutex gMutex;
bool gLoaded = false;
std::string gUri;      // of database postgres
std::string gProblem;  // why there is no server
std::string gOwnState; // the state file of a server this process started

void StopOwnServer() {
    if (gOwnState.empty()) return;
    const std::string command = std::string(BFSM_PG_SERVER_SCRIPT) + " stop '" + gOwnState + "' >/dev/null 2>&1";
    if (system(command.c_str()) != 0) {
        // Nothing more to do at exit; the folder is under /tmp.
    }
}

// Requires gMutex.
void Load() {
    if (gLoaded) return;
    gLoaded = true;
    std::string state;
    const char* shared = getenv("QUAY_TEST_PG_STATE");
    if (shared != nullptr && *shared != '\0') {
        state = shared;
    } else {
        state = "/tmp/quay-pg-state." + std::to_string(getpid());
        const std::string command = std::string(BFSM_PG_SERVER_SCRIPT) + " start '" + state + "' >/dev/null";
        if (system(command.c_str()) != 0) {
            gProblem = "the PostgreSQL test server did not start (tests/support/pg_server.sh)";
            return;
        }
        gOwnState = state;
        atexit(StopOwnServer);
    }
    std::ifstream in(state);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 4, "uri=") == 0) gUri = line.substr(4);
        if (line.compare(0, 12, "unavailable=") == 0) gProblem = line.substr(12);
    }
    if (gUri.empty() && gProblem.empty()) gProblem = "no PostgreSQL test server state in " + state;
}

std::string WithDatabase(const std::string& uri, const std::string& name) {
    const std::string prefix = "postgresql:///postgres";
    return "postgresql:///" + name + uri.substr(prefix.size());
}

}  // namespace

bool PostgresTestServer::Available(std::string& why) {
    std::lock_guard<std::mutex> lock(gMutex);
    Load();
    why = gProblem;
    return gProblem.empty();
}

std::string PostgresTestServer::Uri(const std::string& name) {
    std::lock_guard<std::mutex> lock(gMutex);
    Load();
    return WithDatabase(gUri, name);
}

bool PostgresTestServer::Exec(const std::string& name, const std::string& sql, std::string& error) {
    PGconn* conn = PQconnectdb(Uri(name).c_str());
    bool ok = PQstatus(conn) == CONNECTION_OK;
    if (ok) {
        PGresult* result = PQexec(conn, sql.c_str());
        ok = PQresultStatus(result) == PGRES_COMMAND_OK || PQresultStatus(result) == PGRES_TUPLES_OK;
        if (!ok) error = PQresultErrorMessage(result);
        PQclear(result);
    } else {
        error = PQerrorMessage(conn);
    }
    PQfinish(conn);
    return ok;
}

bool PostgresTestServer::CreateDatabase(std::string& name, std::string& uri, std::string& error) {
    static std::atomic<int> counter(0);
    if (!Available(error)) return false;
    name = "t_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    if (!Exec("postgres", "CREATE DATABASE " + name + " TEMPLATE template0", error)) return false;
    uri = Uri(name);
    return true;
}

void PostgresTestServer::DropDatabase(const std::string& name) {
    std::string error;
    Exec("postgres", "DROP DATABASE IF EXISTS " + name + " WITH (FORCE)", error);
}

bool PostgresTestServer::DropConnections(const std::string& name, std::string& error) {
    return Exec("postgres",
                "SELECT pg_terminate_backend(pid, 10000) FROM pg_stat_activity WHERE datname = '" + name +
                    "' AND pid <> pg_backend_pid()",
                error);
}
