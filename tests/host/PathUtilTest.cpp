#include <gtest/gtest.h>

#include "host/PathUtil.h"

namespace {

TEST(PathUtil, DirNameFollowsPosixRules) {
    struct Case {
        const char* path;
        const char* dir;
    } cases[] = {
        {"/a/b", "/a"},   {"/a", "/"},     {"/", "/"},   {"a", "."},
        {"", "."},        {"/a/b/", "/a"}, {"a/b", "a"}, {"/a//b", "/a"},
        {"//", "/"},      {"///a", "/"},   {"a/", "."},  {"/a/b//", "/a"},
        {"a/b/c", "a/b"}, {"./x", "."},    {"..", "."},  {"/store/dir/file.txt", "/store/dir"},
    };
    for (const Case& c : cases) {
        std::string dir = "unset";
        DirName(c.path, dir);
        EXPECT_EQ(c.dir, dir) << "path [" << c.path << "]";
    }
}

TEST(PathUtil, RemoveDuplicatesCollapsesRunsOfOneCharacter) {
    struct Case {
        const char* text;
        char ch;
        const char* result;
    } cases[] = {
        {"//a///b//", '/', "/a/b/"},
        {"a/b", '/', "a/b"},
        {"", '/', ""},
        {"////", '/', "/"},
        {"aa//bb", 'a', "a//bb"},
        {"1,,2,,,3", ',', "1,2,3"},
        {"x", 'x', "x"},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        RemoveDuplicates(text, c.ch);
        EXPECT_EQ(c.result, text) << "text [" << c.text << "]";
    }
}

}  // namespace
