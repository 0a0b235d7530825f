// Directories through backend objects: streams with handles and attributes
// per entry, positions, creating and removing directories.
#include <algorithm>
#include <map>

#include <gtest/gtest.h>

#include "tests/module/BackendFixture.h"

namespace {

using backendtest::BackendTest;

class BackendDirectoryTest : public BackendTest {
protected:
    // "/d" holding the files a, b, c.
    void MakeTree() {
        dir_ = MakeDir(root_, "d");
        ASSERT_TRUE(dir_);
        for (const char* name : {"a", "b", "c"}) ASSERT_TRUE(MakeFile(dir_, name, name));
        ClearLines();
    }

    DIR* Open(const BkEndProcPtr& dir) {
        QuayCtxt ctxt = Allowed();
        DIR* stream = dir->opendir(&ctxt, dir->GetClientPath().c_str());
        EXPECT_NE(nullptr, stream) << "errno " << errno;
        return stream;
    }

    void Close(const BkEndProcPtr& dir, DIR* stream) {
        QuayCtxt ctxt = Allowed();
        EXPECT_EQ(0, dir->closedir(&ctxt, stream));
    }

    BkEndProcPtr dir_;
};

nfs_fh3 Poisoned() {
    nfs_fh3 fh;
    fh.length = 99;
    memset(fh.data, 0xAB, sizeof(fh.data));
    return fh;
}

bool IsPoisoned(const nfs_fh3& fh) {
    if (fh.length != 99) return false;
    for (unsigned char byte : fh.data) {
        if (byte != 0xAB) return false;
    }
    return true;
}

TEST_F(BackendDirectoryTest, ReaddirListsDotsThenEntriesAndEndsWithoutErrno) {
    OpenShare();
    MakeTree();
    QuayCtxt ctxt = Allowed();
    DIR* stream = dir_->opendir(&ctxt, "/d");
    ASSERT_NE(nullptr, stream);
    EXPECT_LOGGED(3, "INFO: opening the directory  [/d] ");
    EXPECT_LOGGED(3, "INFO: opening the directory [/d] succeeded");
    std::vector<std::string> names;
    while (struct dirent* entry = dir_->readdir(&ctxt, stream)) names.push_back(entry->d_name);
    ASSERT_EQ(5u, names.size());
    EXPECT_EQ(".", names[0]);
    EXPECT_EQ("..", names[1]);
    std::sort(names.begin() + 2, names.end());
    EXPECT_EQ((std::vector<std::string>{".", "..", "a", "b", "c"}), names);

    errno = 12345;
    EXPECT_EQ(nullptr, dir_->readdir(&ctxt, stream));
    EXPECT_EQ(12345, errno) << "the end of the stream is not an error";
    const std::string guid = GuidOf(dir_);
    EXPECT_LOGGED(3, "INFO: reading the directory [GUID = " + guid + "]");
    EXPECT_LOGGED(3, "INFO: reading the directory [GUID = " + guid + "] succeeded");
    EXPECT_EQ(0, dir_->closedir(&ctxt, stream));
    EXPECT_LOGGED(3, "INFO: closing the directory [GUID = " + guid + "] succeeded");
}

TEST_F(BackendDirectoryTest, ReaddirExFillsHandlesExceptForDots) {
    OpenShare();
    MakeTree();
    QuayCtxt ctxt = Allowed();
    DIR* stream = Open(dir_);
    ASSERT_NE(nullptr, stream);
    std::map<std::string, std::string> guidByName;
    for (;;) {
        nfs_fh3 fh = Poisoned();
        struct stat st;
        memset(&st, 0, sizeof(st));
        uint64_t cookie = 0;
        struct dirent* entry = dir_->readdir_ex(&ctxt, stream, fh, st, &cookie);
        if (entry == nullptr) break;
        const std::string name = entry->d_name;
        EXPECT_TRUE(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)) << name;
        if (name == "." || name == "..") {
            EXPECT_TRUE(IsPoisoned(fh)) << name << " keeps the host's handle";
            EXPECT_TRUE(S_ISDIR(st.st_mode)) << name;
            continue;
        }
        EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
        EXPECT_EQ(1, st.st_size) << name;
        ASSERT_EQ(41u, fh.length) << name;
        EXPECT_TRUE(BackupFSM::GetFSM()->IsFHValid(fh));
        // The handle names the entry: the host gets the same object back.
        ExportPtr exp = exp_;
        BkEndProcPtr object = BackupFSM::GetFSM()->GetFSObject(exp, fh);
        ASSERT_TRUE(object) << name;
        EXPECT_EQ("/d/" + name, object->GetClientPath());
        guidByName[name] = GuidOf(object);
    }
    Close(dir_, stream);
    ASSERT_EQ(3u, guidByName.size());
    for (const auto& entry : guidByName) {
        BkEndProcPtr found = Find(dir_, entry.first);
        ASSERT_TRUE(found);
        EXPECT_EQ(GuidOf(found), entry.second);
    }
}

