// Fixture for tests that need real exports: an initialised object container
// under the test's data dir installed as the module's container, a client and
// subclients in the configuration database, and helpers to build, open and
// publish BackupFSMExport objects.
#pragma once
#include <string>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "configclient/ConfigDatabase.h"
#include "host/ExportCache.h"
#include "module/export/BackupFSMExport.h"
#include "module/fsm/BackupFSM.h"
#include "objectstore/ObjectContainer.h"
#include "tests/support/TestEnvironment.h"

namespace moduletest {

constexpr unsigned long kClientId = 3;
constexpr unsigned long kSubclientId = 12;

class ExportFixture : public testsupport::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        container_ = new ObjectStore::ObjectContainer();
        ObjectStore::ObjectContainerConfig config;
        config.dataRoot = dataDir_.path() + "/stores";
        ASSERT_FALSE(container_->init(config).IsError());
        BackupFSM::objectContainer = container_;
        ConfigDatabase& db = ConfigDatabase::Instance();
        ASSERT_FALSE(db.AddClient(kClientId, "client3").IsError());
        ASSERT_FALSE(db.AddSubclient(kSubclientId, kClientId, "sc12", 0).IsError());
    }

    void TearDown() override {
        gAllExports->Clear();
        BackupFSM::objectContainer = nullptr;
        delete container_;
        container_ = nullptr;
        ModuleTest::TearDown();
    }

    static boost::shared_ptr<BackupFSMExport> MakeExport(const std::string& path,
                                                         unsigned int shareId) {
        ExportPtr parent;
        return boost::make_shared<BackupFSMExport>(path, SHARE_PERM_READ_WRITE, "*", shareId,
                                                   parent);
    }

    // init with the usual arguments; returns its result.
    static bool Init(BackupFSMExport& exp, ExportType type, time_t snapshotTime = 0,
                     uint32_t writablePIT = 0, const std::string& snapName = "",
                     bool supportDNFS = false, unsigned long subclientId = kSubclientId) {
        std::string users = "1001,1002";
        std::string groups = "500";
        return exp.init(subclientId, type, snapshotTime, users, groups, 2, "*.tmp", writablePIT,
                        snapName, supportDNFS, false, "nfs", 300);
    }

    // Creates the store behind path (a PIT view needs its live store).
    void CreateStore(const std::string& path) {
        ObjectStore::ObjectStoreConfig config;
        config.storePath = path;
        uint64_t index = 0;
        ASSERT_FALSE(container_->openObjectStore(index, config).IsError());
        ASSERT_FALSE(container_->closeObjectStore(index).IsError());
    }

    // A live export opened and published under shareId.
    boost::shared_ptr<BackupFSMExport> Publish(const std::string& path, unsigned int shareId,
                                               bool supportDNFS) {
        boost::shared_ptr<BackupFSMExport> exp = MakeExport(path, shareId);
        if (!Init(*exp, EXPORT_TYPE_OBJECT_STORE, 0, 0, "", supportDNFS)) return nullptr;
        ExportPtr published = exp;
        gAllExports->AddExport(published);
        return exp;
    }

    ObjectStore::ObjectContainer* container_ = nullptr;
};

}  // namespace moduletest
