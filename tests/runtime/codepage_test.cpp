#include "runtime/codepage.h"

#include <gtest/gtest.h>

using namespace velpic;

TEST(Codepage, GbkAndUtf8RoundTrip) {
    const std::string year_gbk = "\xC4\xEA"; // 年
    EXPECT_EQ(to_utf8(year_gbk), "\xE5\xB9\xB4");
    EXPECT_EQ(to_utf8("plain ascii"), "plain ascii");
    EXPECT_EQ(to_utf8(""), "");
    EXPECT_EQ(utf8_to_gbk("\xE5\xB9\xB4"), year_gbk);
    EXPECT_EQ(gbk_to_utf16(year_gbk), u"\u5E74");
    EXPECT_EQ(utf16_to_gbk(u"a\u5E74"), "a" + year_gbk);
}

TEST(Codepage, InvalidBytesDoNotStopTheConversion) {
    // A lone lead byte at the end is not valid GBK; the text before it survives.
    EXPECT_EQ(to_utf8("ab\x81"), "ab?");
    EXPECT_EQ(to_utf8(std::string("a\0b", 3)), "a");
    // A lone surrogate is one unreadable UTF-16 unit: the units after it are still read from the right byte.
    std::u16string lone = u"a";
    lone += static_cast<char16_t>(0xD800);
    lone += u"b\u5E74";
    EXPECT_EQ(utf16_to_gbk(lone), "a?b\xC4\xEA");
    std::string out;
    ASSERT_TRUE(charset_to_gbk(std::string("\x00\xD8\x41\x00", 4), "UTF-16LE", out));
    EXPECT_EQ(out, "?A");
}

TEST(Codepage, CharsetRedecoding) {
    std::string out = "untouched";
    EXPECT_FALSE(charset_to_gbk("x", "no-such-charset", out));
    EXPECT_EQ(out, "untouched");
    ASSERT_TRUE(charset_to_gbk("\xE5\xB9\xB4", "utf-8", out));
    EXPECT_EQ(out, "\xC4\xEA");
}

TEST(Codepage, Utf8Validation) {
    EXPECT_TRUE(is_valid_utf8(""));
    EXPECT_TRUE(is_valid_utf8("ascii {\"a\":1}"));
    EXPECT_TRUE(is_valid_utf8("\xE5\xB9\xB4\xF0\x9F\x98\x80"));
    EXPECT_FALSE(is_valid_utf8("\xC4\xEA"));     // GBK 年
    EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));     // overlong "/"
    EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80")); // surrogate
    EXPECT_FALSE(is_valid_utf8("\xE5\xB9"));     // cut short
}

TEST(Codepage, AnUnmappablePairIsOneQuestionMarkAndTheNextCharacterKeepsItsStep) {
    // A7 90 is a well-formed pair without a character. Skipping only its lead byte would pair 90 with C4 and EA
    // with the backslash that escapes the quote, which would then stand free in a JSON body.
    EXPECT_EQ(to_utf8("\xA7\x90\xC4\xEA\\\""), "?\xE5\xB9\xB4\\\"");
    EXPECT_EQ(gbk_to_utf16("\xA7\x90\xC4\xEA"), u"?\u5E74");
    // A lead byte whose next byte cannot be a trail byte stands alone: that next byte is read as itself.
    EXPECT_EQ(to_utf8("\x81\"x"), "?\"x");
    EXPECT_EQ(to_utf8("a\xA7\x90"), "a?");
}
