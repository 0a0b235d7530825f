// The registry reader: file location, format, numbers and warnings.
#include <limits.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "PlatformTestSupport.h"
#include "platform/ZELPlatformInfo.h"
#include "platform/ZelDataDir.h"

namespace {

using platformtest::ScopedEnv;
using platformtest::TempDir;
using platformtest::WarningCapture;

const unsigned long kUntouched = 77;

class RegistryTest : public ::testing::Test {
protected:
    RegistryTest()
        : path_(dir_.path() + "/registry.ini"), env_("QUAY_REGISTRY_FILE", path_.c_str()) {}

    void Write(const std::string& content) { dir_.WriteFile("registry.ini", content); }
    std::vector<std::string> Warnings() { return warnings_.Texts(); }

    // getNumber with a preset value; the result and the value in one string
    // keep the table-driven cases short.
    std::string Number(const char* section, const char* key) {
        unsigned long value = kUntouched;
        bool found = ZELPlatformInfo().getNumber(section, key, &value);
        return (found ? "found " : "absent ") + std::to_string(value);
    }

    TempDir dir_;
    std::string path_;
    ScopedEnv env_;
    WarningCapture warnings_;
};

TEST_F(RegistryTest, PathComesFromTheEnvironmentOrTheDataDirectory) {
    EXPECT_EQ(path_, ZELPlatformInfo::RegistryPath());
    ScopedEnv noFile("QUAY_REGISTRY_FILE", nullptr);
    {
        ScopedEnv noDir("QUAY_DATA_DIR", nullptr);
        EXPECT_EQ("/var/lib/quay", ZelDataDir());
        EXPECT_EQ("/var/lib/quay/registry.ini", ZELPlatformInfo::RegistryPath());
    }
    {
        ScopedEnv emptyDir("QUAY_DATA_DIR", "");
        EXPECT_EQ("/var/lib/quay", ZelDataDir());
    }
    ScopedEnv dataDir("QUAY_DATA_DIR", "/srv/quay//");
    EXPECT_EQ("/srv/quay", ZelDataDir());
    EXPECT_EQ("/srv/quay/registry.ini", ZELPlatformInfo::RegistryPath());
}

TEST_F(RegistryTest, DataDirectoryLocatesTheFileWhenNoPathIsSet) {
    ScopedEnv noFile("QUAY_REGISTRY_FILE", nullptr);
    ScopedEnv dataDir("QUAY_DATA_DIR", dir_.path().c_str());
    Write("[Quay]\nnSyncInterval=30\n");
    EXPECT_EQ("found 30", Number("Quay", "nSyncInterval"));
}

TEST_F(RegistryTest, MissingFileOrKeyLeavesTheValueUntouched) {
    EXPECT_EQ("absent 77", Number("Quay", "nSyncInterval"));
    std::string text = "preset";
    EXPECT_FALSE(ZELPlatformInfo().getString("Quay", "nSyncInterval", &text));
    EXPECT_EQ("preset", text);

    Write("[Quay]\nother=1\n");
    EXPECT_EQ("absent 77", Number("Quay", "nSyncInterval"));
    EXPECT_FALSE(ZELPlatformInfo().getString("Quay", "nSyncInterval", &text));
    EXPECT_EQ("preset", text);
    EXPECT_TRUE(Warnings().empty());
}

TEST_F(RegistryTest, NullArgumentsReadAsAbsent) {
    Write("[Quay]\nk=1\n");
    unsigned long value = kUntouched;
    std::string text;
    ZELPlatformInfo info;
    EXPECT_FALSE(info.getNumber(nullptr, "k", &value));
    EXPECT_FALSE(info.getNumber("Quay", nullptr, &value));
    EXPECT_FALSE(info.getNumber("Quay", "k", nullptr));
    EXPECT_FALSE(info.getString("Quay", "k", nullptr));
    EXPECT_EQ(kUntouched, value);
}

TEST_F(RegistryTest, SectionsKeepTheirKeysApart) {
    Write("[Quay]\na=1\n[Other]\na=2\nb=3\n[quay]\nb=4\n");
    EXPECT_EQ("found 1", Number("Quay", "a"));
    EXPECT_EQ("found 2", Number("Other", "a"));
    EXPECT_EQ("found 3", Number("Other", "b"));
    EXPECT_EQ("absent 77", Number("Quay", "b"));  // names compare exactly
    EXPECT_EQ("found 4", Number("quay", "b"));
    EXPECT_EQ("absent 77", Number("Quay", "A"));
}

TEST_F(RegistryTest, KeysBeforeTheFirstSectionBelongToNone) {
    Write("a=1\n[Quay]\nb=2\n");
    EXPECT_EQ("absent 77", Number("Quay", "a"));
    EXPECT_EQ("absent 77", Number("", "a"));
    EXPECT_EQ("found 2", Number("Quay", "b"));
    EXPECT_TRUE(Warnings().empty());
}

TEST_F(RegistryTest, ReadsDecimalSignedAndHexNumbers) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"0", "found 0"},
        {"42", "found 42"},
        {"+7", "found 7"},
        {"007", "found 7"},  // decimal, not octal
        {"-1", "found 18446744073709551615"},
        {"-2", "found 18446744073709551614"},
        {"0x1F", "found 31"},
        {"0XfF", "found 255"},
        {"0xFFFFFFFFFFFFFFFF", "found 18446744073709551615"},
        {"18446744073709551615", "found 18446744073709551615"},
        {"18446744073709551616", "absent 77"},  // overflow
        {"0x10000000000000000", "absent 77"},
        {"12abc", "absent 77"},
        {"1 2", "absent 77"},
        {"0x", "absent 77"},
        {"0xZ", "absent 77"},
        {"-0x1", "absent 77"},
        {"--1", "absent 77"},
        {"-", "absent 77"},
        {"", "absent 77"},
    };
    for (const Case& c : cases) {
        Write(std::string("[Quay]\nv=") + c.text + "\n");
        EXPECT_EQ(c.expected, Number("Quay", "v")) << "value [" << c.text << "]";
    }
}

