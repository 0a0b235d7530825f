// Name and path rules, table driven.
#include <gtest/gtest.h>

#include <functional>

#include "objectstore/PathRules.h"
#include "objectstore/StoreFailure.h"

namespace ObjectStore {
namespace {

int ErrnoOf(const std::function<void()>& f) {
    try {
        f();
        return 0;
    } catch (const StoreFailure& e) {
        return e.ErrNo();
    }
}

TEST(PathRulesTest, EntryNames) {
    struct Case {
        std::string name;
        int err;
    } cases[] = {{"a", 0},           {std::string(255, 'x'), 0}, {"", EINVAL},
                 {"a/b", EINVAL},    {".", EINVAL},              {"..", EINVAL},
                 {"...", 0},         {std::string("a\0b", 3), EINVAL}, {std::string(256, 'x'), ENAMETOOLONG}};
    for (const Case& c : cases) EXPECT_EQ(c.err, ErrnoOf([&] { CheckEntryName(c.name); })) << c.name;
}

TEST(PathRulesTest, SplitNormalisesPaths) {
    EXPECT_EQ(std::vector<std::string>{}, SplitStorePath("/", 100));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), SplitStorePath("//a/./b/", 100));
    EXPECT_EQ((std::vector<std::string>{"b"}), SplitStorePath("/a/../b", 100));
    EXPECT_EQ(std::vector<std::string>{}, SplitStorePath("/../..", 100));
    EXPECT_EQ(EINVAL, ErrnoOf([] { SplitStorePath("", 100); }));
    EXPECT_EQ(EINVAL, ErrnoOf([] { SplitStorePath("a/b", 100); }));
    EXPECT_EQ(ENAMETOOLONG, ErrnoOf([] { SplitStorePath("/" + std::string(100, 'a'), 100); }));
    EXPECT_EQ(ENAMETOOLONG, ErrnoOf([] { SplitStorePath("/" + std::string(256, 'a'), 4096); }));
    EXPECT_EQ("/", JoinStorePath({}));
    EXPECT_EQ("/a/b", JoinStorePath({"a", "b"}));
}

TEST(PathRulesTest, StoreFolderNamesAreOneSafeNameEach) {
    EXPECT_EQ("a%2Fb", StoreFolderName("/a/b"));
    EXPECT_EQ("a%2Fb", StoreFolderName("/a/b/"));
    EXPECT_EQ("a%252Fb", StoreFolderName("/a%2Fb"));  // no two paths share a folder
    EXPECT_EQ(EINVAL, ErrnoOf([] { StoreFolderName(""); }));
    EXPECT_EQ(EINVAL, ErrnoOf([] { StoreFolderName("relative"); }));
    EXPECT_EQ(EINVAL, ErrnoOf([] { StoreFolderName("/"); }));
    EXPECT_EQ(EINVAL, ErrnoOf([] { StoreFolderName("/a/../b"); }));
    EXPECT_EQ(EINVAL, ErrnoOf([] { StoreFolderName("/.."); }));
    EXPECT_EQ("a..b", StoreFolderName("/a..b"));
}

TEST(PathRulesTest, GuidTextAndFolding) {
    EXPECT_TRUE(IsGuidText("0123456789abcdefABCDEF0123456789"));
    EXPECT_FALSE(IsGuidText("0123456789abcdef0123456789abcde"));
    EXPECT_FALSE(IsGuidText("0123456789abcdef0123456789abcdeg"));
    EXPECT_EQ("readme.txt", FoldName("ReadMe.TXT"));
    EXPECT_EQ("\xc3\x84", FoldName("\xc3\x84"));  // bytes past ASCII are kept
    EXPECT_EQ("a%2Fb%20c", EscapeFileName("a/b c"));
    EXPECT_EQ("%", EscapeFileName(""));
}

}  // namespace
}  // namespace ObjectStore
