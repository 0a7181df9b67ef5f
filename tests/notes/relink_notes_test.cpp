#include "notes/relink_notes.h"

#include "corpus_copy.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>

#include <sstream>

namespace velpic {
namespace {

using test::file_bytes;
using test::tree;
using test::write_bytes;

class RelinkNotesTest : public ::testing::Test {
protected:
    int relink(bool dry_run = false) {
        out.str({});
        err.str({});
        std::string why;
        const std::optional<RelinkMap> map = read_relink_map(test::corpus("relink/map.txt"), why);
        EXPECT_TRUE(map) << why;
        return map ? relink_notes({notes.string()}, *map, dry_run, out, err) : -1;
    }

    test::TempDir dir;
    std::filesystem::path notes = dir.file("notes");
    std::ostringstream out, err;
};

TEST_F(RelinkNotesTest, MarkdownHtmlAndTextComeOutByteForByteAndASecondRunChangesNothing) {
    test::write_tree(notes, tree(test::corpus("relink/notes"), {}));
    const auto before = tree(notes, {});

    ASSERT_EQ(relink(true), 0) << err.str();
    EXPECT_EQ(tree(notes, {}), before);
    const std::string promised = out.str();
    EXPECT_TRUE(promised.ends_with(
        "relink (dry run): 13 addresses would be rewritten in 3 of 3 files, 0 failed; nothing was written\n"))
        << promised;

    ASSERT_EQ(relink(), 0) << err.str();
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(tree(notes, {}), tree(test::corpus("relink/expected"), {}));
    EXPECT_NE(out.str().find(notes.string() + "/list.txt:2: https://old.example/a.png → "
                                              "https://gitee.com/bob/new/raw/master/a.png\n"),
              std::string::npos)
        << out.str();
    EXPECT_EQ(out.str().substr(0, out.str().rfind("relink")), promised.substr(0, promised.rfind("relink")));

    const auto after = tree(notes, {});
    ASSERT_EQ(relink(), 0) << err.str();
    EXPECT_EQ(out.str(), "relink: 0 addresses rewritten in 0 of 3 files, 0 failed\n");
    EXPECT_EQ(tree(notes, {}), after);
}

TEST(RelinkMap, ChainsEndAtTheirLastAddressAndBadMapsAreRefusedWithTheirLine) {
    std::string why;
    const std::optional<RelinkMap> map = parse_relink_map("\xEF\xBB\xBF"
                                                          "a\tb\r\n\nb\tc\nx\ty\nx\ty\nsame\tsame\n",
                                                          why);
    ASSERT_TRUE(map) << why;
    EXPECT_EQ(map->addresses, (std::unordered_map<std::string, std::string>{{"a", "c"}, {"b", "c"}, {"x", "y"}}));

    struct Bad {
        const char* text;
        const char* why;
    };
    const Bad bad[] = {
        {"a\tb\nno tab here\n", "line 2: not \"old address<TAB>new address\""},
        {"a\tb\tc\n", "line 1: not \"old address<TAB>new address\""},
        {"\tb\n", "line 1: an address is empty"},
        {"a\t\r\n", "line 1: an address is empty"},
        {"a\tb\na\tc\n", "line 2: a is mapped to two different addresses"},
        {"a\t\xFF\n", "line 1: not UTF-8"},
        {"a\tb\rc\n", "line 1: an address holds a control character"},
        {"a\tb\nb\ta\n", ""},
    };
    for (const Bad& b : bad) {
        why.clear();
        EXPECT_FALSE(parse_relink_map(b.text, why)) << b.text;
        if (*b.why != '\0')
            EXPECT_EQ(why, b.why) << b.text;
        else
            EXPECT_NE(why.find("round in a circle"), std::string::npos) << why;
    }
    EXPECT_EQ(move_map_path("/opt/velpic"), std::filesystem::path(u8"/opt/velpic/搬家映射.txt"));
}

// A line continues only into lines written after it: "a -> B" then "c -> a" moved two pictures, and c's notes go
// to a, where c's picture is. A long chain costs one step per line (32,000 lines once took 88 s).
TEST(RelinkMap, ChainsFollowTheOrderOfTheMovesAndStayLinear) {
    struct Case {
        const char* text;
        std::unordered_map<std::string, std::string> expected;
    };
    const Case cases[] = {
        {"a\tB\nc\ta\n", {{"a", "B"}, {"c", "a"}}},
        {"c\ta\na\tB\n", {{"a", "B"}, {"c", "B"}}},
        {"a\tb\nb\tc\na\tb\n", {{"a", "c"}, {"b", "c"}}},
        {"x\ty\ny\tz\nw\tx\n", {{"x", "z"}, {"y", "z"}, {"w", "x"}}},
    };
    for (const Case& c : cases) {
        std::string why;
        const std::optional<RelinkMap> map = parse_relink_map(c.text, why);
        ASSERT_TRUE(map) << why;
        EXPECT_EQ(map->addresses, c.expected) << c.text;
    }

    std::string chain;
    const int lines = 32000;
    for (int i = 0; i < lines; ++i)
        chain += "https://h/" + std::to_string(i) + ".png\thttps://h/" + std::to_string(i + 1) + ".png\n";
    std::string why;
    const auto started = std::chrono::steady_clock::now();
    const std::optional<RelinkMap> map = parse_relink_map(chain, why);
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(map) << why;
    ASSERT_EQ(map->addresses.size(), static_cast<std::size_t>(lines));
    EXPECT_EQ(*map->find("https://h/0.png"), "https://h/32000.png");
    EXPECT_EQ(*map->find("https://h/31999.png"), "https://h/32000.png");
    EXPECT_LT(took, std::chrono::seconds(5));
}

} // namespace
} // namespace velpic