TEST_F(RegistryTest, MinusOneKeepsAllOnesInTheLow32Bits) {
    Write("[Quay]\nnObjStoreExtentSizeInMB=-1\n");
    unsigned long value = 0;
    ASSERT_TRUE(ZELPlatformInfo().getNumber("Quay", "nObjStoreExtentSizeInMB", &value));
    EXPECT_EQ(4294967295u, static_cast<uint32_t>(value));
}

TEST_F(RegistryTest, NonNumericValueIsIgnoredWithAWarning) {
    Write("[Quay]\nnSyncInterval=12abc\n");
    EXPECT_EQ("absent 77", Number("Quay", "nSyncInterval"));
    EXPECT_EQ(std::vector<std::string>{"WARN: registry [" + path_ +
                                       "] value of [Quay]/nSyncInterval is not a number: 12abc"},
              Warnings());
    // As text it is still there.
    std::string text;
    EXPECT_TRUE(ZELPlatformInfo().getString("Quay", "nSyncInterval", &text));
    EXPECT_EQ("12abc", text);
}

TEST_F(RegistryTest, MalformedLineIsSkippedWithAWarning) {
    Write("[Quay]\na=1\ngarbage line\n[broken\n=5\n[]\nb=2\n");
    EXPECT_EQ("found 1", Number("Quay", "a"));
    EXPECT_EQ("found 2", Number("Quay", "b"));
    std::string prefix = "WARN: registry [" + path_ + "] line ";
    std::vector<std::string> once = {
        prefix + "3 ignored: garbage line",
        prefix + "4 ignored: [broken",
        prefix + "5 ignored: =5",
        prefix + "6 ignored: []",
    };
    std::vector<std::string> expected = once;
    expected.insert(expected.end(), once.begin(), once.end());  // one set per read
    EXPECT_EQ(expected, Warnings());
}

TEST_F(RegistryTest, BlanksCommentsAndLineEndsAreTolerated) {
    Write("# leading comment = 1\n"
          "\n"
          "   [ Quay ]   \r\n"
          "\t nSyncInterval \t=\t 15 \r\n"
          "; k=99\n"
          "   # nSyncInterval=99\n"
          "name = value with = signs  \n"
          "empty=\n"
          "last=0x10");  // no final newline
    EXPECT_EQ("found 15", Number("Quay", "nSyncInterval"));
    EXPECT_EQ("absent 77", Number("Quay", "k"));
    EXPECT_EQ("found 16", Number("Quay", "last"));
    std::string text;
    EXPECT_TRUE(ZELPlatformInfo().getString("Quay", "name", &text));
    EXPECT_EQ("value with = signs", text);
    EXPECT_TRUE(ZELPlatformInfo().getString("Quay", "empty", &text));
    EXPECT_EQ("", text);
    EXPECT_TRUE(Warnings().empty());
}

TEST_F(RegistryTest, LaterLineOfARepeatedKeyWins) {
    Write("[Quay]\nv=1\n[Other]\nv=5\n[Quay]\nv=2\n");
    EXPECT_EQ("found 2", Number("Quay", "v"));
}

TEST_F(RegistryTest, ChangedValueIsReadOnTheNextCall) {
    Write("[Quay]\nnSyncInterval=10\n");
    EXPECT_EQ("found 10", Number("Quay", "nSyncInterval"));
    Write("[Quay]\nnSyncInterval=20\n");
    EXPECT_EQ("found 20", Number("Quay", "nSyncInterval"));
    Write("[Quay]\n");
    EXPECT_EQ("absent 77", Number("Quay", "nSyncInterval"));
}

TEST_F(RegistryTest, UnreadableRegistryReadsAsAbsentWithAWarning) {
    ScopedEnv dirAsFile("QUAY_REGISTRY_FILE", dir_.path().c_str());
    EXPECT_EQ("absent 77", Number("Quay", "nSyncInterval"));
    EXPECT_EQ(std::vector<std::string>{"WARN: registry [" + dir_.path() +
                                       "] cannot be read: Is a directory"},
              Warnings());
}

}  // namespace
