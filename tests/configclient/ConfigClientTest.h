// Fixture of the configuration-client tests: a fresh in-memory database with
// client 1 and subclient 10, a private temporary directory for file
// databases, and seams and cache reset before and after each test.
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

class ConfigClientTest : public ::testing::Test {
protected:
    static constexpr unsigned long kClient = 1;
    static constexpr unsigned long kSubclient = 10;

    void SetUp() override {
        char pattern[] = "/tmp/configclient.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        ASSERT_FALSE(db().Open(":memory:").IsError());
        ASSERT_FALSE(db().AddClient(kClient, "mediaagent1").IsError());
        ASSERT_FALSE(db().AddSubclient(kSubclient, kClient, "sc10", 0).IsError());
        EnableAppMgrClientMessageCache(true);
        db().ClearStatusOverrides();
        db().ClearCallLog();
    }

    void TearDown() override {
        db().ClearStatusOverrides();
        db().Close();
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

private:
    static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
        return ::remove(path);
    }
};