TEST_F(BackendDirectoryTest, ReaddirExOnADnfsShareFills43ByteHandles) {
    OpenShare(false, true);
    MakeTree();
    QuayCtxt ctxt = Allowed();
    DIR* stream = Open(dir_);
    ASSERT_NE(nullptr, stream);
    int ordinary = 0;
    nfs_fh3 fh;
    struct stat st;
    uint64_t cookie = 0;
    while (struct dirent* entry = dir_->readdir_ex(&ctxt, stream, fh, st, &cookie)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        EXPECT_EQ(43u, fh.length) << entry->d_name;
        EXPECT_EQ(0, fh.data[41]);
        EXPECT_EQ(0, fh.data[42]);
        ++ordinary;
    }
    EXPECT_EQ(3, ordinary);
    Close(dir_, stream);
}

TEST_F(BackendDirectoryTest, ReaddirExEndKeepsErrnoAndLogsSuccess) {
    OpenShare();
    BkEndProcPtr empty = MakeDir(root_, "e");
    ASSERT_TRUE(empty);
    QuayCtxt ctxt = Allowed();
    DIR* stream = Open(empty);
    ASSERT_NE(nullptr, stream);
    nfs_fh3 fh;
    struct stat st;
    uint64_t cookie = 0;
    ASSERT_NE(nullptr, empty->readdir_ex(&ctxt, stream, fh, st, &cookie));
    ASSERT_NE(nullptr, empty->readdir_ex(&ctxt, stream, fh, st, &cookie));
    ClearLines();
    errno = 777;
    EXPECT_EQ(nullptr, empty->readdir_ex(&ctxt, stream, fh, st, &cookie));
    EXPECT_EQ(777, errno);
    EXPECT_LOGGED(3, "INFO: reading the directory [GUID = " + GuidOf(empty) + "] succeeded");
    Close(empty, stream);
}

TEST_F(BackendDirectoryTest, ReaddirExEntryWithoutObjectIsEINVAL) {
    OpenShare();
    MakeTree();
    QuayCtxt ctxt = Allowed();
    DIR* stream = Open(dir_);
    ASSERT_NE(nullptr, stream);
    nfs_fh3 fh;
    struct stat st;
    uint64_t cookie = 0;
    ASSERT_NE(nullptr, dir_->readdir_ex(&ctxt, stream, fh, st, &cookie));
    ASSERT_NE(nullptr, dir_->readdir_ex(&ctxt, stream, fh, st, &cookie));
    // Entries can no longer be turned into objects once the share is gone.
    Unpublish();
    ClearLines();
    errno = 0;
    EXPECT_EQ(nullptr, dir_->readdir_ex(&ctxt, stream, fh, st, &cookie));
    EXPECT_EQ(EINVAL, errno);
    bool found = false;
    const std::string prefix = "ERROR: creation of child failed, exp [" +
                               backendtest::Address(exp_.get()) + "], guid [";
    for (const LogLine& line : Lines()) {
        if (line.level == -1 && line.text.compare(0, prefix.size(), prefix) == 0) {
            found = true;
            EXPECT_EQ(prefix.size() + 32 + 1, line.text.size()) << line.text;
        }
    }
    EXPECT_TRUE(found) << testsupport::Dump(Lines());
    EXPECT_NOT_LOGGED("INFO: reading the directory [GUID = " + GuidOf(dir_) + "] succeeded");
    Close(dir_, stream);
}

