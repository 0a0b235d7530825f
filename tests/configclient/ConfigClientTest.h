// Fixture of the configuration-client tests, run on every backend: a fresh
// database (SQLite in memory, or a new database on the tests' PostgreSQL
// server) with client 1 and subclient 10, a private temporary directory for
// file databases, and seams and cache reset before and after each test.
// ON_EVERY_BACKEND(Fixture) instantiates a fixture's TEST_Ps for both.
#pragma once
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "configclient/ConfigDatabase.h"
#include "configclient/ConfigStatus.h"
#include "configclient/Subclient.h"
#include "tests/support/PostgresTestServer.h"

enum class Backend { kSqlite, kPostgres };

// Names the parameter in test listings.
inline void PrintTo(Backend backend, std::ostream* out) {
    *out << (backend == Backend::kSqlite ? "SQLite" : "PostgreSQL");
}

inline std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::kSqlite ? "Sqlite" : "Postgres";
}

#define ON_EVERY_BACKEND(Fixture)                                                                      \
    INSTANTIATE_TEST_SUITE_P(Backends, Fixture, ::testing::Values(Backend::kSqlite, Backend::kPostgres), \
                             BackendName)
#define ON_SQLITE_ONLY(Fixture) \
    INSTANTIATE_TEST_SUITE_P(Backends, Fixture, ::testing::Values(Backend::kSqlite), BackendName)

class ConfigClientTest : public ::testing::TestWithParam<Backend> {
protected:
    static constexpr unsigned long kClient = 1;
    static constexpr unsigned long kSubclient = 10;

    void SetUp() override {
        char pattern[] = "/tmp/configclient.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        location_ = ":memory:";
        if (GetParam() == Backend::kPostgres) {
            std::string error;
            if (!PostgresTestServer::Available(error)) GTEST_SKIP() << "no PostgreSQL: " << error;
            ASSERT_TRUE(PostgresTestServer::CreateDatabase(database_, location_, error)) << error;
        }
        ASSERT_FALSE(db().Open(location_).IsError());
        ASSERT_FALSE(db().AddClient(kClient, "mediaagent1").IsError());
        ASSERT_FALSE(db().AddSubclient(kSubclient, kClient, "sc10", 0).IsError());
        EnableAppMgrClientMessageCache(true);
        db().ClearStatusOverrides();
        db().ClearCallLog();
    }

    void TearDown() override {
        db().ClearStatusOverrides();
        db().SetStatementHook(nullptr);
        db().Close();
        if (!database_.empty()) PostgresTestServer::DropDatabase(database_);
        nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }

    static ConfigDatabase& db() { return ConfigDatabase::Instance(); }

    static void Set(unsigned long id, const std::string& name, const std::string& value) {
        ASSERT_FALSE(db().SetProperty(id, name, value).IsError()) << name;
    }

    static std::string Stored(unsigned long id, const std::string& name) {
        std::string value = "<unset>";
        db().GetProperty(id, name, value);
        return value;
    }

    static void Flush() {
        EnableAppMgrClientMessageCache(false);
        EnableAppMgrClientMessageCache(true);
    }

    std::string dir_;
    std::string location_;  // what the test's database was opened from
    std::string database_;  // the PostgreSQL database's name; empty on SQLite

private:
    static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
        return ::remove(path);
    }
};
