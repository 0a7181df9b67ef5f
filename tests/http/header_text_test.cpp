#include "http/header_text.h"

#include <gtest/gtest.h>

namespace velpic {
namespace {

TEST(HeaderText, CapitalizesNamesAndDropsLinesWithoutColon) {
    EXPECT_EQ(capitalize_header_names("user-agent: X\r\ngarbage\r\naccept:*/*"), "User-Agent: X\r\nAccept:*/*");
    EXPECT_EQ(capitalize_header_names("x-forwarded-for: 1\r\nUSER-agent: a:b\r\n\r\ncontent-type:t\r\n"),
              "X-Forwarded-For: 1\r\nUSER-Agent: a:b\r\nContent-Type:t");
    // Only a leading ASCII letter of each piece changes; digits, blanks and dashes at the end stay.
    EXPECT_EQ(capitalize_header_names("1x-\xC4\xEA-x-: v"), "1x-\xC4\xEA-X-: v");
    EXPECT_EQ(capitalize_header_names(""), "");
    EXPECT_EQ(capitalize_header_names("no colon here\r\n"), "");
}

TEST(HeaderText, HeaderValueTakesFirstLineStartingWithTheExactName) {
    const std::string block = "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nX: 1\r\nX: 2";
    EXPECT_EQ(header_value(block, "Connection"), "keep-alive");
    EXPECT_EQ(header_value(block, "connection"), "");
    EXPECT_EQ(header_value(block, "X"), "1");
    EXPECT_EQ(header_value("Location:/a\r\nLocation: /b", "Location"), "");
    EXPECT_EQ(header_value(block, "Missing"), "");
}

TEST(HeaderText, TextBetweenMarkers) {
    EXPECT_EQ(text_between("Set-Cookie: a=1; Path=/", "Set-Cookie:", ";"), " a=1");
    EXPECT_EQ(text_between("[a][b]", "[", "]", 2), "b");
    EXPECT_EQ(text_between("[a][b]", "[", "]", -5), "a");
    EXPECT_EQ(text_between("<META x>", "<meta", ">", 1, true), " x");
    EXPECT_EQ(text_between("<META x>", "<meta", ">"), "");
    EXPECT_EQ(text_between("[a", "[", "]"), "");
    EXPECT_EQ(text_between("a]", "[", "]"), "");
}

TEST(HeaderText, TextBeforeAndAfterLastRespectDoubleByteCharacters) {
    EXPECT_EQ(text_before("a=b=c", "="), "a");
    EXPECT_EQ(text_after_last("a=b=c", "="), "c");
    EXPECT_EQ(text_before("abc", "="), "");
    EXPECT_EQ(text_after_last("abc", "="), "");
    // 0x40 ("@") is also the trail byte of the character 81 40; only the real "@" counts.
    EXPECT_EQ(text_after_last("a@\x81\x40z", "@"), "\x81\x40z");
    EXPECT_EQ(text_before("\x81\x40z@q", "@"), "\x81\x40z");
}

TEST(HeaderText, MergeCookieListsNewerWinsAndOlderFollows) {
    EXPECT_EQ(merge_cookie_lists("a=1; b=2", "b=3; c=4"), "b=3; c=4; a=1");
    EXPECT_EQ(merge_cookie_lists("a=1;", ""), "a=1");
    EXPECT_EQ(merge_cookie_lists("", "a=1; "), "a=1");
    EXPECT_EQ(merge_cookie_lists("", ""), "");
    // Names are compared trimmed; an item without "=" is its own name.
    EXPECT_EQ(merge_cookie_lists("  a =1; flag", "a=2; flag"), "a=2; flag");
}

TEST(HeaderText, MergeCookieListsDropsDeletedAndRepeatedItems) {
    EXPECT_EQ(merge_cookie_lists("a=1", "a=deleted"), "");
    EXPECT_EQ(merge_cookie_lists("a=1; b=2", "b=deleted; c=3"), "c=3; a=1");
    EXPECT_EQ(merge_cookie_lists("", "c=3; c=3; d=4; c=3"), "c=3; d=4");
    // An empty item is a repeat like any other; only an empty last item is no item at all.
    EXPECT_EQ(merge_cookie_lists("", "a=1; ; b=2; ; a=1"), "a=1; ; b=2");
    EXPECT_EQ(merge_cookie_lists("", "a; ; a"), "a; ");
    // Only the first of two older cookies with one name is carried over.
    EXPECT_EQ(merge_cookie_lists("a=1; a=2", "b=1"), "b=1; a=1");
}

} // namespace
} // namespace velpic
