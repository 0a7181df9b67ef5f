#include "http/header_list.h"

#include <gtest/gtest.h>

namespace velpic {
namespace {

TEST(HeaderList, HeaderTextLinesWithoutTrailingBreak) {
    HeaderList list;
    EXPECT_EQ(list.to_header_text(), "");
    list.add("User-Agent", "v");
    EXPECT_EQ(list.to_header_text(), "User-Agent: v");
    list.add("Content-Type", "application/json;charset=UTF-8");
    EXPECT_EQ(list.to_header_text(), "User-Agent: v\r\nContent-Type: application/json;charset=UTF-8");
    // Only values are encoded in header lines.
    HeaderList encoded;
    encoded.add("X Y", "a b/\xD6\xD0");
    EXPECT_EQ(encoded.to_header_text(true), "X Y: a+b%2F%D6%D0");
}

TEST(HeaderList, DuplicateNamesFirstMatchWins) {
    HeaderList list;
    list.add("A", "1");
    list.add("a", "lower");
    list.add("A", "2");
    EXPECT_EQ(list.get("A"), "1");
    EXPECT_EQ(list.get("a"), "lower");
    EXPECT_EQ(list.get("B"), "");
    list.set("A", "3");
    list.set("B", "4");
    EXPECT_EQ(list.to_query(), "A=3&a=lower&A=2&B=4");
    list.remove("A");
    list.remove("missing");
    EXPECT_EQ(list.to_query(), "a=lower&A=2&B=4");
    std::vector<std::string> names{"stale"}, values;
    list.get_names(names);
    list.get_values(values);
    EXPECT_EQ(names, (std::vector<std::string>{"a", "A", "B"}));
    EXPECT_EQ(values, (std::vector<std::string>{"lower", "2", "4"}));
    list.clear();
    EXPECT_EQ(list.to_query(), "");
    EXPECT_EQ(list.to_json(), "{}");
}

TEST(HeaderList, CopyIsIndependent) {
    HeaderList list;
    list.add("a", "1");
    HeaderList copy(list);
    copy.set("a", "2");
    copy.add("b", "3");
    EXPECT_EQ(list.to_query(), "a=1");
    EXPECT_EQ(copy.to_query(), "a=2&b=3");
}

TEST(HeaderList, AddQueryPieceRules) {
    HeaderList list;
    list.add_query("a=1&&b&x=y=z&=v&");
    EXPECT_EQ(list.to_query(), "a=1&=&=&x=z&=v");
    std::vector<std::string> names;
    list.get_names(names);
    EXPECT_EQ(names, (std::vector<std::string>{"a", "", "", "x", ""}));

    HeaderList utf8;
    utf8.add_query("\xC4\xEA=\xD6\xD0", true);
    EXPECT_EQ(utf8.get("\xE5\xB9\xB4"), "\xE4\xB8\xAD");
    utf8.add("k\xC4\xEA", "v", true);
    EXPECT_EQ(utf8.get("k\xE5\xB9\xB4"), "v");
}

TEST(HeaderList, PercentEncoding) {
    HeaderList list;
    list.add("a b", "x&y");
    EXPECT_EQ(list.to_query(true), "a+b=x%26y");
    EXPECT_EQ(percent_encode("\xD6\xD0\xCE\xC4"), "%D6%D0%CE%C4");
    EXPECT_EQ(percent_encode("\xD6\xD0", true, true), "%E4%B8%AD");
    EXPECT_EQ(percent_encode("'()*-._09AZaz~!/"), "'()*-._09AZaz%7E%21%2F");
    EXPECT_EQ(percent_encode("A1 ~", false), "%41%31+%7E");
    EXPECT_EQ(percent_encode(std::string("a\0b", 3)), "ab");
    EXPECT_EQ(percent_encode(""), "");
}

TEST(HeaderList, JsonQuotingAndSeparators) {
    HeaderList list;
    list.add("n\"1", "say \"hi\"\\");
    list.add("k", "");
    EXPECT_EQ(list.to_json(), "{\"n\"1\":\"say \\\"hi\\\"\\\",\"k\":\"\"}");
    EXPECT_EQ(HeaderList::escape_quotes("\"\xC4\xEA\""), "\\\"\xC4\xEA\\\"");
    EXPECT_EQ(HeaderList::trim_separator(",a,b,", ","), "a,b");
    EXPECT_EQ(HeaderList::trim_separator(",,,", ","), ",");
    EXPECT_EQ(HeaderList::trim_separator("a", ""), "a");
    EXPECT_EQ(HeaderList::trim_separator("&&a&&", "&&"), "a");
    // "@" ending a double-byte character (81 40) is not a separator at the end of the text.
    EXPECT_EQ(HeaderList::trim_separator("a\x81\x40", "@"), "a\x81\x40");
    EXPECT_EQ(HeaderList::trim_separator("a\x81\x40@", "@"), "a\x81\x40");
}

} // namespace
} // namespace velpic
