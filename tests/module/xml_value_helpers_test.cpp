// Element values from tagged texts, and time-stamp parsing.
#include "module/exportops/XmlValueHelpers.h"
#include "tests/support/TestEnvironment.h"

namespace {

class XmlValueTest : public testsupport::ModuleTest {};

TEST_F(XmlValueTest, FirstElementWinsAndEmptyValuesAreFound) {
    std::string value = "untouched";
    EXPECT_EQ(0, GetValueFromXmlString("<a>1</a><a>2</a>", "a", value));
    EXPECT_EQ("1", value);
    EXPECT_EQ(0, GetValueFromXmlString("<MntPath></MntPath>", "MntPath", value));
    EXPECT_EQ("", value);
    EXPECT_EQ(0, GetValueFromXmlString("<v> spaced </v>", "v", value));
    EXPECT_EQ(" spaced ", value);
}

TEST_F(XmlValueTest, MissingElementIsAnOrdinaryOutcome) {
    std::string value = "untouched";
    EXPECT_EQ(-1, GetValueFromXmlString("<B>1</B>", "b", value));  // names are case-sensitive
    EXPECT_EQ("untouched", value);
    EXPECT_LOGGED(2, "INFO: Failed to parse [<b>] from XML string [<B>1</B>].");
}

TEST_F(XmlValueTest, OpeningTagWithoutClosingTagIsAnError) {
    std::string value = "untouched";
    EXPECT_EQ(-1, GetValueFromXmlString("<a>1</b>", "a", value));
    EXPECT_EQ("untouched", value);
    EXPECT_LOGGED(-1, "ERROR: Failed to parse [</a>] from XML string [<a>1</b>].");
    // A closing tag before the opening one does not count.
    EXPECT_EQ(-1, GetValueFromXmlString("</a><a>1", "a", value));
}

TEST_F(XmlValueTest, NumericValuesConvertLikeAtoi) {
    unsigned value = 77;
    EXPECT_EQ(0, GetValueFromXmlString("<n>12abc</n>", "n", value));
    EXPECT_EQ(12u, value);
    EXPECT_EQ(0, GetValueFromXmlString("<n>-1</n>", "n", value));
    EXPECT_EQ(4294967295u, value);
    EXPECT_EQ(0, GetValueFromXmlString("<n>x</n>", "n", value));
    EXPECT_EQ(0u, value);
    value = 77;
    EXPECT_EQ(-1, GetValueFromXmlString("<m>5</m>", "n", value));
    EXPECT_EQ(77u, value);
}

TEST_F(XmlValueTest, NumToStr) {
    EXPECT_EQ("4294967295", NumToStr(4294967295u));
    EXPECT_EQ("18446744073709551615", NumToStr(18446744073709551615ull));
}

class ParseTimeTest : public testsupport::ModuleTest {
protected:
    static struct tm Local(time_t t) {
        struct tm out;
        localtime_r(&t, &out);
        return out;
    }
    static bool Parse(const std::string& text, time_t& out) {
        std::string copy = text;
        return ParseTime(copy, out);
    }
};

TEST_F(ParseTimeTest, DateAndTimeGiveLocalTime) {
    for (const char* text : {"07-15-2023 10:20:30", "7-15-2023 10:20:30", "07-15-2023  10:20:30 extra"}) {
        time_t out = 0;
        ASSERT_TRUE(Parse(text, out)) << text;
        const struct tm t = Local(out);
        EXPECT_EQ(2023 - 1900, t.tm_year) << text;
        EXPECT_EQ(6, t.tm_mon) << text;
        EXPECT_EQ(15, t.tm_mday) << text;
        EXPECT_EQ(10, t.tm_hour) << text;
        EXPECT_EQ(20, t.tm_min) << text;
        EXPECT_EQ(30, t.tm_sec) << text;
    }
}

TEST_F(ParseTimeTest, OutOfRangeFieldsFail) {
    time_t out = 123;
    for (const char* text : {"15-07-2023 10:20:30", "07-15-1969 10:20:30", "07-15-2023 24:00:00",
                             "07-15-2023 10:60:00", "07-15-2023 10:20:60", "07-15-2023 10:20",
                             "07-15 10:20:30", "00-15-2023 10:20:30", "07-32-2023 10:20:30"}) {
        EXPECT_FALSE(Parse(text, out)) << text;
    }
    EXPECT_EQ(123, out);
    EXPECT_TRUE(Lines().empty()) << testsupport::Dump(Lines());
}

TEST_F(ParseTimeTest, TextWithoutBlankIsSeconds) {
    time_t out = 0;
    EXPECT_TRUE(Parse("1689416430", out));
    EXPECT_EQ(1689416430, out);
    EXPECT_TRUE(Parse("07-15-2023", out));
    EXPECT_EQ(7, out);
    EXPECT_TRUE(Parse("-5", out));
    EXPECT_EQ(-5, out);
}

TEST_F(ParseTimeTest, EmptyTextIsLogged) {
    time_t out = 9;
    EXPECT_FALSE(Parse("", out));
    EXPECT_EQ(9, out);
    EXPECT_LOGGED(-1, "ERROR: Timestamp is empty.");
}

TEST_F(ParseTimeTest, DayPastTheMonthEndCarriesOver) {
    time_t out = 0;
    ASSERT_TRUE(Parse("02-31-2023 00:00:00", out));
    const struct tm t = Local(out);
    EXPECT_EQ(2, t.tm_mon);
    EXPECT_EQ(3, t.tm_mday);
    EXPECT_EQ(0, t.tm_hour);
}

}  // namespace
