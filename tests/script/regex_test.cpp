#include "script/regex.h"

#include <gtest/gtest.h>

namespace velpic {
namespace {

// The pattern the request engine uses to find a page's declared character set.
constexpr const char* kCharsetPattern = "<meta.+?charset=[^\\w]?([-\\w]+)";

TEST(Regex, CharsetMetaPatternInEitherLetterCase) {
    Regex regex;
    ASSERT_TRUE(regex.execute(kCharsetPattern, "<html><head><meta http-equiv=\"Content-Type\" "
                                               "content=\"text/html; charset=utf-8\"></head>"));
    EXPECT_EQ(regex.match_count(), 1);
    EXPECT_EQ(regex.submatch_count(), 1);
    EXPECT_EQ(regex.submatch_text(1, 1), "utf-8");

    ASSERT_TRUE(regex.execute(kCharsetPattern, "<HTML>\r\n<META CHARSET=\"GB2312\">\r\n<title>\xC4\xEA</title>"));
    EXPECT_EQ(regex.submatch_text(1, 1), "GB2312");

    ASSERT_TRUE(regex.execute(kCharsetPattern, "<p>\xC4\xEA charset=utf-8</p>"));
    EXPECT_EQ(regex.match_count(), 0);
    EXPECT_EQ(regex.submatch_count(), 0);
    EXPECT_EQ(regex.submatch_text(1, 1), "");
    EXPECT_EQ(regex.match_text(1), "");

    // Letter case counts only when asked for.
    EXPECT_TRUE(regex.execute(kCharsetPattern, "<META charset=utf-8>", true));
    EXPECT_EQ(regex.match_count(), 0);
}

TEST(Regex, DialectEscapesBackReferencesAndLines) {
    Regex regex;
    // \uXXXX names a character; the GBK subject 年 is U+5E74.
    ASSERT_TRUE(regex.execute("\\u5E74(\\x41)", "x\xC4\xEA"
                                                "A"));
    EXPECT_EQ(regex.match_text(1), "\xC4\xEA"
                                   "A");
    EXPECT_EQ(regex.submatch_text(1, 1), "A");

    // "\v" is the vertical tab only; a backslash before a letter that names no escape stands for the letter.
    ASSERT_TRUE(regex.execute("a\\vb", "a\nb a\x0B"
                                       "b"));
    EXPECT_EQ(regex.match_count(), 1);
    EXPECT_EQ(regex.match_text(1), "a\x0B"
                                   "b");
    ASSERT_TRUE(regex.execute("\\q\\e\\A\\z\\K[\\B\\p]", "qeAzKp qeAzKB"));
    EXPECT_EQ(regex.match_count(), 2);

    // A back-reference to a group that took no part matches the empty text.
    ASSERT_TRUE(regex.execute("(a)?b\\1c", "bc"));
    EXPECT_EQ(regex.match_count(), 1);
    EXPECT_EQ(regex.match_text(1), "bc");
    EXPECT_EQ(regex.submatch_text(1, 1), "");

    // "." stops at LF only; multi-line anchors also see CR LF line ends.
    ASSERT_TRUE(regex.execute("a.b", "a\rb a\nb"));
    EXPECT_EQ(regex.match_count(), 1);
    ASSERT_TRUE(regex.execute("^\\w+$", "one\r\ntwo\nthree"));
    EXPECT_EQ(regex.match_count(), 3);
    EXPECT_EQ(regex.match_text(2), "two");
    ASSERT_TRUE(regex.execute("^\\w+$", "one\ntwo", false, false));
    EXPECT_EQ(regex.match_count(), 0);
    // "[.]" stays a literal dot and "[]" matches nothing.
    ASSERT_TRUE(regex.execute("[.]|x[]", "a.b"));
    EXPECT_EQ(regex.match_count(), 1);
    EXPECT_EQ(regex.match_text(1), ".");

    ASSERT_TRUE(regex.execute("ab", "AB ab", true));
    EXPECT_EQ(regex.match_count(), 1);
    ASSERT_TRUE(regex.execute("ab", "AB ab"));
    EXPECT_EQ(regex.match_count(), 2);
}

TEST(Regex, PositionsWithDoubleByteText) {
    Regex regex;
    // Two double-byte characters, then two occurrences of "ab".
    ASSERT_TRUE(regex.execute("a(b)", "\xC4\xEA\xC4\xEA"
                                      "ab ab"));
    ASSERT_EQ(regex.match_count(), 2);
    long position = 99;
    EXPECT_EQ(regex.match_text(2, &position), "ab");
    EXPECT_EQ(position, 7);
    EXPECT_EQ(regex.first_index(2), 5);
    EXPECT_EQ(regex.submatch_text(1, 1, &position), "b");
    EXPECT_EQ(position, 5);
    EXPECT_EQ(regex.first_index(1), 2);
    EXPECT_EQ(regex.match_text(3, &position), "");
    EXPECT_EQ(position, -1);
    EXPECT_EQ(regex.submatch_text(1, 2), "");
    EXPECT_EQ(regex.submatch_text(1, 0), "");
    EXPECT_EQ(regex.first_index(3), -1);

    ASSERT_TRUE(regex.execute("\xCE\xC4+", "\xD6\xD0\xCE\xC4\xCE\xC4!"));
    EXPECT_EQ(regex.match_text(1, &position), "\xCE\xC4\xCE\xC4");
    EXPECT_EQ(position, 2);
}

TEST(Regex, InvalidPatternLeavesNothingToRead) {
    Regex regex;
    ASSERT_TRUE(regex.execute("(a)", "a"));
    EXPECT_FALSE(regex.execute("(a", "a"));
    EXPECT_EQ(regex.match_count(), 0);
    EXPECT_EQ(regex.match_text(1), "");
    EXPECT_EQ(regex.submatch_text(1, 1), "");
    EXPECT_EQ(regex.submatch_count(), 0);
    EXPECT_EQ(regex.replace("x"), "");
    // The expression keeps the pattern it was given, as the component's own property does.
    EXPECT_EQ(regex.get_pattern(), "(a");
    EXPECT_FALSE(regex.execute("a{2,1}", "aa"));
}

TEST(Regex, ReplaceFirstOrEveryMatch) {
    Regex regex;
    EXPECT_EQ(regex.replace("x"), "");
    EXPECT_EQ(regex.get_pattern(), "");

    ASSERT_TRUE(regex.execute("(\\w)(\\d)", "a1 b2 c3", false, true, false));
    EXPECT_EQ(regex.match_count(), 1);
    EXPECT_EQ(regex.replace("$2$1"), "1a b2 c3");
    ASSERT_TRUE(regex.execute("(\\w)(\\d)", "a1 b2 c3"));
    EXPECT_EQ(regex.replace("$2$1"), "1a 2b 3c");
    EXPECT_EQ(regex.replace("[$&|$$|$3|$0|$10]"), "[a1|$|$3|$0|a0] [b2|$|$3|$0|b0] [c3|$|$3|$0|c0]");
    ASSERT_TRUE(regex.execute("b", "abc"));
    EXPECT_EQ(regex.replace("<$`$'>"), "a<ac>c");
    ASSERT_TRUE(regex.execute("\xCE\xC4", "\xD6\xD0\xCE\xC4\xD6\xD0\xCE\xC4"));
    EXPECT_EQ(regex.replace("\xC4\xEA"), "\xD6\xD0\xC4\xEA\xD6\xD0\xC4\xEA");
    ASSERT_TRUE(regex.execute("z", "abc"));
    EXPECT_EQ(regex.replace("y"), "abc");
    // Empty matches advance by one character.
    ASSERT_TRUE(regex.execute("a*", "b\xC4\xEA"
                                    "aa"));
    EXPECT_EQ(regex.match_count(), 4);
    EXPECT_EQ(regex.replace("-"), "-b-\xC4\xEA--");
}

TEST(Regex, HashAsQuoteAndSharedCopies) {
    Regex regex;
    ASSERT_TRUE(regex.execute("=#(\\w+)#", "a=\"v\"", false, true, true, true));
    EXPECT_EQ(regex.get_pattern(), "=\"(\\w+)\"");
    EXPECT_EQ(regex.submatch_text(1, 1), "v");

    Regex copy(regex);
    ASSERT_TRUE(regex.execute("x", "y"));
    EXPECT_EQ(regex.match_count(), 0);
    EXPECT_EQ(copy.submatch_text(1, 1), "v");
    EXPECT_EQ(copy.replace("!"), "a!");
    copy = regex;
    EXPECT_EQ(copy.get_pattern(), "x");
}

} // namespace
} // namespace velpic