TEST_F(BackendDirectoryTest, RefusedCallerDoesNotAdvanceTheStream) {
    OpenShare();
    MakeTree();
    QuayCtxt ctxt = Allowed();
    QuayCtxt refused = Refused();
    errno = 0;
    EXPECT_EQ(nullptr, dir_->opendir(&refused, "/d"));
    EXPECT_EQ(EACCES, errno);

    DIR* stream = Open(dir_);
    ASSERT_NE(nullptr, stream);
    nfs_fh3 fh;
    struct stat st;
    uint64_t cookie = 0;
    errno = 0;
    EXPECT_EQ(nullptr, dir_->readdir(&refused, stream));
    EXPECT_EQ(EACCES, errno);
    errno = 0;
    EXPECT_EQ(nullptr, dir_->readdir_ex(&refused, stream, fh, st, &cookie));
    EXPECT_EQ(EACCES, errno);
    errno = 0;
    EXPECT_EQ(-1, dir_->telldir(&refused, stream));
    EXPECT_EQ(EACCES, errno);
    errno = 0;
    dir_->seekdir(&refused, stream, 3);
    EXPECT_EQ(EACCES, errno);
    errno = 0;
    EXPECT_EQ(-1, dir_->closedir(&refused, stream));
    EXPECT_EQ(EACCES, errno);

    struct dirent* first = dir_->readdir(&ctxt, stream);
    ASSERT_NE(nullptr, first);
    EXPECT_STREQ(".", first->d_name);
    Close(dir_, stream);
}

TEST_F(BackendDirectoryTest, TelldirPositionsResumeTheListing) {
    OpenShare();
    MakeTree();
    QuayCtxt ctxt = Allowed();
    DIR* stream = Open(dir_);
    ASSERT_NE(nullptr, stream);
    ASSERT_NE(nullptr, dir_->readdir(&ctxt, stream));
    ASSERT_NE(nullptr, dir_->readdir(&ctxt, stream));
    ASSERT_NE(nullptr, dir_->readdir(&ctxt, stream));
    const long position = dir_->telldir(&ctxt, stream);
    ASSERT_GE(position, 0);
    const std::string guid = GuidOf(dir_);
    EXPECT_LOGGED(3, "INFO: current poistion in the directory  [GUID = " + guid + "] is [" +
                         std::to_string(position) + "]");
    std::vector<std::string> rest;
    while (struct dirent* entry = dir_->readdir(&ctxt, stream)) rest.push_back(entry->d_name);
    ASSERT_EQ(2u, rest.size());

    ClearLines();
    errno = 0;
    dir_->seekdir(&ctxt, stream, position);
    EXPECT_EQ(0, errno);
    EXPECT_LOGGED(3, "INFO: seeking the directory [GUID = " + guid + "] to  offset [" +
                         std::to_string(position) + "]");
    EXPECT_LOGGED(3, "INFO: seeking the directory [GUID = " + guid + "] succeeded");
    std::vector<std::string> again;
    while (struct dirent* entry = dir_->readdir(&ctxt, stream)) again.push_back(entry->d_name);
    EXPECT_EQ(rest, again);

    Faults().FailNext("seekdir", 1, EIO);
    errno = 0;
    dir_->seekdir(&ctxt, stream, position);
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to seek the directory  [GUID = " + guid + "] ");
    Faults().FailNext("telldir", 1, EIO);
    errno = 0;
    EXPECT_EQ(-1, dir_->telldir(&ctxt, stream));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: Getting the current poistion in the directory  [GUID = " + guid +
                          "] failed ");
    Close(dir_, stream);
}

