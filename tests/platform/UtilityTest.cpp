// Error values, string splitting and the warning hook.
#include <errno.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "PlatformTestSupport.h"
#include "platform/CPelError.h"
#include "platform/FXErrorUtil.h"
#include "platform/FXString.h"
#include "platform/ZelLogHook.h"

namespace {

std::vector<std::string> Split(const std::string& text, const std::string& delimiter,
                               int skipEmpty) {
    std::vector<std::string> out;
    FXString::Split(text, delimiter, out, skipEmpty);
    return out;
}

typedef std::vector<std::string> Pieces;

TEST(FXStringTest, KeepsEmptyPiecesUnlessAskedToSkipThem) {
    EXPECT_EQ((Pieces{"a", "", "b", ""}), Split("a,,b,", ",", 0));
    EXPECT_EQ((Pieces{"a", "b"}), Split("a,,b,", ",", 1));
    EXPECT_EQ((Pieces{"", "a"}), Split(",a", ",", 0));
    EXPECT_EQ((Pieces{"a"}), Split(",a", ",", 1));
    EXPECT_EQ((Pieces{""}), Split("", ",", 0));
    EXPECT_EQ(Pieces{}, Split("", ",", 1));
    EXPECT_EQ(Pieces{}, Split(",,,", ",", 1));
    EXPECT_EQ((Pieces{"abc"}), Split("abc", ",", 0));
}

TEST(FXStringTest, DelimiterIsAWholeString) {
    EXPECT_EQ((Pieces{"a", "b;c", "d"}), Split("a;;b;c;;d", ";;", 0));
    EXPECT_EQ((Pieces{"a,b"}), Split("a,b", ",;", 0));  // not a set of characters
    EXPECT_EQ((Pieces{"", "a"}), Split("aaa", "aa", 0));  // leftmost, no overlap
    EXPECT_EQ((Pieces{"x", "", "y"}), Split("x<><>y", "<>", 0));
    EXPECT_EQ((Pieces{"x", "y"}), Split("x<><>y", "<>", 1));
    EXPECT_EQ((Pieces{"a,b"}), Split("a,b", "", 0));
    EXPECT_EQ(Pieces{}, Split("", "", 1));
}

TEST(FXStringTest, AppendsToWhatIsAlreadyThere) {
    std::vector<std::string> out{"keep"};
    FXString::Split("1:2", ":", out, 1);
    EXPECT_EQ((Pieces{"keep", "1", "2"}), out);
}

TEST(CPelErrorTest, DescribesSuccessAndErrors) {
    EXPECT_EQ("Success", CPelError().AsString());
    EXPECT_EQ("Success", CPelError::Success().AsString());
    EXPECT_FALSE(CPelError::Success().IsError());
    CPelError error(ENOSPC, "write failed");
    EXPECT_TRUE(error.IsError());
    EXPECT_EQ("write failed (errno 28)", error.AsString());
    EXPECT_EQ("No such file or directory (errno 2)", CPelError(ENOENT, "").AsString());
}

TEST(FXErrorUtilTest, ReadsTheErrnoOfAnError) {
    CPelError ok = CPelError::Success();
    EXPECT_EQ(0, FXErrorUtil::GetErrNo(ok));
    EXPECT_FALSE(FXErrorUtil::IsErrNo(ok, ENOENT));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(ok, 0));

    CPelError missing(ENOENT, "no such object");
    EXPECT_EQ(ENOENT, FXErrorUtil::GetErrNo(missing));
    EXPECT_TRUE(FXErrorUtil::IsErrNo(missing, 2));
    EXPECT_FALSE(FXErrorUtil::IsErrNo(missing, EIO));
    EXPECT_FALSE(FXErrorUtil::IsErrNo(missing, 0));
}

struct Received {
    std::string function;
    int line = 0;
    std::string text;
};
Received gReceived;

void Receive(const char* function, int line, const char* text) {
    gReceived = Received{function, line, text};
}

TEST(ZelLogHookTest, InstalledSinkGetsTheFormattedLine) {
    ZelSetWarningSink(Receive);
    ZelWarn("Caller()", 12, "WARN: %s [%d]", "value", -3);
    EXPECT_EQ("Caller()", gReceived.function);
    EXPECT_EQ(12, gReceived.line);
    EXPECT_EQ("WARN: value [-3]", gReceived.text);

    std::string longText(3000, 'x');  // longer than any fixed buffer
    ZelWarn("Caller()", 13, "<%s>", longText.c_str());
    EXPECT_EQ("<" + longText + ">", gReceived.text);
    ZelSetWarningSink(nullptr);
}

TEST(ZelLogHookTest, DefaultSinkWritesToStandardError) {
    ZelSetWarningSink(nullptr);
    ::testing::internal::CaptureStderr();
    ZelWarn("Caller()", 7, "text %d", 5);
    EXPECT_EQ("WARN Caller():7 text 5\n", ::testing::internal::GetCapturedStderr());
}

}  // namespace
