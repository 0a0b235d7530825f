// Backend objects from the host's hooks, name lookup, attribute queries, the
// share-root exceptions for a refused caller and the fixed answers.
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/module/BackendFixture.h"

namespace {

using backendtest::BackendTest;

nfs_fh3 RawHandle(uint32_t length, uint32_t type, uint32_t shareId, const std::string& guid) {
    nfs_fh3 fh;
    fh.length = length;
    memcpy(fh.data, &type, 4);
    memcpy(fh.data + 4, &shareId, 4);
    memcpy(fh.data + 8, guid.c_str(), guid.size() + 1);
    return fh;
}

class BackendLookupTest : public BackendTest {};

// --- Host hooks.

TEST_F(BackendLookupTest, RootHandleGivesTheShareRoot) {
    OpenShare();
    EXPECT_EQ("/", root_->GetClientPath());
    EXPECT_LOGGED(4, "[/] is the Client Path for file Handle [" + GuidOf(root_) + "]");
    nfs_fh3 fromExport;
    nfs_fh3 fromObject;
    exp_->GetFileHandle(CPelIPAddr(), fromExport);
    root_->GetFileHandle(fromObject);
    ASSERT_EQ(41u, fromObject.length);
    EXPECT_EQ(0, memcmp(fromExport.data, fromObject.data, 41));
}

TEST_F(BackendLookupTest, HandleOfUnknownShareIsWellFormedButGivesNoObject) {
    OpenShare();
    BackupFSM* fsm = BackupFSM::GetFSM();
    const nfs_fh3 fh = RawHandle(41, 4, 999, GuidOf(root_));
    EXPECT_TRUE(fsm->IsFHValid(fh));
    ExportPtr exp = exp_;
    errno = 0;
    EXPECT_FALSE(fsm->GetFSObject(exp, fh));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_LOGGED(-1, "ERROR: Can't find export for share ID [999]");
    EXPECT_LOGGED(-1, "Error: invalid file handle");
}

TEST_F(BackendLookupTest, MalformedHandlesAreRefusedAndStillRender) {
    OpenShare();
    BackupFSM* fsm = BackupFSM::GetFSM();
    const std::string guid = GuidOf(root_);
    EXPECT_FALSE(fsm->IsFHValid(RawHandle(42, 4, backendtest::kShareId, guid)));
    EXPECT_FALSE(fsm->IsFHValid(RawHandle(41, 5, backendtest::kShareId, guid)));
    EXPECT_TRUE(fsm->IsFHValid(RawHandle(43, 4, backendtest::kShareId, guid)));

    const nfs_fh3 wrongType = RawHandle(41, 5, 77, guid);
    EXPECT_EQ("shareId [77], GUID []", fsm->FH2Str(wrongType));
    EXPECT_EQ("shareId [21], GUID [" + guid + "]",
              fsm->FH2Str(RawHandle(41, 4, backendtest::kShareId, guid)));
    ExportPtr exp = exp_;
    EXPECT_FALSE(fsm->GetFSObject(exp, wrongType));
    EXPECT_LOGGED(-1, "ERROR: BackupFSMFileHandle creation failed");
}

TEST_F(BackendLookupTest, ExportOfAnotherModuleGivesNoObject) {
    OpenShare();
    ExportPtr parent;
    ExportPtr foreign(new Export("/other", SHARE_PERM_READ_WRITE, "*", backendtest::kShareId, parent));
    nfs_fh3 fh;
    root_->GetFileHandle(fh);
    EXPECT_FALSE(BackupFSM::GetFSM()->GetFSObject(foreign, fh));
    EXPECT_LOGGED(-1, "Error: Dynamic cast failed");
    ExportPtr none;
    EXPECT_FALSE(BackupFSM::GetFSM()->GetFSObject(none, fh));
}

TEST_F(BackendLookupTest, HandleOfOneShareIsNotServedThroughAnother) {
    OpenShare();
    boost::shared_ptr<BackupFSMExport> second = Publish("/second", 22, false);
    ASSERT_TRUE(second);
    nfs_fh3 fh;
    root_->GetFileHandle(fh);
    ExportPtr other = second;
    EXPECT_FALSE(BackupFSM::GetFSM()->GetFSObject(other, fh));
    EXPECT_LOGGED(-1, "Error: invalid file handle");
}

TEST_F(BackendLookupTest, DestroyedObjectLogsAtLevelTen) {
    OpenShare();
    BkEndProcPtr dir = MakeDir(root_, "d");
    ASSERT_TRUE(dir);
    const std::string address = backendtest::Address(dir.get());
    ClearLines();
    dir.reset();
    EXPECT_LOGGED(10, "BackupBkEndObj [" + address + "] deleted");
}

// --- Share-root exceptions.

TEST_F(BackendLookupTest, RefusedCallerMayStatTheRootOnly) {
    OpenShare();
    BkEndProcPtr dir = MakeDir(root_, "d");
    ASSERT_TRUE(dir);
    QuayCtxt refused = Refused();
    struct stat st;
    struct statfs fs;

    EXPECT_EQ(0, root_->lstat(&refused, "/", &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0, root_->access(&refused, "/", R_OK));
    EXPECT_EQ(0, dir->statfs(&refused, "/", &fs));

    ClearLines();
    Faults().FailNext("getattr", 1, EIO);
    errno = 0;
    EXPECT_EQ(-1, dir->lstat(&refused, "/d", &st));
    EXPECT_EQ(EACCES, errno);
    EXPECT_EQ(0, Faults().Injected("getattr")) << "refused before any store call";
    Faults().Clear();
    errno = 0;
    EXPECT_EQ(-1, dir->access(&refused, "/d", F_OK));
    EXPECT_EQ(EACCES, errno);
    errno = 0;
    EXPECT_EQ(-1, root_->statfs(&refused, "/d", &fs));
    EXPECT_EQ(EACCES, errno);
    EXPECT_NOT_LOGGED("INFO: Getting stat for path [/d],");
    EXPECT_NOT_LOGGED("INFO: lookup for path [/d]");

    errno = 0;
    EXPECT_FALSE(root_->FindChild(&refused, "d"));
    EXPECT_EQ(EACCES, errno);
    errno = 0;
    EXPECT_FALSE(dir->GetParent(&refused));
    EXPECT_EQ(EACCES, errno);
}

// --- Lookup.

TEST_F(BackendLookupTest, FindChildUnderRootAndUnderADirectory) {
    OpenShare();
    BkEndProcPtr dir = MakeDir(root_, "d");
    ASSERT_TRUE(dir);
    ASSERT_TRUE(MakeFile(dir, "f", "data"));
    ClearLines();

    BkEndProcPtr foundDir = Find(root_, "d");
    ASSERT_TRUE(foundDir);
    EXPECT_EQ("/d", foundDir->GetClientPath());
    EXPECT_EQ(GuidOf(dir), GuidOf(foundDir));
    EXPECT_LOGGED(3, "INFO: looking child [d]");
    EXPECT_LOGGED(3, "INFO: looking child [d] under [/]");

    BkEndProcPtr file = Find(foundDir, "f");
    ASSERT_TRUE(file);
    EXPECT_EQ("/d/f", file->GetClientPath());
    EXPECT_LOGGED(3, "INFO: looking child [f] under [/d]");
}

TEST_F(BackendLookupTest, DotDotOfTheRootIsTheRoot) {
    OpenShare();
    BkEndProcPtr up = Find(root_, "..");
    ASSERT_TRUE(up);
    EXPECT_EQ(GuidOf(root_), GuidOf(up));
    EXPECT_EQ("/", up->GetClientPath());
    EXPECT_LOGGED(2, "WARN: resetting child path [/..] to [/]");
}

TEST_F(BackendLookupTest, DotDotOfADirectoryIsLeftToTheStore) {
    OpenShare();
    BkEndProcPtr dir = MakeDir(root_, "d");
    ASSERT_TRUE(dir);
    ClearLines();
    Find(dir, "..");
    EXPECT_LOGGED(3, "INFO: looking child [..] under [/d]");
    EXPECT_NOT_LOGGED("WARN: resetting child path [/..] to [/]");
}

TEST_F(BackendLookupTest, MissingChildIsENOENTAtLevelTwo) {
    OpenShare();
    errno = 0;
    EXPECT_FALSE(Find(root_, "absent"));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_LOGGED(2, "WARN: child not found under [/]");
    EXPECT_NOT_LOGGED("ERROR: failed to get Child");
}

TEST_F(BackendLookupTest, LookupStoreFailuresCarryTheStoreErrno) {
    OpenShare();
    Faults().FailNext("getattr", 1, EIO);
    errno = 0;
    EXPECT_FALSE(Find(root_, "x"));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: failed to get Child");

    Faults().FailNext("guidToPath", 1, ESTALE);
    errno = 0;
    EXPECT_FALSE(Find(root_, "x"));
    EXPECT_EQ(ESTALE, errno);
    EXPECT_LOGGED(-1, "ERROR: failed to get parent path");
}

TEST_F(BackendLookupTest, ChildOrParentThatCannotBeBuiltIsEINVAL) {
    OpenShare();
    BkEndProcPtr dir = MakeDir(root_, "d");
    ASSERT_TRUE(dir);
    Unpublish();
    ClearLines();
    errno = 0;
    EXPECT_FALSE(Find(root_, "d"));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_LOGGED(-1, "ERROR: Can't find export for share ID [21]");

    QuayCtxt ctxt = Allowed();
    errno = 0;
    EXPECT_FALSE(dir->GetParent(&ctxt));
    EXPECT_EQ(EINVAL, errno);
}

TEST_F(BackendLookupTest, GetParentWalksUpToTheRoot) {
    OpenShare();
    BkEndProcPtr dir = MakeDir(root_, "d");
    ASSERT_TRUE(dir);
    BkEndProcPtr file = MakeFile(dir, "f", "");
    ASSERT_TRUE(file);
    QuayCtxt ctxt = Allowed();
    BkEndProcPtr parent = file->GetParent(&ctxt);
    ASSERT_TRUE(parent);
    EXPECT_EQ(GuidOf(dir), GuidOf(parent));
    BkEndProcPtr top = parent->GetParent(&ctxt);
    ASSERT_TRUE(top);
    EXPECT_EQ(GuidOf(root_), GuidOf(top));
    BkEndProcPtr aboveRoot = root_->GetParent(&ctxt);
    ASSERT_TRUE(aboveRoot);
    EXPECT_EQ(GuidOf(root_), GuidOf(aboveRoot));

    Faults().FailNext("getattr", 1, EIO);
    errno = 0;
    EXPECT_FALSE(file->GetParent(&ctxt));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: failed to get parent path");
}

// --- Attributes.

TEST_F(BackendLookupTest, LstatStatsTheObjectWhateverThePathArgument) {
    OpenShare();
    BkEndProcPtr file = MakeFile(root_, "f", "12345");
    ASSERT_TRUE(file);
    ClearLines();
    QuayCtxt ctxt = Allowed();
    struct stat st;
    ASSERT_EQ(0, file->lstat(&ctxt, "/somewhere/else", &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(5, st.st_size);
    EXPECT_LOGGED(3, "INFO: Getting stat for path [/f],");
    EXPECT_LOGGED(3, "INFO: stat on path [/f] succeeded,");
}

TEST_F(BackendLookupTest, AccessIgnoresTheModeAndFailsForAVanishedObject) {
    OpenShare();
    BkEndProcPtr file = MakeFile(root_, "f", "");
    ASSERT_TRUE(file);
    QuayCtxt ctxt = Allowed();
    for (int mode : {F_OK, R_OK, W_OK | X_OK, 0777}) {
        EXPECT_EQ(0, file->access(&ctxt, "/f", mode)) << mode;
    }
    EXPECT_LOGGED(3, "INFO: lookup for path [/f]");
    EXPECT_LOGGED(3, "INFO: lookup on path [/f] succeeded");

    QuayCtxt unlinkCtxt = Allowed();
    unlinkCtxt.parentObj = root_;
    ASSERT_EQ(0, file->unlink(&unlinkCtxt, "/f"));
    errno = 0;
    EXPECT_EQ(-1, file->access(&ctxt, "/f", F_OK));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to lookup path [/f]");
    struct stat st;
    errno = 0;
    EXPECT_EQ(-1, file->lstat(&ctxt, "/f", &st));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to get stat for path [/f],");
}

TEST_F(BackendLookupTest, StatfsReportsTheStore) {
    OpenShare();
    QuayCtxt ctxt = Allowed();
    struct statfs fs;
    memset(&fs, 0, sizeof(fs));
    ASSERT_EQ(0, root_->statfs(&ctxt, "/", &fs));
    EXPECT_GT(fs.f_bsize, 0);
    const std::string guid = GuidOf(root_);
    EXPECT_LOGGED(3, "INFO: getting stat of the file with guid [" + guid + "]");
    EXPECT_LOGGED(3, "stat on file with guid [" + guid + "]succeeded");

    Faults().FailNext("statfs", 1, EIO);
    errno = 0;
    EXPECT_EQ(-1, root_->statfs(&ctxt, "/", &fs));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: failed to stat the file");
}

TEST_F(BackendLookupTest, ChildHandlesFollowTheExportsDnfsSetting) {
    OpenShare(false, true);
    BkEndProcPtr file = MakeFile(root_, "f", "");
    ASSERT_TRUE(file);
    nfs_fh3 fh;
    file->GetFileHandle(fh);
    EXPECT_EQ(43u, fh.length);
    root_->GetFileHandle(fh);
    EXPECT_EQ(41u, fh.length) << "the root came from a received handle";
}

// --- Fixed answers.

TEST_F(BackendLookupTest, FixedAnswersNeedNoCallerAndNoStore) {
    OpenShare();
    QuayCtxt refused = Refused();
    ClearLines();
    for (int name : {static_cast<int>(_PC_NAME_MAX), static_cast<int>(_PC_PATH_MAX), static_cast<int>(_PC_LINK_MAX), -1}) {
        EXPECT_EQ(1024, root_->pathconf(&refused, "/x", name));
    }
    EXPECT_TRUE(root_->isCreateAndOpenSupported());
    EXPECT_TRUE(root_->is_readdir_ex_supported());
    EXPECT_TRUE(root_->is_getACL_ex_supported());
    const unsigned int mode = 0;
    void* const nothing = nullptr;
    EXPECT_TRUE(root_->checkAccess(nullptr, mode, nothing));

    long size = 10;
    struct stat st;
    errno = 0;
    EXPECT_EQ(-1, root_->mknod(&refused, "/n", 0, NF3FIFO, 0644));
    EXPECT_EQ(ENOTSUP, errno);
    errno = 0;
    EXPECT_EQ(-1, root_->link(&refused, "/a", "/b"));
    EXPECT_EQ(ENOTSUP, errno);
    errno = 0;
    EXPECT_EQ(-1, root_->setAllocationSize(&refused, "/a", size));
    EXPECT_EQ(ENOTSUP, errno);
    errno = 0;
    EXPECT_EQ(-1, root_->setFileAttributes(&refused, "/a", st));
    EXPECT_EQ(ENOTSUP, errno);
    errno = 0;
    EXPECT_FALSE(root_->isDirectoryEmpty(&refused));
    EXPECT_EQ(ENOTSUP, errno);
    EXPECT_TRUE(Lines().empty()) << testsupport::Dump(Lines());
}

}  // namespace
