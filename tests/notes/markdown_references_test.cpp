#include "notes/destination_text.h"
#include "notes/html_tags.h"
#include "notes/markdown_references.h"
#include "runtime/percent_encoding.h"

#include <gtest/gtest.h>

#include <random>

namespace velpic {
namespace {

// Each reference as "bytes|target" (the bytes of the note at its place), with "<>" around an angle destination
// and the quote around an HTML value, so a case says where and how in one line.
std::vector<std::string> described(std::string_view text, bool with_links = false) {
    std::vector<std::string> out;
    for (const NoteReference& reference : find_markdown_references(text, with_links).found) {
        std::string bytes(text.substr(reference.offset, reference.length));
        if (reference.form == ReferenceForm::angle_destination)
            bytes = "<" + bytes + ">";
        if (reference.form == ReferenceForm::html_attribute && reference.quote != 0)
            bytes = reference.quote + bytes + reference.quote;
        out.push_back(bytes + "|" + reference.target);
    }
    return out;
}

using Refs = std::vector<std::string>;

TEST(MarkdownReferences, EveryFormOfPictureIsFoundAtItsExactBytes) {
    struct Case {
        const char* text;
        Refs expected;
    };
    const Case cases[] = {
        {"![a](x.png \"title\") tail", {"x.png|x.png"}},
        {"![a](<my pic.png> 'title')", {"<my pic.png>|my pic.png"}},
        {"![a](  x.png  )", {"x.png|x.png"}},
        {"![](x.png)", {"x.png|x.png"}},
        {"![猫](图片/猫.png)", {"图片/猫.png|图片/猫.png"}},
        {"![a](a%20b.png)", {"a%20b.png|a%20b.png"}},
        {"![a](a(1).png)", {"a(1).png|a(1).png"}},
        // escapes and character references: md4c resolves them, the place is found from where it stood
        {"![a](a\\_b.png)", {"a\\_b.png|a_b.png"}},
        {"x ![*a* b](a&amp;b.png \"t\") y", {"a&amp;b.png|a&b.png"}},
        {"![a](<a\\>b.png>)", {"<a\\>b.png>|a>b.png"}},
        {"![a][r]\n\n[r]: r\\_1.png\n", {"r\\_1.png|r_1.png"}},
        // the same picture twice is two places; a definition used twice is one
        {"![a](x.png) ![b](x.png)", {"x.png|x.png", "x.png|x.png"}},
        {"![a][r] ![b][r]\n\n[r]: <r 1.png> \"t\"\n", {"<r 1.png>|r 1.png"}},
        {"![a][r]\n\n[R]:\n  r.png\n", {"r.png|r.png"}},
        // containers
        {"> ![q](q.png)\n", {"q.png|q.png"}},
        {"- ![l](l.png)\n", {"l.png|l.png"}},
        {"| a |\n|---|\n| ![t](t.png) |\n", {"t.png|t.png"}},
        // HTML, in blocks and inline, over lines, in any letter case; comments are not looked into
        {"<div>\n<IMG Src=\"h.png\" alt=\"x\">\n</div>\n", {"\"h.png\"|h.png"}},
        {"x <img\n  src='i j.png'> y\n", {"'i j.png'|i j.png"}},
        {"x <img alt=a src=u.png> y\n", {"u.png|u.png"}},
        {"<img src=\"a&amp;b.png\">\n", {"\"a&amp;b.png\"|a&b.png"}},
        {"<!-- <img src=\"c.png\"> -->\n", {}},
        // code of every kind stays unread
        {"`![a](x.png)` ``![b](y.png)``", {}},
        {"```\n![a](x.png)\n<img src=\"y.png\">\n```\n", {}},
        {"~~~md\n![a][r]\n~~~\n\n[r]: r.png\n", {}},
        {"    ![a](x.png)\n", {}},
        // not pictures
        {"[a](x.png) [b][r]\n\n[r]: r.png\n", {}},
        {"\\![a](x.png)", {}},
        {"![a]()", {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(described(c.text), c.expected) << c.text;
}

// Destinations with escapes are found by searching the text; the same bytes standing elsewhere must not be
// taken for them.
TEST(MarkdownReferences, AnEscapedDestinationIsPlacedAtItsOwnImageNotAtTheSameBytesElsewhere) {
    struct Case {
        std::string text;
        std::vector<std::size_t> offsets;
    };
    const Case cases[] = {
        // the definition that counts is the first, here inside a list item
        {"- [r]: r\\_1.png\n\n[r]: r\\_1.png\n\n![e][r]\n", {7}},
        // two images with one address, the second in a table row the parser reports no text before
        {"| a |\n|---|\n| ![t](a\\(1\\).png) |\n![](a\\(1\\).png)\n", {19, 37}},
        // an image inside an image's description is alt text, never shown: only the outer one counts
        {"![x ![b](<y z.png>)](a\\(1\\).png)", {21}},
        {"![ [l](x.png)](a\\(1\\).png)", {15}},
        // an empty description after a definition
        {"[r]: <r 2.png>\n![](a\\_b.png)\n", {19}},
    };
    for (const Case& c : cases) {
        const MarkdownReferences found = find_markdown_references(c.text);
        std::vector<std::size_t> offsets;
        for (const NoteReference& reference : found.found)
            offsets.push_back(reference.offset);
        EXPECT_EQ(offsets, c.offsets) << c.text;
        EXPECT_TRUE(found.unplaced.empty()) << c.text;
    }
}

// Random notes made of the forms above and of stray marks: each found place, rewritten to an address that needs
// escaping, is found again, and nothing else becomes or stops being a picture.
TEST(MarkdownReferences, RewritingEveryPlaceOfARandomNoteFindsTheSamePicturesAgain) {
    const char* pieces[] = {
        "![a](x.png)",
        "![b](<y z.png> \"t\")",
        "![c](a\\_b.png)",
        "![d](a&amp;b.png 't')",
        "![e][r]",
        "[r]: r\\_1.png\n",
        "[r]: <r 2.png>\n",
        "`![f](c.png)`",
        "\n```\n![g](d.png)\n```\n",
        "\n    ![h](i.png)\n",
        "<img src=\"h.png\">",
        "<img\nsrc='k.png'>",
        "> ",
        "- ",
        "\n",
        "\r\n",
        " ",
        "text ",
        "**",
        "*",
        "[",
        "]",
        "(",
        ")",
        "<!-- ",
        " -->",
        "![",
        "](",
        "\\",
        "&amp;",
        "猫",
        "![*x* y](z\\(1\\).png)",
        "| a |\n|---|\n| ![t](t.png) |\n",
        "[l](x.png)",
        "<https://h.example/p.png>",
    };
    const std::string address = "https://n.example/a b(1)<&>.png";
    std::mt19937 random(20261207);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (int count = static_cast<int>(random() % 12); count > 0; --count)
            text += pieces[random() % std::size(pieces)];
        const MarkdownReferences found = find_markdown_references(text);
        ASSERT_TRUE(found.unplaced.empty()) << text;
        std::string rewritten;
        std::size_t done = 0;
        for (const NoteReference& reference : found.found) {
            ASSERT_GE(reference.offset, done) << text;
            ASSERT_LE(reference.offset + reference.length, text.size()) << text;
            rewritten += text.substr(done, reference.offset - done);
            rewritten += written_address(address, reference.form, reference.quote);
            done = reference.offset + reference.length;
        }
        rewritten += text.substr(done);
        const MarkdownReferences again = find_markdown_references(rewritten);
        ASSERT_EQ(again.found.size(), found.found.size()) << text << "\n->\n" << rewritten;
        ASSERT_TRUE(again.unplaced.empty()) << rewritten;
        for (const NoteReference& reference : again.found)
            ASSERT_NE(reference.target.find("https://n.example/a"), std::string::npos) << rewritten;
    }
}

TEST(MarkdownReferences, CarriageReturnLineEndsKeepTheOffsetsExact) {
    const std::string text = "a\r\n\r\n![x](a\\_b.png \"t\")\r\n![y][r]\r\n\r\n[r]: <r\\_2.png>\r\n";
    EXPECT_EQ(described(text), (Refs{"a\\_b.png|a_b.png", "<r\\_2.png>|r_2.png"}));
}

TEST(MarkdownReferences, WithLinksTheDestinationsOfLinksAndAnchorsCountAsWell) {
    EXPECT_EQ(described("[a](x.png) <https://h/p.png> ![i](i.png) <a href=\"y\">t</a> `[c](c.png)`", true),
              (Refs{"x.png|x.png", "https://h/p.png|https://h/p.png", "i.png|i.png", "\"y\"|y"}));
    EXPECT_EQ(described("see https://h.example/p.png here", true),
              (Refs{"https://h.example/p.png|https://h.example/p.png"}));
}

TEST(DestinationText, AnAddressWrittenIntoAReferenceReadsBackTheSame) {
    const std::string addresses[] = {
        "https://h/raw/master/0cc175b9c0f1b6a831c399e269772661.png",
        "https://h/with space (1).png",
        "https://h/a<b>c\\d&amp;e\"f'g.png",
        "https://h/猫.png?x=1&y=2",
    };
    for (const std::string& address : addresses) {
        const std::string bare = written_address(address, ReferenceForm::markdown_destination, 0);
        const std::string angle = written_address(address, ReferenceForm::angle_destination, 0);
        const std::string quoted = written_address(address, ReferenceForm::html_attribute, '"');
        const std::string single = written_address(address, ReferenceForm::html_attribute, '\'');
        const std::string unquoted = written_address(address, ReferenceForm::html_attribute, 0);
        const std::string note = "![a](" + bare + " \"t\")\n![b](<" + angle + ">)\n<img src=\"" + quoted +
                                 "\">\n<img src='" + single + "'>\n<img src=" + unquoted + ">\n";
        const MarkdownReferences found = find_markdown_references(note);
        ASSERT_EQ(found.found.size(), 5u) << note;
        // A bare destination cannot hold a blank: it reads as the same address percent-encoded.
        std::string bare_target;
        for (const char c : address)
            bare_target += c == ' ' ? std::string("%20") : std::string(1, c);
        EXPECT_EQ(found.found[0].target, bare_target) << note;
        for (std::size_t i = 1; i < found.found.size(); ++i)
            EXPECT_EQ(found.found[i].target, address) << note;
    }
}

TEST(DestinationText, CharacterReferencesAndPercentEscapesDecode) {
    EXPECT_EQ(decode_character_references("a&amp;b&#x732B;&#29483;&lt;&bogus;&#0;"), "a&b猫猫<&bogus;\xEF\xBF\xBD");
    EXPECT_EQ(percent_decode("%E7%8C%AB%20%zz%4"), "猫 %zz%4");
}

} // namespace
} // namespace velpic
