// File data through backend objects: open with the new-version retry,
// creation, read, write, close, truncate and the module-wide sync interval.
#include <unistd.h>

#include <ctime>

#include <gtest/gtest.h>

#include "module/filehandle/FdToObjectStoreFH.h"
#include "tests/module/BackendFixture.h"

namespace {

using backendtest::BackendTest;

class BackendFileDataTest : public BackendTest {
protected:
    // A file "/f" with the given content, and a descriptor on it.
    void OpenFile(const std::string& content, int flags) {
        file_ = MakeFile(root_, "f", content);
        ASSERT_TRUE(file_);
        QuayCtxt ctxt = Allowed();
        fd_ = file_->open(&ctxt, "/f", flags, 0);
        ASSERT_GT(fd_, 0) << "errno " << errno << "\n" << testsupport::Dump(Lines());
        ClearLines();
    }

    void CloseFile() {
        QuayCtxt ctxt = Allowed();
        EXPECT_EQ(0, file_->close(&ctxt, fd_));
    }

    BkEndProcPtr file_;
    int fd_ = -1;
};

// --- open.

TEST_F(BackendFileDataTest, ReadOnlyOpenNeverConsultsVersions) {
    OpenShare();
    BkEndProcPtr file = MakeFile(root_, "f", "abc");
    ASSERT_TRUE(file);
    ClearLines();
    QuayCtxt ctxt = Allowed();
    const int fd = file->open(&ctxt, "/f", O_RDONLY, 0);
    ASSERT_GT(fd, 0);
    EXPECT_LOGGED(3, "INFO: opening the file [/f]");
    EXPECT_LOGGED(3, "INFO: opened file successfully [/f]");
    EXPECT_NOT_LOGGED("Versions disabled for this export");
    EXPECT_EQ(0, file->close(&ctxt, fd));

    ClearLines();
    const int writeFd = file->open(&ctxt, "/f", O_WRONLY, 0);
    ASSERT_GT(writeFd, 0);
    EXPECT_LOGGED(5, "Versions disabled for this export");
    EXPECT_EQ(0, file->close(&ctxt, writeFd));
}

TEST_F(BackendFileDataTest, RefusedNewVersionIsRetriedWithoutOne) {
    OpenShare(true);
    BkEndProcPtr file = MakeFile(root_, "f", "abc");
    ASSERT_TRUE(file);
    ClearLines();
    Faults().FailNext("open", 1, EAGAIN);
    QuayCtxt ctxt = Allowed();
    const int fd = file->open(&ctxt, "/f", O_RDWR, 0);
    ASSERT_GT(fd, 0) << testsupport::Dump(Lines());
    EXPECT_EQ(1, Faults().Injected("open"));
    EXPECT_EQ(1, testsupport::CountLines(
                     Lines(), "ERROR: Failed to open new version for file [/f] Retrying with new "
                              "version set to false"));
    EXPECT_LOGGED(5, "ERROR: Failed to open new version for file [/f] Retrying with new version "
                     "set to false");
    EXPECT_NOT_LOGGED("ERROR: Failed to open file [/f]");
    EXPECT_EQ(0, file->close(&ctxt, fd));
}

TEST_F(BackendFileDataTest, YoungVersionIsRefusedByTheStoreAndTheOpenStillSucceeds) {
    // The fixture's export keeps versions with an interval of 300 s: a second
    // open for writing within it cannot start a new version.
    OpenShare(true);
    BkEndProcPtr file = MakeFile(root_, "f", "first");
    ASSERT_TRUE(file);
    QuayCtxt ctxt = Allowed();
    const int fd = file->open(&ctxt, "/f", O_WRONLY, 0);
    ASSERT_GT(fd, 0);
    ASSERT_EQ(0, file->close(&ctxt, fd));
    ClearLines();

    const int again = file->open(&ctxt, "/f", O_WRONLY, 0);
    ASSERT_GT(again, 0) << testsupport::Dump(Lines());
    EXPECT_LOGGED(5, "ERROR: Failed to open new version for file [/f] Retrying with new version "
                     "set to false");
    EXPECT_EQ(5, file->write(&ctxt, again, "later", 0, 5, BKEND_FILE_SYNC));
    EXPECT_EQ(0, file->close(&ctxt, again));
    EXPECT_EQ("later", ReadAll(file));
}

TEST_F(BackendFileDataTest, OnlyARefusedNewVersionIsRetried) {
    OpenShare(true);
    BkEndProcPtr file = MakeFile(root_, "f", "");
    ASSERT_TRUE(file);
    QuayCtxt ctxt = Allowed();

    ClearLines();
    Faults().FailNext("open", 1, EIO);
    errno = 0;
    EXPECT_EQ(-1, file->open(&ctxt, "/f", O_RDWR, 0));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to open file [/f]");
    EXPECT_EQ(1, Faults().Injected("open"));

    ClearLines();
    Faults().FailNext("open", 2, EAGAIN);
    errno = 0;
    EXPECT_EQ(-1, file->open(&ctxt, "/f", O_RDWR, 0));
    EXPECT_EQ(EAGAIN, errno);
    EXPECT_LOGGED(5, "ERROR: Failed to open new version for file [/f] Retrying with new version "
                     "set to false");
    EXPECT_LOGGED(-1, "ERROR: Failed to open file [/f]");

    // A read-only open asks for no new version: its EAGAIN is final.
    ClearLines();
    Faults().FailNext("open", 1, EAGAIN);
    errno = 0;
    EXPECT_EQ(-1, file->open(&ctxt, "/f", O_RDONLY, 0));
    EXPECT_EQ(EAGAIN, errno);
    EXPECT_NOT_LOGGED("ERROR: Failed to open new version for file [/f] Retrying with new version "
                      "set to false");
}

TEST_F(BackendFileDataTest, WithoutVersionsEagainIsNotRetried) {
    OpenShare(false);
    BkEndProcPtr file = MakeFile(root_, "f", "");
    ASSERT_TRUE(file);
    Faults().FailNext("open", 1, EAGAIN);
    QuayCtxt ctxt = Allowed();
    errno = 0;
    EXPECT_EQ(-1, file->open(&ctxt, "/f", O_WRONLY, 0));
    EXPECT_EQ(EAGAIN, errno);
}

TEST_F(BackendFileDataTest, RefusedCallerGetsEaccesEverywhere) {
    OpenShare();
    OpenFile("abc", O_RDWR);
    QuayCtxt refused = Refused();
    char buf[4];
    BkEndProcPtr child;
    struct stat st;
    const unsigned int taken = TakenUniqueNumbers();
    errno = 0;
    EXPECT_EQ(-1, file_->open(&refused, "/f", O_RDONLY, 0));
    EXPECT_EQ(EACCES, errno);
    errno = 0;
    EXPECT_EQ(-1, root_->createAndOpen(&refused, child, "g", O_RDWR, st));
    EXPECT_EQ(EACCES, errno);
    errno = 0;
    EXPECT_FALSE(root_->CreateChildFile(&refused, "g", 0, 0644));
    EXPECT_EQ(EACCES, errno);
    errno = 0;
    EXPECT_EQ(-1, file_->read(&refused, fd_, buf, 0, sizeof(buf)));
    EXPECT_EQ(EACCES, errno);
    errno = 0;
    EXPECT_EQ(-1, file_->write(&refused, fd_, "x", 0, 1, BKEND_FILE_SYNC));
    EXPECT_EQ(EACCES, errno);
    errno = 0;
    EXPECT_EQ(-1, file_->truncate(&refused, "/f", 0));
    EXPECT_EQ(EACCES, errno);
    EXPECT_EQ(taken, TakenUniqueNumbers());
    EXPECT_FALSE(Find(root_, "g"));
    // close needs no authorisation.
    EXPECT_EQ(0, file_->close(&refused, fd_));
    EXPECT_EQ("abc", ReadAll(file_));
}

// --- Creating files.

TEST_F(BackendFileDataTest, CreateAndOpenHandsBackTheNewFileAndADescriptor) {
    OpenShare();
    QuayCtxt ctxt = Allowed();
    BkEndProcPtr child;
    struct stat st;
    const int fd = root_->createAndOpen(&ctxt, child, "new", O_RDWR | O_CREAT, st);
    ASSERT_GT(fd, 0);
    ASSERT_TRUE(child);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ("/new", child->GetClientPath());
    EXPECT_LOGGED(3, "INFO: Creating file [new]");
    EXPECT_LOGGED(3, "INFO: file [new] created");
    EXPECT_LOGGED(3, "INFO: created and opened file successfully [new]");
    EXPECT_EQ(3, child->write(&ctxt, fd, "xyz", 0, 3, BKEND_FILE_SYNC));
    EXPECT_EQ(0, child->close(&ctxt, fd));
    BkEndProcPtr found = Find(root_, "new");
    ASSERT_TRUE(found);
    EXPECT_EQ(GuidOf(child), GuidOf(found));
    EXPECT_EQ("xyz", ReadAll(found));

    BkEndProcPtr second;
    errno = 0;
    EXPECT_EQ(-1, root_->createAndOpen(&ctxt, second, "new", O_RDWR | O_CREAT | O_EXCL, st));
    EXPECT_EQ(EEXIST, errno);
    EXPECT_FALSE(second);
    EXPECT_LOGGED(-1, "ERROR: Creating file [new] failed");
}

TEST_F(BackendFileDataTest, CreateAndOpenWhoseObjectCannotBeBuiltLeavesNothingOpen) {
    OpenShare();
    Unpublish();
    QuayCtxt ctxt = Allowed();
    BkEndProcPtr child = root_;
    struct stat st;
    const unsigned int taken = TakenUniqueNumbers();
    errno = 0;
    EXPECT_EQ(-1, root_->createAndOpen(&ctxt, child, "orphan", O_RDWR | O_CREAT, st));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(root_, child) << "child is left as it was";
    EXPECT_EQ(taken, TakenUniqueNumbers());
    EXPECT_EQ(0u, FdToObjectStoreFH::fdTofhMap.size());
    EXPECT_NOT_LOGGED("INFO: created and opened file successfully [orphan]");

    // The store is told to close the file (seen through a planned failure).
    Faults().FailNext("close", 1, EIO);
    errno = 0;
    EXPECT_EQ(-1, root_->createAndOpen(&ctxt, child, "orphan2", O_RDWR | O_CREAT, st));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(1, Faults().Injected("close"));

    // The file stays in the store; with the export served again it can be
    // opened, written and removed like any other.
    ExportPtr exp = exp_;
    gAllExports->AddExport(exp);
    BkEndProcPtr orphan = Find(root_, "orphan");
    ASSERT_TRUE(orphan);
    const int fd = orphan->open(&ctxt, "/orphan", O_RDWR, 0);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(0, orphan->close(&ctxt, fd));
    ctxt.parentObj = root_;
    EXPECT_EQ(0, orphan->unlink(&ctxt, "/orphan"));

    // Created without opening: the file stays too.
    Unpublish();
    errno = 0;
    EXPECT_FALSE(root_->CreateChildFile(&ctxt, "plain", 0, 0644));
    EXPECT_EQ(EINVAL, errno);
    gAllExports->AddExport(exp);
    EXPECT_TRUE(Find(root_, "plain"));
}

TEST_F(BackendFileDataTest, CreateChildFileMakesAClosedFile) {
    OpenShare();
    QuayCtxt ctxt = Allowed();
    const unsigned int taken = TakenUniqueNumbers();
    BkEndProcPtr child = root_->CreateChildFile(&ctxt, "c", O_RDWR, 0640);
    ASSERT_TRUE(child);
    EXPECT_EQ(taken, TakenUniqueNumbers());
    EXPECT_EQ("/c", child->GetClientPath());
    EXPECT_LOGGED(3, "INFO: Creating file [c]");
    EXPECT_LOGGED(3, "INFO: file [c] created");
    struct stat st;
    ASSERT_EQ(0, child->lstat(&ctxt, "/c", &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0, st.st_size);
}

TEST_F(BackendFileDataTest, FullStoreOnCreateLogsBelowErrorLevel) {
    OpenShare();
    QuayCtxt ctxt = Allowed();
    Faults().FailNext("create", 1, ENOSPC);
    errno = 0;
    EXPECT_FALSE(root_->CreateChildFile(&ctxt, "c", 0, 0644));
    EXPECT_EQ(ENOSPC, errno);
    EXPECT_LOGGED(4, "ERROR: Creating file [c] failed");
    EXPECT_FALSE(Logged(-1, "ERROR: Creating file [c] failed"));

    ClearLines();
    Faults().FailNext("create", 1, EIO);
    errno = 0;
    EXPECT_FALSE(root_->CreateChildFile(&ctxt, "c", 0, 0644));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: Creating file [c] failed");
}

TEST_F(BackendFileDataTest, CreateChildFileInAVanishedDirectoryFailsBeforeTheStore) {
    OpenShare();
    BkEndProcPtr dir = MakeDir(root_, "gone");
    ASSERT_TRUE(dir);
    QuayCtxt ctxt = Allowed();
    ASSERT_EQ(0, dir->rmdir(&ctxt, "/gone"));
    ClearLines();
    errno = 0;
    EXPECT_FALSE(dir->CreateChildFile(&ctxt, "c", 0, 0644));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_NOT_LOGGED("INFO: Creating file [c]");
}

// --- read, write, close.

TEST_F(BackendFileDataTest, ReadAndWriteAtOffsetsThroughAnyObject) {
    OpenShare();
    OpenFile("", O_RDWR);
    QuayCtxt ctxt = Allowed();
    EXPECT_EQ(5, file_->write(&ctxt, fd_, "hello", 0, 5, BKEND_UNSTABLE));
    EXPECT_EQ(5, file_->write(&ctxt, fd_, "world", 10, 5, BKEND_DATA_SYNC));
    const std::string guid = GuidOf(file_);
    EXPECT_LOGGED(3, "INFO: writing the file [GUID " + guid + "]");
    EXPECT_LOGGED(3, "INFO: writing the file [ GUID " + guid + "] succeeded. wrote [5] bytes");

    // The descriptor decides the file: read it through the root object.
    char buf[32];
    const ssize_t n = root_->read(&ctxt, fd_, buf, 0, sizeof(buf));
    ASSERT_EQ(15, n);
    EXPECT_EQ(0, memcmp(buf, "hello\0\0\0\0\0world", 15));
    EXPECT_LOGGED(3, "INFO: reading the file [ GUID " + GuidOf(root_) +
                         "] succeeded. Read [15] bytes");
    EXPECT_EQ(3, file_->read(&ctxt, fd_, buf, 12, 10));
    EXPECT_EQ(0, memcmp(buf, "rld", 3));
    EXPECT_EQ(0, file_->read(&ctxt, fd_, buf, 100, 10));
    CloseFile();
}

// The store's statistics count committed sizes only: an unstable write stays
// pending (sync 0), any other stability level commits at once (sync 1).
TEST_F(BackendFileDataTest, UnstableWritesAreLeftPendingAndOthersAreCommitted) {
    OpenShare();
    OpenFile("", O_RDWR);
    QuayCtxt ctxt = Allowed();
    auto committedBytes = [&]() { return StoreFigure("Logical bytes"); };
    ASSERT_EQ("0", committedBytes());
    EXPECT_EQ(10, file_->write(&ctxt, fd_, "0123456789", 0, 10, BKEND_UNSTABLE));
    EXPECT_EQ("0", committedBytes());
    EXPECT_EQ(10, file_->write(&ctxt, fd_, "0123456789", 10, 10, BKEND_DATA_SYNC));
    EXPECT_EQ("20", committedBytes());
    EXPECT_EQ(10, file_->write(&ctxt, fd_, "0123456789", 20, 10, BKEND_UNSTABLE));
    EXPECT_EQ("20", committedBytes());
    EXPECT_EQ(10, file_->write(&ctxt, fd_, "0123456789", 30, 10, static_cast<BkEndSyncType>(7)));
    EXPECT_EQ("40", committedBytes());
    CloseFile();
}

TEST_F(BackendFileDataTest, UnknownAndClosedDescriptorsAreEINVAL) {
    OpenShare();
    OpenFile("abc", O_RDWR);
    QuayCtxt ctxt = Allowed();
    char buf[4];
    errno = 0;
    EXPECT_EQ(-1, file_->read(&ctxt, 987654, buf, 0, 4));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_LOGGED(-1, "ERROR: failed to get FileHandle for fd [987654] in map");

    const unsigned int taken = TakenUniqueNumbers();
    EXPECT_EQ(0, file_->close(&ctxt, fd_));
    EXPECT_EQ(taken - 1, TakenUniqueNumbers());
    EXPECT_LOGGED(3, "INFO: closing the file [/f] ");
    EXPECT_LOGGED(3, "INFO: [/f] closed");

    ClearLines();
    errno = 0;
    EXPECT_EQ(-1, file_->close(&ctxt, fd_));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(taken - 1, TakenUniqueNumbers()) << "the number goes back once";
    errno = 0;
    EXPECT_EQ(-1, file_->read(&ctxt, fd_, buf, 0, 4));
    EXPECT_EQ(EINVAL, errno);
    errno = 0;
    EXPECT_EQ(-1, file_->write(&ctxt, fd_, "x", 0, 1, BKEND_FILE_SYNC));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_LOGGED(-1, "ERROR: failed to get FileHandle for fd [" + std::to_string(fd_) + "] in map");
}

TEST_F(BackendFileDataTest, CloseOfDescriptorZeroTouchesNothing) {
    OpenShare();
    OpenFile("abc", O_RDWR);
    QuayCtxt ctxt = Allowed();
    const unsigned int taken = TakenUniqueNumbers();
    const size_t entries = FdToObjectStoreFH::fdTofhMap.size();
    Faults().FailNext("close", 1, EIO);
    EXPECT_EQ(0, file_->close(&ctxt, 0));
    EXPECT_LOGGED(3, "INFO: return success as fd is 0 ");
    EXPECT_EQ(0, Faults().Injected("close"));
    Faults().Clear();
    EXPECT_EQ(taken, TakenUniqueNumbers());
    EXPECT_EQ(entries, FdToObjectStoreFH::fdTofhMap.size());
    CloseFile();
}

TEST_F(BackendFileDataTest, CloseAfterTheStoreClosedReleasesTheDescriptor) {
    OpenShare();
    OpenFile("abc", O_RDWR);
    QuayCtxt ctxt = Allowed();
    const unsigned int taken = TakenUniqueNumbers();
    const size_t entries = FdToObjectStoreFH::fdTofhMap.size();
    // As an un-export does: the store goes, and its open files with it.
    ASSERT_FALSE(BackupFSM::GetObjContainer()->closeObjectStore(exp_->GetObjStoreIndex()).IsError());
    errno = 0;
    EXPECT_EQ(-1, file_->close(&ctxt, fd_));
    EXPECT_EQ(EBADF, errno);
    // The path is gone with the store.
    EXPECT_LOGGED(-1, "ERROR: Failed to close the file []");
    EXPECT_EQ(taken - 1, TakenUniqueNumbers());
    EXPECT_EQ(entries - 1, FdToObjectStoreFH::fdTofhMap.size());
    char buf[3];
    EXPECT_EQ(-1, file_->read(&ctxt, fd_, buf, 0, 3));
}

TEST_F(BackendFileDataTest, FailedCloseKeepsTheDescriptorForAnotherTry) {
    OpenShare();
    OpenFile("abc", O_RDWR);
    QuayCtxt ctxt = Allowed();
    const unsigned int taken = TakenUniqueNumbers();
    Faults().FailNext("close", 1, EIO);
    errno = 0;
    EXPECT_EQ(-1, file_->close(&ctxt, fd_));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to close the file [/f]");
    EXPECT_EQ(taken, TakenUniqueNumbers());
    char buf[3];
    EXPECT_EQ(3, file_->read(&ctxt, fd_, buf, 0, 3));
    EXPECT_EQ(0, file_->close(&ctxt, fd_));
    EXPECT_EQ(taken - 1, TakenUniqueNumbers());
}

TEST_F(BackendFileDataTest, FullStoreOnWriteIsENOSPCAtLevelFour) {
    OpenShare();
    OpenFile("", O_RDWR);
    QuayCtxt ctxt = Allowed();
    const std::string guid = GuidOf(file_);
    Faults().FailNext("write", 1, ENOSPC);
    errno = 0;
    EXPECT_EQ(-1, file_->write(&ctxt, fd_, "abc", 0, 3, BKEND_FILE_SYNC));
    EXPECT_EQ(ENOSPC, errno);
    EXPECT_LOGGED(4, "ERROR: Failed to write the file [GUID " + guid + "]");
    EXPECT_FALSE(Logged(-1, "ERROR: Failed to write the file [GUID " + guid + "]"));

    ClearLines();
    Faults().FailNext("write", 1, EIO);
    errno = 0;
    EXPECT_EQ(-1, file_->write(&ctxt, fd_, "abc", 0, 3, BKEND_FILE_SYNC));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to write the file [GUID " + guid + "]");

    ClearLines();
    Faults().FailNext("read", 1, EIO);
    char buf[3];
    errno = 0;
    EXPECT_EQ(-1, file_->read(&ctxt, fd_, buf, 0, 3));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to read the file [GUID " + guid + "]");
    CloseFile();
}

// --- truncate, lseek.

TEST_F(BackendFileDataTest, TruncatePassesTheVersionsSetting) {
    OpenShare(true);
    BkEndProcPtr file = MakeFile(root_, "f", "0123456789");
    ASSERT_TRUE(file);
    QuayCtxt ctxt = Allowed();
    ClearLines();
    ASSERT_EQ(0, file->truncate(&ctxt, "/f", 0));
    EXPECT_LOGGED(3, "INFO: truncating the file [/f] to size [0] versions [1]");
    EXPECT_LOGGED(3, "INFO: truncating the file [/f] succeeded");
    struct stat st;
    ASSERT_EQ(0, file->lstat(&ctxt, "/f", &st));
    EXPECT_EQ(0, st.st_size);

    Faults().FailNext("truncate", 1, EROFS);
    errno = 0;
    EXPECT_EQ(-1, file->truncate(&ctxt, "/f", 4));
    EXPECT_EQ(EROFS, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to truncate the file [/f]");
    EXPECT_EQ(1, Faults().Injected("truncate")) << "no retry without a new version";
}

TEST_F(BackendFileDataTest, TruncateWithoutVersionsShowsZero) {
    OpenShare(false);
    BkEndProcPtr file = MakeFile(root_, "f", "0123456789");
    ASSERT_TRUE(file);
    QuayCtxt ctxt = Allowed();
    ClearLines();
    ASSERT_EQ(0, file->truncate(&ctxt, "/f", 4));
    EXPECT_LOGGED(3, "INFO: truncating the file [/f] to size [4] versions [0]");
    EXPECT_EQ("0123", ReadAll(file));
}

TEST_F(BackendFileDataTest, LseekAnswersZero) {
    OpenShare();
    QuayCtxt refused = Refused();
    ClearLines();
    EXPECT_EQ(0, root_->lseek(&refused, 5, 100, SEEK_SET));
    EXPECT_EQ(0, root_->lseek(&refused, -1, UINT64_MAX, SEEK_END));
    EXPECT_TRUE(Lines().empty());
}

// --- fsync, fdatasync.

TEST_F(BackendFileDataTest, SyncIntervalLetsOneFlushThroughPerInterval) {
    OpenShare();
    BkEndProcPtr file = MakeFile(root_, "f", "abc");
    ASSERT_TRUE(file);
    BackupFSMGlobals::syncInterval = 60;
    QuayCtxt ctxt = Allowed();
    QuayCtxt refused = Refused();
    const std::string flushLine = "INFO: fdatasync file with guid [" + GuidOf(file) + "]";
    ClearLines();

    const time_t before = time(nullptr);
    EXPECT_EQ(0, file->fsync(&ctxt, 0));
    EXPECT_LOGGED(3, flushLine);
    EXPECT_LOGGED(3, "sync data succeeded");
    EXPECT_GE(BackupFSMGlobals::lastSyncTime.load(), before);

    // Ten seconds after the flush: skipped, even for a refused caller.
    BackupFSMGlobals::lastSyncTime = time(nullptr) - 10;
    const time_t last = BackupFSMGlobals::lastSyncTime.load();
    ClearLines();
    EXPECT_EQ(0, file->fdatasync(&refused, 0));
    EXPECT_EQ(0, file->fsync(&refused, 0));
    EXPECT_LOGGED(5, "Skipping sync due to sync interval");
    EXPECT_NOT_LOGGED(flushLine);
    EXPECT_EQ(last, BackupFSMGlobals::lastSyncTime.load());

    // Past the interval the refused caller reaches authorisation.
    BackupFSMGlobals::lastSyncTime = time(nullptr) - 61;
    errno = 0;
    EXPECT_EQ(-1, file->fdatasync(&refused, 0));
    EXPECT_EQ(EACCES, errno);
    EXPECT_GE(BackupFSMGlobals::lastSyncTime.load(), before);
}

TEST_F(BackendFileDataTest, WithoutIntervalEveryCallFlushesTheObject) {
    OpenShare();
    BkEndProcPtr file = MakeFile(root_, "f", "abc");
    ASSERT_TRUE(file);
    QuayCtxt ctxt = Allowed();
    QuayCtxt refused = Refused();
    ClearLines();
    const std::string flushLine = "INFO: fdatasync file with guid [" + GuidOf(file) + "]";
    EXPECT_EQ(0, file->fsync(&ctxt, 0));
    EXPECT_EQ(0, file->fdatasync(&ctxt, 0));
    EXPECT_EQ(2, testsupport::CountLines(Lines(), flushLine));
    EXPECT_EQ(0, BackupFSMGlobals::lastSyncTime.load()) << "no system-wide flush";
    errno = 0;
    EXPECT_EQ(-1, file->fsync(&refused, 0));
    EXPECT_EQ(EACCES, errno);

    Faults().FailNext("fdatasync", 1, EIO);
    errno = 0;
    EXPECT_EQ(-1, file->fsync(&ctxt, 0));
    EXPECT_EQ(EIO, errno);
    EXPECT_LOGGED(-1, "ERROR: failed to sync data");
}

}  // namespace