TEST_F(BackendDirectoryTest, StreamFailuresCarryTheStoreErrno) {
    OpenShare();
    MakeTree();
    QuayCtxt ctxt = Allowed();
    BkEndProcPtr file = Find(dir_, "a");
    ASSERT_TRUE(file);
    errno = 0;
    EXPECT_EQ(nullptr, file->opendir(&ctxt, "/d/a"));
    EXPECT_EQ(ENOTDIR, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to open the directory  [/d/a] ");

    DIR* stream = Open(dir_);
    ASSERT_NE(nullptr, stream);
    const std::string guid = GuidOf(dir_);
    Faults().FailNext("readdir", 1, EIO);
    errno = 0;
    EXPECT_EQ(nullptr, dir_->readdir(&ctxt, stream));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: reading the directory  [GUID = " + guid + "] failed");

    nfs_fh3 fh;
    struct stat st;
    uint64_t cookie = 0;
    Faults().FailNext("readdir_ex", 1, EIO);
    errno = 42;
    EXPECT_EQ(nullptr, dir_->readdir_ex(&ctxt, stream, fh, st, &cookie));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: reading the directory  [GUID = " + guid + "] failed, errno [42].");

    Faults().FailNext("closedir", 1, EIO);
    errno = 0;
    EXPECT_EQ(-1, dir_->closedir(&ctxt, stream));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to close the directory [GUID = " + guid + "]");
    Close(dir_, stream);
}

TEST_F(BackendDirectoryTest, CreateChildDirAndRmdir) {
    OpenShare();
    QuayCtxt ctxt = Allowed();
    BkEndProcPtr sub = root_->CreateChildDir(&ctxt, "sub", 0750);
    ASSERT_TRUE(sub);
    EXPECT_EQ("/sub", sub->GetClientPath());
    EXPECT_LOGGED(3, "INFO: Creating directory [sub]");
    EXPECT_LOGGED(3, "INFO: Directory [sub] created");
    struct stat st;
    ASSERT_EQ(0, sub->lstat(&ctxt, "/sub", &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    errno = 0;
    EXPECT_FALSE(root_->CreateChildDir(&ctxt, "sub", 0750));
    EXPECT_EQ(EEXIST, errno);
    EXPECT_LOGGED(-1, "ERROR: Creating directory [sub] failed");

    // No emptiness check of the module's own: the store refuses.
    ASSERT_TRUE(MakeFile(sub, "f", "x"));
    const std::string guid = GuidOf(sub);
    ClearLines();
    errno = 0;
    EXPECT_EQ(-1, sub->rmdir(&ctxt, "/sub"));
    EXPECT_EQ(ENOTEMPTY, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to remove the directory [GUID = " + guid + "]");

    BkEndProcPtr f = Find(sub, "f");
    ASSERT_TRUE(f);
    ctxt.parentObj = sub;
    ASSERT_EQ(0, f->unlink(&ctxt, "/sub/f"));
    ClearLines();
    EXPECT_EQ(0, sub->rmdir(&ctxt, "/sub"));
    EXPECT_LOGGED(3, "INFO: removing the directory [GUID = " + guid + "]");
    EXPECT_LOGGED(3, "INFO: removed the directory [GUID = " + guid + "] succeeded");
    EXPECT_FALSE(Find(root_, "sub"));
}

TEST_F(BackendDirectoryTest, CreateChildDirFailures) {
    OpenShare();
    QuayCtxt ctxt = Allowed();
    QuayCtxt refused = Refused();
    errno = 0;
    EXPECT_FALSE(root_->CreateChildDir(&refused, "x", 0755));
    EXPECT_EQ(EACCES, errno);
    errno = 0;
    EXPECT_EQ(-1, root_->rmdir(&refused, "/"));
    EXPECT_EQ(EACCES, errno);

    // A full store is an error here, unlike file creation.
    Faults().FailNext("mkdir", 1, ENOSPC);
    errno = 0;
    EXPECT_FALSE(root_->CreateChildDir(&ctxt, "x", 0755));
    EXPECT_EQ(ENOSPC, errno);
    EXPECT_LOGGED(-1, "ERROR: Creating directory [x] failed");

    BkEndProcPtr gone = MakeDir(root_, "gone");
    ASSERT_TRUE(gone);
    ASSERT_EQ(0, gone->rmdir(&ctxt, "/gone"));
    ClearLines();
    errno = 0;
    EXPECT_FALSE(gone->CreateChildDir(&ctxt, "x", 0755));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_NOT_LOGGED("INFO: Creating directory [x]");

    // A directory whose object cannot be built stays in the store.
    Unpublish();
    errno = 0;
    EXPECT_FALSE(root_->CreateChildDir(&ctxt, "kept", 0755));
    EXPECT_EQ(EINVAL, errno);
    ExportPtr exp = exp_;
    gAllExports->AddExport(exp);
    EXPECT_TRUE(Find(root_, "kept"));
}

}  // namespace
