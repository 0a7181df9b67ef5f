#include "runtime/gbk_text.h"

#include <gtest/gtest.h>

#include <climits>

using namespace velpic;

namespace {
// Double-byte characters whose trail bytes look like ASCII: 0x5C is "\", 0x5D is "]", 0x41 "A", 0x61 "a".
const std::string kBackslashTrail = "\xD5\x5C";
const std::string kBracketTrail = "\x81\x5D";
const std::string kUpperATrail = "\xB0\x41";
const std::string kLowerATrail = "\xB0\x61";
const std::string kYear = "\xC4\xEA";           // 年
const std::string kFullWidthSpace = "\xA1\xA1"; // the full-width space
} // namespace

TEST(GbkText, PartsCountBytes) {
    EXPECT_EQ(text_left("abc", 2), "ab");
    EXPECT_EQ(text_left("abc", 9), "abc");
    EXPECT_EQ(text_left("abc", 0), "");
    EXPECT_EQ(text_right("abc", 2), "bc");
    EXPECT_EQ(text_right("abc", -1), "");
    EXPECT_EQ(text_middle("abcdef", 2, 3), "bcd");
    EXPECT_EQ(text_middle("abcdef", 5, 9), "ef");
    EXPECT_EQ(text_middle("abcdef", 0, 3), "");
    EXPECT_EQ(text_middle("abcdef", 7, 3), "");
    EXPECT_EQ(text_middle("abcdef", 2, 0), "");
}

TEST(GbkText, FindIsOneBasedAndHonoursStart) {
    EXPECT_EQ(text_find("a.b.c", "."), 2);
    EXPECT_EQ(text_find("a.b.c", ".", 3), 4);
    EXPECT_EQ(text_find("a.b.c", ".", 5), -1);
    EXPECT_EQ(text_find("a.b.c", ".", 99), -1);
    EXPECT_EQ(text_find("a.b.c", "x"), -1);
    EXPECT_EQ(text_find("abc", ""), 1);
    EXPECT_EQ(text_find("", ""), -1);
    EXPECT_EQ(text_find("", "a"), -1);
    EXPECT_EQ(text_find("ab", "abc"), -1);
    EXPECT_EQ(text_find("xUser-Agent:", "user-agent:"), -1);
    EXPECT_EQ(text_find("xUser-Agent:", "user-agent:", 1, true), 2);
}

TEST(GbkText, SearchesNeverMatchInsideADoubleByteCharacter) {
    const std::string text = "a" + kBackslashTrail + kBracketTrail + "\\]";
    // The only real "\" and "]" are the last two bytes; the trail bytes before them must be skipped.
    EXPECT_EQ(text_find(text, "\\"), 6);
    EXPECT_EQ(text_find(text, "]"), 7);
    EXPECT_EQ(text_find_backward(text, "\\", 5), -1);
    EXPECT_EQ(text_find_backward(text, "]", 6), -1);
    EXPECT_EQ(text_find(kBackslashTrail, "\\"), -1);
    // A match starting on a character but ending halfway through the next one is no match either.
    EXPECT_EQ(text_find("a" + kYear, "a\xC4"), -1);
    EXPECT_EQ(text_find("a" + kYear + "b", kYear), 2);
    // A start inside a character moves on to the next character.
    EXPECT_EQ(text_find(kBackslashTrail + "\\", "\\", 2), 3);
    // Case folding applies to single-byte letters, never to trail bytes.
    EXPECT_EQ(text_find(kUpperATrail, kLowerATrail, 1, true), -1);
    EXPECT_EQ(text_find(kUpperATrail + "A", "a", 1, true), 3);
    EXPECT_TRUE(text_is_char_boundary(text, 2));
    EXPECT_FALSE(text_is_char_boundary(text, 3));
    EXPECT_TRUE(text_is_char_boundary(text, 8));
    EXPECT_FALSE(text_is_char_boundary(text, 9));
}

TEST(GbkText, FindBackwardFindsTheLastOccurrenceBeforeStart) {
    EXPECT_EQ(text_find_backward("c:/dir.x/pic.png", "."), 13);
    EXPECT_EQ(text_find_backward("c:/dir.x/pic.png", ".", 12), 7);
    EXPECT_EQ(text_find_backward("c:/dir.x/pic.png", ".", 7), 7);
    EXPECT_EQ(text_find_backward("nodot", "."), -1);
    EXPECT_EQ(text_find_backward("abcabc", "ABC", -1, true), 4);
    EXPECT_EQ(text_find_backward("abcabc", "ABC"), -1);
    EXPECT_EQ(text_find_backward("", "a"), -1);
}

