// Namespace and attribute changes through backend objects: unlink, rename,
// symbolic links, chmod, chown and utimes.
#include <gtest/gtest.h>

#include "tests/module/BackendFixture.h"

namespace {

using backendtest::BackendTest;

class BackendNamespaceTest : public BackendTest {
protected:
    // Context whose parentObj is dir.
    QuayCtxt In(const BkEndProcPtr& dir) {
        QuayCtxt ctxt = Allowed();
        ctxt.parentObj = dir;
        return ctxt;
    }
};

// --- unlink.

TEST_F(BackendNamespaceTest, UnlinkRemovesTheObject) {
    OpenShare();
    BkEndProcPtr file = MakeFile(root_, "f", "abc");
    ASSERT_TRUE(file);
    ClearLines();
    QuayCtxt ctxt = In(root_);
    ASSERT_EQ(0, file->unlink(&ctxt, "/f"));
    EXPECT_LOGGED(3, "INFO: unlink the file [/f] ");
    EXPECT_LOGGED(3, "INFO: unlinking the file [/f] succeeded");
    EXPECT_LOGGED(3, "INFO: Getting stat for path [/],") << "the directory was checked";
    errno = 0;
    EXPECT_FALSE(Find(root_, "f"));
    EXPECT_EQ(ENOENT, errno);

    errno = 0;
    EXPECT_EQ(-1, file->unlink(&ctxt, "/f"));
    EXPECT_EQ(ENOENT, errno) << "the object's own lstat fails first";
}

TEST_F(BackendNamespaceTest, UnlinkNeedsAReachableDirectory) {
    OpenShare();
    BkEndProcPtr file = MakeFile(root_, "f", "");
    ASSERT_TRUE(file);
    BkEndProcPtr gone = MakeDir(root_, "gone");
    ASSERT_TRUE(gone);
    QuayCtxt plain = Allowed();
    ASSERT_EQ(0, gone->rmdir(&plain, "/gone"));

    errno = 0;
    EXPECT_EQ(-1, file->unlink(&plain, "/f"));
    EXPECT_EQ(EINVAL, errno) << "no parentObj";

    ClearLines();
    QuayCtxt vanished = In(gone);
    errno = 0;
    EXPECT_EQ(-1, file->unlink(&vanished, "/f"));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to get stat for path [/gone],");
    EXPECT_NOT_LOGGED("INFO: unlink the file [/f] ");
    EXPECT_TRUE(Find(root_, "f"));

    QuayCtxt refused = Refused();
    refused.parentObj = root_;
    errno = 0;
    EXPECT_EQ(-1, file->unlink(&refused, "/f"));
    EXPECT_EQ(EACCES, errno);

    QuayCtxt ctxt = In(root_);
    Faults().FailNext("unlink", 1, EROFS);
    errno = 0;
    EXPECT_EQ(-1, file->unlink(&ctxt, "/f"));
    EXPECT_EQ(EROFS, errno);
    EXPECT_LOGGED(-1, "ERROR: Failed to unlink the file [/f]");
}

// --- rename.

TEST_F(BackendNamespaceTest, RenameFromTheRootIntoADirectory) {
    // The store keeps versions, but the export's current setting says no.
    OpenShare(true, false, 0);
    exp_->SetEnabledVersions(0);
    BkEndProcPtr dir = MakeDir(root_, "d");
    ASSERT_TRUE(dir);
    BkEndProcPtr file = MakeFile(root_, "a", "content");
    ASSERT_TRUE(file);
    ClearLines();
    const std::string versions = StoreFigure("Versions");
    QuayCtxt ctxt = In(dir);
    ASSERT_EQ(0, file->rename(&ctxt, "a", "b")) << testsupport::Dump(Lines());
    EXPECT_EQ(versions, StoreFigure("Versions")) << "no new version asked for";
    EXPECT_LOGGED(3, "INFO: Renaming from [/a] to [/d/b] newver=0");
    EXPECT_LOGGED(3, "INFO: Rename [/a] to [/d/b]succeeded");
    EXPECT_FALSE(Find(root_, "a"));
    BkEndProcPtr moved = Find(dir, "b");
    ASSERT_TRUE(moved);
    EXPECT_EQ(GuidOf(file), GuidOf(moved));
    EXPECT_EQ("content", ReadAll(moved));
    EXPECT_EQ("/a", file->GetClientPath()) << "held objects keep their paths";
}

TEST_F(BackendNamespaceTest, RenameOnAVersionedShareAsksForANewVersion) {
    OpenShare(true, false, 0);
    BkEndProcPtr dir = MakeDir(root_, "d");
    ASSERT_TRUE(dir);
    BkEndProcPtr file = MakeFile(dir, "a", "x");
    ASSERT_TRUE(file);
    ClearLines();
    const int versions = std::stoi(StoreFigure("Versions"));
    QuayCtxt ctxt = In(root_);
    ASSERT_EQ(0, file->rename(&ctxt, "a", "b"));
    EXPECT_EQ(versions + 1, std::stoi(StoreFigure("Versions"))) << "the store started a version";
    EXPECT_LOGGED(3, "INFO: Renaming from [/d/a] to [/b] newver=1");
    EXPECT_TRUE(Find(root_, "b"));
}

TEST_F(BackendNamespaceTest, RenameFailures) {
    OpenShare();
    BkEndProcPtr file = MakeFile(root_, "a", "x");
    ASSERT_TRUE(file);
    BkEndProcPtr gone = MakeDir(root_, "gone");
    ASSERT_TRUE(gone);
    QuayCtxt plain = Allowed();
    ASSERT_EQ(0, gone->rmdir(&plain, "/gone"));

    errno = 0;
    EXPECT_EQ(-1, file->rename(&plain, "a", "b"));
    EXPECT_EQ(EINVAL, errno) << "no destination directory";

    QuayCtxt refused = Refused();
    refused.parentObj = root_;
    errno = 0;
    EXPECT_EQ(-1, file->rename(&refused, "a", "b"));
    EXPECT_EQ(EACCES, errno);

    ClearLines();
    QuayCtxt vanished = In(gone);
    errno = 0;
    EXPECT_EQ(-1, file->rename(&vanished, "a", "b"));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_NOT_LOGGED("INFO: Renaming from [/a] to [/gone/b] newver=0");

    // The moved object's parent cannot be found.
    Faults().FailNext("guidToPath", 1, EIO);
    QuayCtxt ctxt = In(root_);
    errno = 0;
    EXPECT_EQ(-1, file->rename(&ctxt, "a", "b"));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_LOGGED(-1, "ERROR: failed to get parent path");

    ClearLines();
    errno = 0;
    EXPECT_EQ(-1, file->rename(&ctxt, "missing", "b"));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_LOGGED(-1, "ERROR: Renaming from [/missing] to [/b] failed");
}

// --- Symbolic links.

TEST_F(BackendNamespaceTest, SymlinkAndReadlinkExactAndOneShort) {
    OpenShare();
    BkEndProcPtr dir = MakeDir(root_, "d");
    ASSERT_TRUE(dir);
    QuayCtxt ctxt = Allowed();
    const std::string target = "../some//target";
    ASSERT_EQ(0, dir->symlink(&ctxt, target.c_str(), "/d/link")) << testsupport::Dump(Lines());
    EXPECT_LOGGED(3, "INFO: Creating symbolic link [/d/link] to [../some//target]");
    EXPECT_LOGGED(3, "INFO: Creating symbolic link [/d/link] to [../some//target] succeeded");

    BkEndProcPtr link = Find(dir, "link");
    ASSERT_TRUE(link);
    struct stat st;
    ASSERT_EQ(0, link->lstat(&ctxt, "/d/link", &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    std::vector<char> buf(target.size() + 4, 'Z');
    ClearLines();
    ASSERT_EQ(static_cast<ssize_t>(target.size()),
              link->readlink(&ctxt, "/d/link", buf.data(), target.size()));
    EXPECT_EQ(target, std::string(buf.data(), target.size()));
    EXPECT_EQ('Z', buf[target.size()]) << "no terminating zero";
    EXPECT_LOGGED(3, "INFO: Reading symbolic link [/d/link] data");
    EXPECT_LOGGED(3, "INFO: symbolic link [/d/link] data [../some//target]");

    ClearLines();
    errno = 0;
    EXPECT_EQ(-1, link->readlink(&ctxt, "/d/link", buf.data(), target.size() - 1));
    EXPECT_EQ(ENAMETOOLONG, errno);
    EXPECT_NOT_LOGGED("INFO: symbolic link [/d/link] data [../some//target]");
}

TEST_F(BackendNamespaceTest, LinkFailures) {
    OpenShare();
    BkEndProcPtr file = MakeFile(root_, "f", "");
    ASSERT_TRUE(file);
    QuayCtxt ctxt = Allowed();
    QuayCtxt refused = Refused();
    char buf[8];
    errno = 0;
    EXPECT_EQ(-1, root_->symlink(&refused, "t", "/l"));
    EXPECT_EQ(EACCES, errno);
    errno = 0;
    EXPECT_EQ(-1, file->readlink(&refused, "/f", buf, sizeof(buf)));
    EXPECT_EQ(EACCES, errno);

    errno = 0;
    EXPECT_EQ(-1, file->readlink(&ctxt, "/f", buf, sizeof(buf)));
    EXPECT_EQ(EINVAL, errno) << "not a link";
    EXPECT_LOGGED(-1, "ERROR: Reading symbolic link [/f] data failed");

    errno = 0;
    EXPECT_EQ(-1, root_->symlink(&ctxt, "t", "/f"));
    EXPECT_EQ(EEXIST, errno);
    EXPECT_LOGGED(-1, "ERROR: Creating symbolic link [/f] to [t] failed");
}

// --- chmod, chown, utimes.

TEST_F(BackendNamespaceTest, AttributeChangesReachTheStore) {
    OpenShare();
    BkEndProcPtr file = MakeFile(root_, "f", "");
    ASSERT_TRUE(file);
    QuayCtxt ctxt = Allowed();
    ClearLines();
    ASSERT_EQ(0, file->chmod(&ctxt, "/f", 0600));
    EXPECT_LOGGED(3, "INFO: changing  mode of file/directory [/f] ");
    EXPECT_LOGGED(3, "INFO: chmod on the file/directory [/f] succeeded");
    ASSERT_EQ(0, file->chown(&ctxt, "/f", 1001, 500));
    EXPECT_LOGGED(3, "INFO: chown on file/directory [/f] ");
    EXPECT_LOGGED(3, "INFO: chown on the file/directory [/f] succeeded");
    struct timeval times[2] = {{1000000, 0}, {2000000, 0}};
    ASSERT_EQ(0, file->utimes(&ctxt, "/f", times));
    EXPECT_LOGGED(3, "INFO: utimes on file/directory [/f] ");
    EXPECT_LOGGED(3, "INFO: utimse on the file/directory [/f] succeeded");

    struct stat st;
    ASSERT_EQ(0, file->lstat(&ctxt, "/f", &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ(1001u, st.st_uid);
    EXPECT_EQ(500u, st.st_gid);
    EXPECT_EQ(1000000, st.st_atime);
    EXPECT_EQ(2000000, st.st_mtime);

    // No values: now.
    const time_t before = time(nullptr);
    ASSERT_EQ(0, file->utimes(&ctxt, "/f", nullptr));
    ASSERT_EQ(0, file->lstat(&ctxt, "/f", &st));
    EXPECT_GE(st.st_mtime, before);
}

TEST_F(BackendNamespaceTest, RootPathLetsARefusedCallerChangeTheRoot) {
    OpenShare();
    BkEndProcPtr file = MakeFile(root_, "f", "");
    ASSERT_TRUE(file);
    QuayCtxt refused = Refused();
    struct timeval times[2] = {{3000000, 0}, {4000000, 0}};
    EXPECT_EQ(0, root_->chmod(&refused, "/", 0750));
    EXPECT_EQ(0, root_->chown(&refused, "/", 0, 0));
    EXPECT_EQ(0, root_->utimes(&refused, "/", times));
    QuayCtxt ctxt = Allowed();
    struct stat st;
    ASSERT_EQ(0, root_->lstat(&ctxt, "/", &st));
    EXPECT_EQ(0750u, st.st_mode & 07777);
    EXPECT_EQ(4000000, st.st_mtime);

    for (const char* path : {"/f", "//", "f"}) {
        errno = 0;
        EXPECT_EQ(-1, file->chmod(&refused, path, 0777)) << path;
        EXPECT_EQ(EACCES, errno) << path;
        errno = 0;
        EXPECT_EQ(-1, file->chown(&refused, path, 1, 1)) << path;
        EXPECT_EQ(EACCES, errno) << path;
        errno = 0;
        EXPECT_EQ(-1, file->utimes(&refused, path, times)) << path;
        EXPECT_EQ(EACCES, errno) << path;
    }
}

TEST_F(BackendNamespaceTest, AttributeChangeOfAVanishedObjectFails) {
    OpenShare();
    BkEndProcPtr file = MakeFile(root_, "f", "");
    ASSERT_TRUE(file);
    QuayCtxt ctxt = In(root_);
    ASSERT_EQ(0, file->unlink(&ctxt, "/f"));
    struct timeval times[2] = {{1, 0}, {2, 0}};
    errno = 0;
    EXPECT_EQ(-1, file->chmod(&ctxt, "/f", 0600));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_LOGGED(-1, "ERROR: chmod failed for [/f]");
    errno = 0;
    EXPECT_EQ(-1, file->chown(&ctxt, "/f", 1, 1));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_LOGGED(-1, "ERROR: chown failed for [/f]");
    errno = 0;
    EXPECT_EQ(-1, file->utimes(&ctxt, "/f", times));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_LOGGED(-1, "ERROR: utimes failed for [/f],");
}

}  // namespace
