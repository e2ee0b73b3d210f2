// The string helpers beside the formatting engine: numbers and times to text, lists,
// trimming, hex forms, splitting and joining, membership and case folding.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "vfw/string_util.h"

namespace {

TEST(StringNumbers, SignedThirtyTwoBitInEachBase) {
    EXPECT_EQ(vfw::toString(int32_t{-42}), "-42");
    EXPECT_EQ(vfw::toString(int32_t{INT32_MIN}), "-2147483648");
    EXPECT_EQ(vfw::toString(int32_t{255}, 16), "ff");
    EXPECT_EQ(vfw::toString(int32_t{-1}, 16), "ffffffff");
    EXPECT_EQ(vfw::toString(int32_t{8}, 8), "10");
    EXPECT_EQ(vfw::toString(int32_t{-8}, 8), "37777777770");
    // Any other base is decimal.
    EXPECT_EQ(vfw::toString(int32_t{-42}, 2), "-42");
}

TEST(StringNumbers, UnsignedInEachBase) {
    EXPECT_EQ(vfw::toString(uint32_t{UINT32_MAX}), "4294967295");
    EXPECT_EQ(vfw::toString(uint32_t{UINT32_MAX}, 16), "ffffffff");
    EXPECT_EQ(vfw::toString(uint32_t{UINT32_MAX}, 8), "37777777777");
    EXPECT_EQ(vfw::toString(uint32_t{0}, 8), "0");
    EXPECT_EQ(vfw::toString(uint64_t{UINT64_MAX}), "18446744073709551615");
    EXPECT_EQ(vfw::toString(uint64_t{UINT64_MAX}, 16), "ffffffffffffffff");
    EXPECT_EQ(vfw::toString(uint64_t{UINT64_MAX}, 8), "1777777777777777777777");
    EXPECT_EQ(vfw::toString(uint64_t{1} << 40, 3), "1099511627776");
}

TEST(StringNumbers, DoublesInFixedNotation) {
    EXPECT_EQ(vfw::toString(1.5), "1.500000");
    EXPECT_EQ(vfw::toString(-0.0078125), "-0.007813");
    // The largest double has 309 integer digits; all of them are kept.
    const std::string largest = vfw::toString(1.7976931348623157e308);
    EXPECT_EQ(largest.size(), 309u + 7u);
    EXPECT_EQ(largest.substr(0, 17), "17976931348623157");
    EXPECT_EQ(largest.substr(309), ".000000");
}

TEST(StringNumbers, UnsignedFromTextWithBaseFromPrefix) {
    EXPECT_EQ(vfw::stringToUInt("42"), 42u);
    EXPECT_EQ(vfw::stringToUInt("052"), 42u);
    EXPECT_EQ(vfw::stringToUInt("0x2A"), 42u);
    EXPECT_EQ(vfw::stringToUInt("  7 apples"), 7u);
    EXPECT_EQ(vfw::stringToUInt("junk"), 0u);
    EXPECT_EQ(vfw::stringToUInt(""), 0u);
    EXPECT_EQ(vfw::stringToUInt("4294967297"), 1u);  // cut to 32 bits
    EXPECT_EQ(vfw::stringToUInt("-1"), 4294967295u);
}

TEST(StringTexts, TruthValuesAreTwoConstantStrings) {
    EXPECT_EQ(vfw::boolToString(true), "true");
    EXPECT_EQ(vfw::boolToString(false), "false");
    EXPECT_EQ(&vfw::boolToString(true), &vfw::boolToString(true));
    EXPECT_NE(&vfw::boolToString(true), &vfw::boolToString(false));
}

TEST(StringTexts, ListStopsAtTheLimitWithOneMarker) {
    std::string list;
    int count = 0;
    EXPECT_TRUE(vfw::appendToList(list, "a", count, 2));
    EXPECT_TRUE(vfw::appendToList(list, "b", count, 2));
    EXPECT_FALSE(vfw::appendToList(list, "c", count, 2));
    EXPECT_EQ(list, "a, b,...<truncated>");
    EXPECT_FALSE(vfw::appendToList(list, "d", count, 2));
    EXPECT_EQ(list, "a, b,...<truncated>");

    std::string none = "files:";
    int noneCount = 0;
    EXPECT_FALSE(vfw::appendToList(none, "x", noneCount, 0));
    EXPECT_EQ(none, "files:,...<truncated>");

    std::string prefixed = "files: ";
    int prefixedCount = 0;
    vfw::appendToList(prefixed, "x", prefixedCount, 5);
    vfw::appendToList(prefixed, "y", prefixedCount, 5);
    EXPECT_EQ(prefixed, "files: x, y");
}

class StringTime : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        m_hadTz = tz != nullptr;
        m_tz = m_hadTz ? tz : "";
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (m_hadTz) {
            setenv("TZ", m_tz.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    bool m_hadTz = false;
    std::string m_tz;
};

TEST_F(StringTime, CtimeTextWithoutItsNewline) {
    EXPECT_EQ(vfw::timeToString(0), "Thu Jan  1 00:00:00 1970");
    EXPECT_EQ(vfw::timeToString(1700000000), "Tue Nov 14 22:13:20 2023");
    EXPECT_EQ(vfw::timeToString(std::numeric_limits<time_t>::max()), "ctime_r failed");
}

TEST(StringTexts, TrimRemovesTheSixBlanksAtBothEnds) {
    EXPECT_EQ(vfw::trim(" \t value \r\n"), "value");
    EXPECT_EQ(vfw::trim("\v\fa b\f\v"), "a b");
    EXPECT_EQ(vfw::trim(" \t\n\r\v\f"), "");
    EXPECT_EQ(vfw::trim(""), "");
    EXPECT_EQ(vfw::trim("x"), "x");
    EXPECT_EQ(vfw::trim("\x01x\x01"), "\x01x\x01");
}

TEST(StringTexts, FormatStringKeepsAtMost1023Characters) {
    EXPECT_EQ(vfw::formatString("%s-%05d", "id", 42), "id-00042");
    const char* volatile noText = nullptr;  // unknown to the compiler's format checks
    EXPECT_EQ(vfw::formatString("%s", noText), "(NULL)");
    EXPECT_EQ(vfw::formatString("%e", 1.5), "1.500000");
    const std::string longText(3000, 'z');
    EXPECT_EQ(vfw::formatString("%s", longText.c_str()), longText.substr(0, 1023));
    EXPECT_EQ(vfw::formatString("%1023d", 1).size(), 1023u);
    EXPECT_EQ(vfw::formatString("%1024d", 1), std::string(1023, ' '));
}

TEST(StringTexts, PrintableOrHex) {
    EXPECT_TRUE(vfw::isPrintable(""));
    EXPECT_TRUE(vfw::isPrintable("Queue 7: ok ~"));
    EXPECT_FALSE(vfw::isPrintable("a\tb"));
    EXPECT_FALSE(vfw::isPrintable("caf\xc3\xa9"));
    EXPECT_FALSE(vfw::isPrintable(std::string("a\0b", 3)));
    EXPECT_EQ(vfw::toHex(std::string("\x00\xff\x10 A", 5)), "00ff102041");
    EXPECT_EQ(vfw::toHex(""), "");
    EXPECT_EQ(vfw::printableOrHex("plain"), "plain");
    EXPECT_EQ(vfw::printableOrHex("\x01\x02"), "0102");
}

TEST(StringLists, SplitSkipsEmptyPieces) {
    std::vector<std::string> pieces{"kept"};
    vfw::split("/a//b/", "/", pieces);
    EXPECT_EQ(pieces, (std::vector<std::string>{"kept", "a", "b"}));

    std::vector<std::string> words;
    vfw::split(" one, two;;three ", " ,;", words);
    EXPECT_EQ(words, (std::vector<std::string>{"one", "two", "three"}));

    std::vector<std::string> nothing;
    vfw::split("", "/", nothing);
    vfw::split("///", "/", nothing);
    EXPECT_TRUE(nothing.empty());

    std::vector<std::string> whole;
    vfw::split("no delimiter", "/", whole);
    vfw::split("abc", "", whole);
    EXPECT_EQ(whole, (std::vector<std::string>{"no delimiter", "abc"}));
}

TEST(StringLists, JoinPutsTheSeparatorBetweenItems) {
    EXPECT_EQ(vfw::join({}, ", "), "");
    EXPECT_EQ(vfw::join({"a"}, ", "), "a");
    EXPECT_EQ(vfw::join({"a", "b", "c"}, ", "), "a, b, c");
    EXPECT_EQ(vfw::join({"", ""}, "/"), "/");
}

TEST(StringLists, MembershipIgnoresCase) {
    const char* const levels[] = {"trace", "debug", "INFO", nullptr};
    EXPECT_TRUE(vfw::isInList("info", levels));
    EXPECT_TRUE(vfw::isInList("Debug", levels));
    EXPECT_FALSE(vfw::isInList("inf", levels));
    EXPECT_FALSE(vfw::isInList("information", levels));
    const char* const empty[] = {nullptr};
    EXPECT_FALSE(vfw::isInList("info", empty));
    EXPECT_FALSE(vfw::isInList(nullptr, levels));
    EXPECT_FALSE(vfw::isInList("info", nullptr));
}

TEST(StringTexts, CaseFoldingChangesLettersOnly) {
    EXPECT_EQ(vfw::toUpper("Warn-level 3 ok"), "WARN-LEVEL 3 OK");
    EXPECT_EQ(vfw::toLower("AUTH.Priv_9"), "auth.priv_9");
    EXPECT_EQ(vfw::toUpper("\xe9\x01"), "\xe9\x01");
    EXPECT_EQ(vfw::toLower(""), "");
}

}  // namespace
