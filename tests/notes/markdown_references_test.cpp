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

// The forms people write with their editors, and what is shown but not a picture of the note.
TEST(MarkdownReferences, EmbedsSrcsetFootnotesFrontMatterAndWhatIsNotShown) {
    struct Case {
        const char* text;
        Refs expected;
        bool with_links = false;
    };
    const Case cases[] = {
        // Obsidian embeds: the whole embed is the place, the name the target; code and links are not looked into
        {"x ![[Pasted image 2024.png]] y", {"![[Pasted image 2024.png]]|Pasted image 2024.png"}},
        {"![[embed.png|200]] ![[sub/dir/a.png#center]]",
         {"![[embed.png|200]]|embed.png", "![[sub/dir/a.png#center]]|sub/dir/a.png#center"}},
        {"`![[c.png]]`\n\n    ![[d.png]]\n", {}},
        // srcset of img and of a picture's source, each candidate at its bytes, descriptors left
        {"<img src=\"a.png\" srcset=\"a.png 1x, b%20c.png 2x,d.png\">",
         {"\"a.png\"|a.png", "a.png|a.png", "b%20c.png|b%20c.png", "d.png|d.png"}},
        {"<picture><source media=\"(prefers-color-scheme: dark)\" srcset=\"images/dark.png\"></picture>",
         {"images/dark.png|images/dark.png"}},
        // a footnote's indented continuation paragraph is a paragraph, its code still code
        {"a[^1]\n\n[^1]: first\n\n    ![again](images/f.png)\n\n        ![code](c.png)\n",
         {"images/f.png|images/f.png"}},
        // front matter picture keys, quotes kept outside the place
        {"---\ntitle: t\ncover: images/c.png\nthumbnail: 't.png'\nbanner: \"b.png\"\nother: o.png\n---\n",
         {"images/c.png|images/c.png", "t.png|t.png", "b.png|b.png"}},
        {"text\n\n---\ncover: c.png\n---\n", {}},
        // a Windows path and a query stay as written
        {"![w](images\\win.png) ![q](featured.png?width=600#center)",
         {"images\\win.png|images\\win.png", "featured.png?width=600#center|featured.png?width=600#center"}},
        // script and style contents are text, in blocks and inline; what follows them counts again
        {"<script>\nvar s = '<img src=\"images/code.png\">'\n</script>\n\n<img src=\"after.png\">\n",
         {"\"after.png\"|after.png"}},
        {"<style>\n.a { } </style><img src=\"x.png\">\n\nText <script>f('<img src=\"y.png\">')</script> ![r](r.png)\n",
         {"\"x.png\"|x.png", "r.png|r.png"}},
        // an image in another image's alt text is not shown
        {"![a ![nested](c.jpg) b](a.png)", {"a.png|a.png"}},
        // links to pictures, by every form, when links count
        {"[![thumb](images/s.webp)](images/s.webp) [open](assets/a.png)\n\n[linkonly]: images/ref.png\n[x][linkonly]\n",
         {"images/s.webp|images/s.webp", "images/s.webp|images/s.webp", "assets/a.png|assets/a.png",
          "images/ref.png|images/ref.png"},
         true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(described(c.text, c.with_links), c.expected) << c.text;
}

// Faults that fuzzing found: each input placed every destination at its own bytes, once.
TEST(MarkdownReferences, EscapedDestinationsAutolinksAndAddressesAreEachPlacedOnce) {
    struct Case {
        const char* text;
        Refs expected;
        bool with_links = false;
    };
    const Case cases[] = {
        // two definitions with the same escaped destination: each image at its own label's definition
        {"![i][a] ![j][b]\n\n[a]: x\\&y\n[b]: x\\&y\n", {"x\\&y|x&y", "x\\&y|x&y"}},
        {"![j][b]\n\n[a]: x\\&y\n[b]: x\\&y\n", {"x\\&y|x&y"}},
        {"![j][B  c]\n\n[b c]: x\\&y\n", {"x\\&y|x&y"}},
        // the outer destination of a badge, past the inner one
        {"[![b](x\\&y)](p\\&q)", {"x\\&y|x&y", "p\\&q|p&q"}, true},
        // autolinks that md4c copies are their own bytes, read literally
        {"<https://a.b/c\\_d> x", {"https://a.b/c\\_d|https://a.b/c\\_d"}, true},
        {"<https://a.b/c&amp;d>", {"https://a.b/c&amp;d|https://a.b/c&amp;d"}, true},
        {"[ https://a.b/c", {"https://a.b/c|https://a.b/c"}, true},
        // an e-mail autolink is placed at its text, never inside a later destination
        {"<me@example.com> ![x](mailto:me@example.com)",
         {"me@example.com|me@example.com", "mailto:me@example.com|mailto:me@example.com"},
         true},
        // a link right before "]:" ends at its own "]": the definition of its label is the one used
        {"R[r]:[b]\n\n[r]:\\(\\)", {"\\(\\)|()"}, true},
        {"[r]:\n\n[r]:[b]\\(\\)", {"[b]\\(\\)|[b]()"}, true},
        // labels over two lines, with a vertical tab, after a lone carriage return; "!" between text and label
        {"![i][r x]\n\n[r\nx]: a\\_b.png\n", {"a\\_b.png|a_b.png"}},
        {"![i][r\v]\n\n[r]: a\\_b.png\n", {"a\\_b.png|a_b.png"}},
        {"a\r![i][r]\r\r[r]: a\\_b.png\r", {"a\\_b.png|a_b.png"}},
        {"[t]![r]\n\n[r]: a\\_b.png\n", {"a\\_b.png|a_b.png"}, true},
        // a vertical tab before an inline destination; an empty destination inside the description
        {"[](\v\\>)", {"\\>|>"}, true},
        {"[![]()](\\(\\))", {"\\(\\)|()"}, true},
        // labels match as CommonMark folds them: Latin, German sharp s, Greek final sigma, Cyrillic
        {"![x][ä]\n\n[Ä]: a\\_b.png\n", {"a\\_b.png|a_b.png"}},
        {"![x][STRASSE]\n\n[Straße]: a\\_b.png\n", {"a\\_b.png|a_b.png"}},
        {"![x][ΟΔΟΣ]\n\n[οδος]: a\\_b.png\n", {"a\\_b.png|a_b.png"}},
        {"![x][Жук]\n\n[жУК]: a\\_b.png\n", {"a\\_b.png|a_b.png"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(described(c.text, c.with_links), c.expected) << c.text;
        EXPECT_TRUE(find_markdown_references(c.text, c.with_links).unplaced.empty()) << c.text;
    }
}

// Where writing a reference back would change what the rest of the note is, it is named and left alone: the
// byte that kept something from being Markdown would be escaped or encoded away.
TEST(MarkdownReferences, AReferenceWhoseRewriteWouldChangeTheNoteIsNamedAndLeft) {
    struct Case {
        const char* text;
        std::vector<std::string> unplaced;
        bool with_links = false;
    };
    const Case cases[] = {
        // an embed on a would-be definition's line, or right after a "]", would become or end one
        {"[1]:g![[a b/c.png]]\n", {"a b/c.png"}},
        {"[r]![[a.png]]\n\n[r]: r.png\n", {"a.png"}},
        // a control byte in an address kept a line from being a definition or a link
        {"[](ftp://h.a/b\x05)z", {"ftp://h.a/b\x05)z"}, true},
        {"[r]:![](<\x05.png>)", {"\x05.png"}},
        // a backtick kept the line from opening a code fence
        {"```![](`a.png)", {"`a.png"}},
        // a ">" ended an angle destination around the link early
        {"[](<[](>@)>)", {">@"}, true},
        // md4c takes a "<" at a line's end and an address on the next for one autolink, line ending and all
        {"i <\nimage:a.png>\n", {"\nimage:a.png"}, true},
    };
    for (const Case& c : cases) {
        const MarkdownReferences found = find_markdown_references(c.text, c.with_links);
        EXPECT_TRUE(found.found.empty()) << c.text;
        std::vector<std::string> unplaced;
        for (const NoteReference& reference : found.unplaced)
            unplaced.push_back(reference.target);
        EXPECT_EQ(unplaced, c.unplaced) << c.text;
    }
}

// A new address holding a backtick or a bar would make a code span or split a table cell around the picture.
TEST(DestinationText, BackticksAndBarsAreWrittenPercentEncodedInEveryForm) {
    for (const ReferenceForm form : {ReferenceForm::markdown_destination, ReferenceForm::angle_destination,
                                     ReferenceForm::html_attribute, ReferenceForm::plain_text,
                                     ReferenceForm::srcset_candidate, ReferenceForm::yaml_value})
        EXPECT_EQ(written_address("https://h/a`b|c.png", form, '"'), "https://h/a%60b%7Cc.png") << int(form);
    const std::string note = "`x ![a](" + written_address("h/a`b.png", ReferenceForm::markdown_destination, 0) +
                             ") y`\n\n| a |\n|---|\n| ![t](" +
                             written_address("h/t|u.png", ReferenceForm::markdown_destination, 0) + ") |\n";
    EXPECT_EQ(described(note), (Refs{"h/t%7Cu.png|h/t%7Cu.png"})); // the first stands in a code span of its own
    NoteReference embed;
    embed.form = ReferenceForm::obsidian_embed;
    embed.embed_alt = "a [1]|200";
    EXPECT_EQ(written_reference(embed, "https://h/a b.png"), "![a \\[1\\]|200](https://h/a%20b.png)");
}

// The finder skips writing a note back when every address is made of bytes that every form writes as they stand:
// no form may then write any of them otherwise.
TEST(DestinationText, BytesWrittenAlikeInEveryFormAreWrittenAsTheyStandInEachForm) {
    for (int byte = 0; byte < 256; ++byte) {
        const std::string address = "a" + std::string(1, static_cast<char>(byte)) + "b";
        if (!written_alike_in_every_form(address))
            continue;
        for (const ReferenceForm form : {ReferenceForm::markdown_destination, ReferenceForm::angle_destination,
                                         ReferenceForm::html_attribute, ReferenceForm::plain_text,
                                         ReferenceForm::srcset_candidate, ReferenceForm::yaml_value})
            for (const char quote : {'"', '\'', '\0'})
                EXPECT_EQ(written_address(address, form, quote), address) << byte << " " << int(form) << quote;
    }
    EXPECT_TRUE(written_alike_in_every_form("https://h/raw/0cc175b9.png?x;y#猫"));
    for (const char* address : {"a b.png", "a&b.png", "a?x=1", "a,b.png", "a(1).png"})
        EXPECT_FALSE(written_alike_in_every_form(address)) << address;
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