TEST(GbkText, ReplaceKeepsBytesBeforeStartAndHonoursCount) {
    EXPECT_EQ(text_replace("a-b-c-d", "-", "+"), "a+b+c+d");
    EXPECT_EQ(text_replace("a-b-c-d", "-", "+", 3), "a-b+c+d");
    EXPECT_EQ(text_replace("a-b-c-d", "-", "+", 1, 2), "a+b+c-d");
    EXPECT_EQ(text_replace("a-b-c-d", "-", "+", 1, 0), "a-b-c-d");
    EXPECT_EQ(text_replace("a-b-c-d", "-"), "abcd");
    EXPECT_EQ(text_replace("abc", "", "x"), "abc");
    EXPECT_EQ(text_replace("aaa", "aa", "a"), "aa");
    // Without case sensitivity (the default) letters match in any case.
    EXPECT_EQ(text_replace("Set-Cookie: x", "set-cookie:"), " x");
    EXPECT_EQ(text_replace("Set-Cookie: x", "set-cookie:", "", 1, -1, true), "Set-Cookie: x");
    // A trail byte equal to the searched byte stays.
    EXPECT_EQ(text_replace(kBackslashTrail + "\\" + kBackslashTrail, "\\", "/"),
              kBackslashTrail + "/" + kBackslashTrail);
    EXPECT_EQ(text_replace(kUpperATrail + "a", "A", "b"), kUpperATrail + "b");
}

TEST(GbkText, SplitKeepsInnerEmptyPiecesAndDropsAnEmptyLastOne) {
    using Pieces = std::vector<std::string>;
    EXPECT_EQ(text_split("a,b,c"), (Pieces{"a", "b", "c"}));
    EXPECT_EQ(text_split("a,,b,"), (Pieces{"a", "", "b"}));
    EXPECT_EQ(text_split(",a"), (Pieces{"", "a"}));
    EXPECT_EQ(text_split("a,,"), (Pieces{"a", ""}));
    EXPECT_EQ(text_split(""), Pieces{});
    EXPECT_EQ(text_split("abc", "|"), Pieces{"abc"});
    EXPECT_EQ(text_split("a\r\nb\r\n\r\nc\r\n", "\r\n"), (Pieces{"a", "b", "", "c"}));
    EXPECT_EQ(text_split("a|b|c|d", "|", 2), (Pieces{"a", "b"}));
    EXPECT_EQ(text_split("a|b", "|", 0), Pieces{});
    // "]" as a trail byte is not a separator.
    EXPECT_EQ(text_split("x" + kBracketTrail + "]y", "]"), (Pieces{"x" + kBracketTrail, "y"}));
}

TEST(GbkText, TrimRemovesAsciiAndFullWidthSpacesOnly) {
    EXPECT_EQ(text_trim("  a b  "), "a b");
    EXPECT_EQ(text_trim(kFullWidthSpace + " x" + kFullWidthSpace + " "), "x");
    EXPECT_EQ(text_trim("\tx\t"), "\tx\t");
    EXPECT_EQ(text_trim("   "), "");
    EXPECT_EQ(text_trim_left("  x  "), "x  ");
    EXPECT_EQ(text_trim_right("  x  "), "  x");
    // The bytes A1 A1 at the end are a trail byte plus a lone lead byte here, not a full-width space.
    const std::string trail_a1 = "\xB0\xA1\xA1";
    EXPECT_EQ(text_trim_right(trail_a1), trail_a1);
    EXPECT_EQ(text_trim_right("\xB0\xA1" + kFullWidthSpace), "\xB0\xA1");
}

TEST(GbkText, CaseMappingTouchesAsciiLettersOnly) {
    EXPECT_EQ(text_upper("abc-Z1"), "ABC-Z1");
    EXPECT_EQ(text_lower("ABC-z1"), "abc-z1");
    EXPECT_EQ(text_upper(kLowerATrail + "a"), kLowerATrail + "A");
    EXPECT_EQ(text_lower(kUpperATrail + "A"), kUpperATrail + "a");
    EXPECT_EQ(text_compare("abc", "ABC", false), 0);
    EXPECT_GT(text_compare("abc", "ABC", true), 0);
    EXPECT_LT(text_compare("ab", "abc"), 0);
    EXPECT_GT(text_compare(kYear, "z"), 0); // bytes compare unsigned
    EXPECT_NE(text_compare(kUpperATrail, kLowerATrail, false), 0);
}

TEST(GbkText, SmallConversions) {
    EXPECT_EQ(text_repeat(3, "ab"), "ababab");
    EXPECT_EQ(text_repeat(0, "ab"), "");
    EXPECT_EQ(text_spaces(2), "  ");
    EXPECT_EQ(text_char(65), "A");
    EXPECT_EQ(text_char(0), "");
    EXPECT_EQ(text_char_code("AB", 2), 66);
    EXPECT_EQ(text_char_code(kYear), 0xC4);
    EXPECT_EQ(text_char_code("AB", 3), 0);
    EXPECT_TRUE(text_starts_with("https://x", "https://"));
    EXPECT_FALSE(text_starts_with("http", "https"));
    EXPECT_EQ(bool_to_text(true), "\xD5\xE6");
    EXPECT_EQ(bool_to_text(false), "\xBC\xD9");
    EXPECT_EQ(text_to_integer("3306"), 3306);
    EXPECT_EQ(text_to_integer("-12.9x"), -12);
    EXPECT_EQ(text_to_integer("+7"), 7);
    EXPECT_EQ(text_to_integer("x1"), 0);
    EXPECT_EQ(text_to_integer(""), 0);
    EXPECT_EQ(text_to_integer("99999999999999999999999"), LLONG_MAX);
    EXPECT_EQ(text_up_to_nul(std::string("ab\0cd", 5)), "ab");
}
