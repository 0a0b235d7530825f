// Fixture for backend-object tests: one published live export "/store" on a
// real store, its root object obtained the way the host obtains it (the root
// handle through BackupFSM::GetFSObject), a caller the allow-lists admit and
// one they refuse, and small drivers for the common steps of a test.
#pragma once
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "configclient/PropertyNames.h"
#include "host/ExportCache.h"
#include "host/UniqueNumber.h"
#include "module/backend/BackupFSMBkEnd.h"
#include "module/fsm/BackupFSM.h"
#include "objectstore/FaultPlan.h"
#include "tests/module/ExportFixture.h"

namespace backendtest {

constexpr unsigned int kShareId = 21;
// The fixture's export admits users 1001,1002 and group 500.
constexpr uint32_t kAllowedUid = 1001;
constexpr uint32_t kRefusedUid = 2000;
constexpr uint32_t kOtherGid = 100;

inline std::string Address(const void* p) {
    char text[32];
    snprintf(text, sizeof(text), "%p", p);
    return text;
}

inline std::vector<char> Pattern(size_t size, unsigned seed) {
    std::vector<char> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 7 + i / 977) & 0xff);
    return bytes;
}

class BackendTest : public moduletest::ExportFixture {
protected:
    void SetUp() override {
        ExportFixture::SetUp();
        allowed_.uid = kAllowedUid;
        allowed_.gid = kOtherGid;
        refused_.uid = kRefusedUid;
        refused_.gid = kOtherGid;
        BackupFSMGlobals::syncInterval = 0;
        BackupFSMGlobals::lastSyncTime = 0;
    }

    void TearDown() override {
        ObjectStore::FaultPlan::Global().Clear();
        if (container_ != nullptr) container_->faultPlan().Clear();
        root_.reset();
        exp_.reset();
        ExportFixture::TearDown();
    }

    // Publishes "/store" and takes its root object through the host hook.
    // versions: the subclient asks for file versions, started at most once
    // per versionInterval seconds.
    void OpenShare(bool versions = false, bool supportDNFS = false,
                   uint32_t versionInterval = 300, bool caseSensitive = true) {
        if (versions) {
            ASSERT_FALSE(ConfigDatabase::Instance()
                             .SetProperty(moduletest::kSubclientId,
                                          PropertyNames::kVersionSupportNeeded, "1")
                             .IsError());
        }
        exp_ = MakeExport("/store", kShareId);
        std::string users = "1001,1002";
        std::string groups = "500";
        ASSERT_TRUE(exp_->init(moduletest::kSubclientId, EXPORT_TYPE_OBJECT_STORE, 0, users,
                               groups, 0, "", 0, "", supportDNFS, caseSensitive, "nfs", versionInterval))
            << testsupport::Dump(Lines());
        ExportPtr exp = exp_;
        gAllExports->AddExport(exp);
        ASSERT_EQ(versions ? 1 : 0, exp_->GetEnabledVersions());
        nfs_fh3 fh;
        exp_->GetFileHandle(CPelIPAddr(), fh);
        root_ = BackupFSM::GetFSM()->GetFSObject(exp, fh);
        ASSERT_TRUE(root_) << testsupport::Dump(Lines());
        ClearLines();
    }

    QuayCtxt Ctxt(const IdInfo& id, BkEndProcPtr object = BkEndProcPtr()) {
        return QuayCtxt(id, ExportPtr(exp_), object);
    }
    QuayCtxt Allowed() { return Ctxt(allowed_); }
    QuayCtxt Refused() { return Ctxt(refused_); }

    ObjectStore::FaultPlan& Faults() { return BackupFSM::GetObjContainer()->faultPlan(); }

    // --- Drivers for the allowed caller; each asserts its own success.
    BkEndProcPtr MakeDir(const BkEndProcPtr& dir, const std::string& name) {
        QuayCtxt ctxt = Allowed();
        BkEndProcPtr child = dir->CreateChildDir(&ctxt, name, 0755);
        EXPECT_TRUE(child) << name << " errno " << errno << "\n" << testsupport::Dump(Lines());
        return child;
    }

    BkEndProcPtr MakeFile(const BkEndProcPtr& dir, const std::string& name,
                          const std::string& content) {
        QuayCtxt ctxt = Allowed();
        BkEndProcPtr child;
        struct stat st;
        const int fd = dir->createAndOpen(&ctxt, child, name, O_RDWR | O_CREAT, st);
        EXPECT_GT(fd, 0) << name << " errno " << errno << "\n" << testsupport::Dump(Lines());
        if (fd <= 0) return BkEndProcPtr();
        if (!content.empty()) {
            EXPECT_EQ(static_cast<ssize_t>(content.size()),
                      child->write(&ctxt, fd, content.data(), 0, content.size(), BKEND_FILE_SYNC));
        }
        EXPECT_EQ(0, child->close(&ctxt, fd));
        return child;
    }

    BkEndProcPtr Find(const BkEndProcPtr& dir, const std::string& name) {
        QuayCtxt ctxt = Allowed();
        return dir->FindChild(&ctxt, name);
    }

    // Whole content of a file, read through a descriptor of its own.
    std::string ReadAll(const BkEndProcPtr& file) {
        QuayCtxt ctxt = Allowed();
        const int fd = file->open(&ctxt, file->GetClientPath().c_str(), O_RDONLY, 0);
        EXPECT_GT(fd, 0) << "errno " << errno;
        if (fd <= 0) return std::string();
        std::string content;
        char buf[65536];
        for (;;) {
            const ssize_t n = file->read(&ctxt, fd, buf, content.size(), sizeof(buf));
            EXPECT_GE(n, 0) << "errno " << errno;
            if (n <= 0) break;
            content.append(buf, static_cast<size_t>(n));
        }
        EXPECT_EQ(0, file->close(&ctxt, fd));
        return content;
    }

    // Names a directory lists, "." and ".." included, in stream order.
    std::vector<std::string> List(const BkEndProcPtr& dir) {
        QuayCtxt ctxt = Allowed();
        std::vector<std::string> names;
        DIR* stream = dir->opendir(&ctxt, dir->GetClientPath().c_str());
        EXPECT_NE(nullptr, stream) << "errno " << errno;
        if (stream == nullptr) return names;
        while (struct dirent* entry = dir->readdir(&ctxt, stream)) names.push_back(entry->d_name);
        EXPECT_EQ(0, dir->closedir(&ctxt, stream));
        return names;
    }

    // One figure of the store's statistics ("Versions", "Logical bytes", ...).
    std::string StoreFigure(const std::string& name) {
        ObjectStore::NameValueList stats;
        EXPECT_FALSE(BackupFSM::GetObjContainer()
                         ->getObjStrGuiStats(exp_->GetObjStoreIndex(), stats)
                         .IsError());
        for (const auto& entry : stats) {
            if (entry.first == name) return entry.second;
        }
        return "missing " + name;
    }

    static std::string GuidOf(const BkEndProcPtr& object) {
        nfs_fh3 fh;
        object->GetFileHandle(fh);
        return std::string(reinterpret_cast<const char*>(fh.data + 8));
    }

    // The export leaves the host's cache: objects can no longer be built for it.
    void Unpublish() {
        ExportPtr exp = exp_;
        gAllExports->RemoveExport(exp);
    }

    IdInfo allowed_;
    IdInfo refused_;
    boost::shared_ptr<BackupFSMExport> exp_;
    BkEndProcPtr root_;
};

}  // namespace backendtest
