// md4c reports a destination as resolved text, not as a place in the input. When it needed no resolving (no
// backslash escape, no character reference) md4c hands out a pointer into the input itself, and its offset is
// exact. Otherwise the place is looked for in the text from where the parser was when it reported the image:
// the "](" after the image's description, or else the definition of its label (read as md4c reads definitions and
// matches labels) whose destination reads the same. Every reference found is then written back once with its own
// address and the note parsed again, so that none is rewritten whose new bytes would change the rest of the note.
#include "notes/markdown_references.h"

#include "notes/destination_text.h"
#include "notes/html_tags.h"
#include "runtime/percent_encoding.h"

#include <md4c.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace velpic {

namespace {

using Range = std::pair<std::size_t, std::size_t>;

struct Placement {
    std::size_t begin = std::string_view::npos;
    std::size_t end = 0;
    bool angle = false;
};

// Case folding of link labels as md4c does it, Unicode's simple and full folding: ranges whose code points fold by
// one distance (step 1), or of alternating capital and small letters where every other one folds to the next (step
// 2), and the letters that fold to two or three (German sharp s to "ss", the Greek ones with iota below).
struct FoldRange {
    char32_t first;
    char32_t last;
    std::int32_t delta;
    std::uint8_t step;
};

constexpr FoldRange kFoldRanges[] = {
    {0x00B5, 0x00B5, 775, 1}, {0x00C0, 0x00D6, 32, 1}, {0x00D8, 0x00DE, 32, 1}, {0x0100, 0x012E, 1, 2},
    {0x0132, 0x0136, 1, 2}, {0x0139, 0x0147, 1, 2}, {0x014A, 0x0176, 1, 2}, {0x0178, 0x0178, -121, 1},
    {0x0179, 0x017D, 1, 2}, {0x017F, 0x017F, -268, 1}, {0x0181, 0x0181, 210, 1}, {0x0182, 0x0184, 1, 2},
    {0x0186, 0x0186, 206, 1}, {0x0187, 0x0187, 1, 1}, {0x0189, 0x018A, 205, 1}, {0x018B, 0x018B, 1, 1},
    {0x018E, 0x018E, 79, 1}, {0x018F, 0x018F, 202, 1}, {0x0190, 0x0190, 203, 1}, {0x0191, 0x0191, 1, 1},
    {0x0193, 0x0193, 205, 1}, {0x0194, 0x0194, 207, 1}, {0x0196, 0x0196, 211, 1}, {0x0197, 0x0197, 209, 1},
    {0x0198, 0x0198, 1, 1}, {0x019C, 0x019C, 211, 1}, {0x019D, 0x019D, 213, 1}, {0x019F, 0x019F, 214, 1},
    {0x01A0, 0x01A4, 1, 2}, {0x01A6, 0x01A6, 218, 1}, {0x01A7, 0x01A7, 1, 1}, {0x01A9, 0x01A9, 218, 1},
    {0x01AC, 0x01AC, 1, 1}, {0x01AE, 0x01AE, 218, 1}, {0x01AF, 0x01AF, 1, 1}, {0x01B1, 0x01B2, 217, 1},
    {0x01B3, 0x01B5, 1, 2}, {0x01B7, 0x01B7, 219, 1}, {0x01B8, 0x01B8, 1, 1}, {0x01BC, 0x01BC, 1, 1},
    {0x01C4, 0x01C4, 2, 1}, {0x01C5, 0x01C5, 1, 1}, {0x01C7, 0x01C7, 2, 1}, {0x01C8, 0x01C8, 1, 1},
    {0x01CA, 0x01CA, 2, 1}, {0x01CB, 0x01DB, 1, 2}, {0x01DE, 0x01EE, 1, 2}, {0x01F1, 0x01F1, 2, 1},
    {0x01F2, 0x01F4, 1, 2}, {0x01F6, 0x01F6, -97, 1}, {0x01F7, 0x01F7, -56, 1}, {0x01F8, 0x021E, 1, 2},
    {0x0220, 0x0220, -130, 1}, {0x0222, 0x0232, 1, 2}, {0x023A, 0x023A, 10795, 1}, {0x023B, 0x023B, 1, 1},
    {0x023D, 0x023D, -163, 1}, {0x023E, 0x023E, 10792, 1}, {0x0241, 0x0241, 1, 1}, {0x0243, 0x0243, -195, 1},
    {0x0244, 0x0244, 69, 1}, {0x0245, 0x0245, 71, 1}, {0x0246, 0x024E, 1, 2}, {0x0345, 0x0345, 116, 1},
    {0x0370, 0x0372, 1, 2}, {0x0376, 0x0376, 1, 1}, {0x037F, 0x037F, 116, 1}, {0x0386, 0x0386, 38, 1},
    {0x0388, 0x038A, 37, 1}, {0x038C, 0x038C, 64, 1}, {0x038E, 0x038F, 63, 1}, {0x0391, 0x03A1, 32, 1},
    {0x03A3, 0x03AB, 32, 1}, {0x03C2, 0x03C2, 1, 1}, {0x03CF, 0x03CF, 8, 1}, {0x03D0, 0x03D0, -30, 1},
    {0x03D1, 0x03D1, -25, 1}, {0x03D5, 0x03D5, -15, 1}, {0x03D6, 0x03D6, -22, 1}, {0x03D8, 0x03EE, 1, 2},
    {0x03F0, 0x03F0, -54, 1}, {0x03F1, 0x03F1, -48, 1}, {0x03F4, 0x03F4, -60, 1}, {0x03F5, 0x03F5, -64, 1},
    {0x03F7, 0x03F7, 1, 1}, {0x03F9, 0x03F9, -7, 1}, {0x03FA, 0x03FA, 1, 1}, {0x03FD, 0x03FF, -130, 1},
    {0x0400, 0x040F, 80, 1}, {0x0410, 0x042F, 32, 1}, {0x0460, 0x0480, 1, 2}, {0x048A, 0x04BE, 1, 2},
    {0x04C0, 0x04C0, 15, 1}, {0x04C1, 0x04CD, 1, 2}, {0x04D0, 0x052E, 1, 2}, {0x0531, 0x0556, 48, 1},
    {0x10A0, 0x10C5, 7264, 1}, {0x10C7, 0x10C7, 7264, 1}, {0x10CD, 0x10CD, 7264, 1}, {0x13F8, 0x13FD, -8, 1},
    {0x1C80, 0x1C80, -6222, 1}, {0x1C81, 0x1C81, -6221, 1}, {0x1C82, 0x1C82, -6212, 1}, {0x1C83, 0x1C84, -6210, 1},
    {0x1C85, 0x1C85, -6211, 1}, {0x1C86, 0x1C86, -6204, 1}, {0x1C87, 0x1C87, -6180, 1}, {0x1C88, 0x1C88, 35267, 1},
    {0x1C90, 0x1CBA, -3008, 1}, {0x1CBD, 0x1CBF, -3008, 1}, {0x1E00, 0x1E94, 1, 2}, {0x1E9B, 0x1E9B, -58, 1},
    {0x1EA0, 0x1EFE, 1, 2}, {0x1F08, 0x1F0F, -8, 1}, {0x1F18, 0x1F1D, -8, 1}, {0x1F28, 0x1F2F, -8, 1},
    {0x1F38, 0x1F3F, -8, 1}, {0x1F48, 0x1F4D, -8, 1}, {0x1F59, 0x1F5F, -8, 2}, {0x1F68, 0x1F6F, -8, 1},
    {0x1FB8, 0x1FB9, -8, 1}, {0x1FBA, 0x1FBB, -74, 1}, {0x1FBE, 0x1FBE, -7173, 1}, {0x1FC8, 0x1FCB, -86, 1},
    {0x1FD8, 0x1FD9, -8, 1}, {0x1FDA, 0x1FDB, -100, 1}, {0x1FE8, 0x1FE9, -8, 1}, {0x1FEA, 0x1FEB, -112, 1},
    {0x1FEC, 0x1FEC, -7, 1}, {0x1FF8, 0x1FF9, -128, 1}, {0x1FFA, 0x1FFB, -126, 1}, {0x2126, 0x2126, -7517, 1},
    {0x212A, 0x212A, -8383, 1}, {0x212B, 0x212B, -8262, 1}, {0x2132, 0x2132, 28, 1}, {0x2160, 0x216F, 16, 1},
    {0x2183, 0x2183, 1, 1}, {0x24B6, 0x24CF, 26, 1}, {0x2C00, 0x2C2F, 48, 1}, {0x2C60, 0x2C60, 1, 1},
    {0x2C62, 0x2C62, -10743, 1}, {0x2C63, 0x2C63, -3814, 1}, {0x2C64, 0x2C64, -10727, 1}, {0x2C67, 0x2C6B, 1, 2},
    {0x2C6D, 0x2C6D, -10780, 1}, {0x2C6E, 0x2C6E, -10749, 1}, {0x2C6F, 0x2C6F, -10783, 1},
    {0x2C70, 0x2C70, -10782, 1}, {0x2C72, 0x2C72, 1, 1}, {0x2C75, 0x2C75, 1, 1}, {0x2C7E, 0x2C7F, -10815, 1},
    {0x2C80, 0x2CE2, 1, 2}, {0x2CEB, 0x2CED, 1, 2}, {0x2CF2, 0x2CF2, 1, 1}, {0xA640, 0xA66C, 1, 2},
    {0xA680, 0xA69A, 1, 2}, {0xA722, 0xA72E, 1, 2}, {0xA732, 0xA76E, 1, 2}, {0xA779, 0xA77B, 1, 2},
    {0xA77D, 0xA77D, -35332, 1}, {0xA77E, 0xA786, 1, 2}, {0xA78B, 0xA78B, 1, 1}, {0xA78D, 0xA78D, -42280, 1},
    {0xA790, 0xA792, 1, 2}, {0xA796, 0xA7A8, 1, 2}, {0xA7AA, 0xA7AA, -42308, 1}, {0xA7AB, 0xA7AB, -42319, 1},
    {0xA7AC, 0xA7AC, -42315, 1}, {0xA7AD, 0xA7AD, -42305, 1}, {0xA7AE, 0xA7AE, -42308, 1},
    {0xA7B0, 0xA7B0, -42258, 1}, {0xA7B1, 0xA7B1, -42282, 1}, {0xA7B2, 0xA7B2, -42261, 1}, {0xA7B3, 0xA7B3, 928, 1},
    {0xA7B4, 0xA7C2, 1, 2}, {0xA7C4, 0xA7C4, -48, 1}, {0xA7C5, 0xA7C5, -42307, 1}, {0xA7C6, 0xA7C6, -35384, 1},
    {0xA7C7, 0xA7C9, 1, 2}, {0xA7D0, 0xA7D0, 1, 1}, {0xA7D6, 0xA7D8, 1, 2}, {0xA7F5, 0xA7F5, 1, 1},
    {0xAB70, 0xABBF, -38864, 1}, {0xFF21, 0xFF3A, 32, 1}, {0x10400, 0x10427, 40, 1}, {0x104B0, 0x104D3, 40, 1},
    {0x10570, 0x1057A, 39, 1}, {0x1057C, 0x1058A, 39, 1}, {0x1058C, 0x10592, 39, 1}, {0x10594, 0x10595, 39, 1},
    {0x10C80, 0x10CB2, 64, 1}, {0x118A0, 0x118BF, 32, 1}, {0x16E40, 0x16E5F, 32, 1}, {0x1E900, 0x1E921, 34, 1}
};

struct FoldMany {
    char32_t code;
    char32_t folded[3];
};

constexpr FoldMany kFoldMany[] = {
    {0x00DF, {0x0073, 0x0073}}, {0x0130, {0x0069, 0x0307}}, {0x0149, {0x02BC, 0x006E}}, {0x01F0, {0x006A, 0x030C}},
    {0x0390, {0x03B9, 0x0308, 0x0301}}, {0x03B0, {0x03C5, 0x0308, 0x0301}}, {0x0587, {0x0565, 0x0582}},
    {0x1E96, {0x0068, 0x0331}}, {0x1E97, {0x0074, 0x0308}}, {0x1E98, {0x0077, 0x030A}}, {0x1E99, {0x0079, 0x030A}},
    {0x1E9A, {0x0061, 0x02BE}}, {0x1E9E, {0x0073, 0x0073}}, {0x1F50, {0x03C5, 0x0313}},
    {0x1F52, {0x03C5, 0x0313, 0x0300}}, {0x1F54, {0x03C5, 0x0313, 0x0301}}, {0x1F56, {0x03C5, 0x0313, 0x0342}},
    {0x1F80, {0x1F00, 0x03B9}}, {0x1F81, {0x1F01, 0x03B9}}, {0x1F82, {0x1F02, 0x03B9}}, {0x1F83, {0x1F03, 0x03B9}},
    {0x1F84, {0x1F04, 0x03B9}}, {0x1F85, {0x1F05, 0x03B9}}, {0x1F86, {0x1F06, 0x03B9}}, {0x1F87, {0x1F07, 0x03B9}},
    {0x1F88, {0x1F00, 0x03B9}}, {0x1F89, {0x1F01, 0x03B9}}, {0x1F8A, {0x1F02, 0x03B9}}, {0x1F8B, {0x1F03, 0x03B9}},
    {0x1F8C, {0x1F04, 0x03B9}}, {0x1F8D, {0x1F05, 0x03B9}}, {0x1F8E, {0x1F06, 0x03B9}}, {0x1F8F, {0x1F07, 0x03B9}},
    {0x1F90, {0x1F20, 0x03B9}}, {0x1F91, {0x1F21, 0x03B9}}, {0x1F92, {0x1F22, 0x03B9}}, {0x1F93, {0x1F23, 0x03B9}},
    {0x1F94, {0x1F24, 0x03B9}}, {0x1F95, {0x1F25, 0x03B9}}, {0x1F96, {0x1F26, 0x03B9}}, {0x1F97, {0x1F27, 0x03B9}},
    {0x1F98, {0x1F20, 0x03B9}}, {0x1F99, {0x1F21, 0x03B9}}, {0x1F9A, {0x1F22, 0x03B9}}, {0x1F9B, {0x1F23, 0x03B9}},
    {0x1F9C, {0x1F24, 0x03B9}}, {0x1F9D, {0x1F25, 0x03B9}}, {0x1F9E, {0x1F26, 0x03B9}}, {0x1F9F, {0x1F27, 0x03B9}},
    {0x1FA0, {0x1F60, 0x03B9}}, {0x1FA1, {0x1F61, 0x03B9}}, {0x1FA2, {0x1F62, 0x03B9}}, {0x1FA3, {0x1F63, 0x03B9}},
    {0x1FA4, {0x1F64, 0x03B9}}, {0x1FA5, {0x1F65, 0x03B9}}, {0x1FA6, {0x1F66, 0x03B9}}, {0x1FA7, {0x1F67, 0x03B9}},
    {0x1FA8, {0x1F60, 0x03B9}}, {0x1FA9, {0x1F61, 0x03B9}}, {0x1FAA, {0x1F62, 0x03B9}}, {0x1FAB, {0x1F63, 0x03B9}},
    {0x1FAC, {0x1F64, 0x03B9}}, {0x1FAD, {0x1F65, 0x03B9}}, {0x1FAE, {0x1F66, 0x03B9}}, {0x1FAF, {0x1F67, 0x03B9}},
    {0x1FB2, {0x1F70, 0x03B9}}, {0x1FB3, {0x03B1, 0x03B9}}, {0x1FB4, {0x03AC, 0x03B9}}, {0x1FB6, {0x03B1, 0x0342}},
    {0x1FB7, {0x03B1, 0x0342, 0x03B9}}, {0x1FBC, {0x03B1, 0x03B9}}, {0x1FC2, {0x1F74, 0x03B9}},
    {0x1FC3, {0x03B7, 0x03B9}}, {0x1FC4, {0x03AE, 0x03B9}}, {0x1FC6, {0x03B7, 0x0342}},
    {0x1FC7, {0x03B7, 0x0342, 0x03B9}}, {0x1FCC, {0x03B7, 0x03B9}}, {0x1FD2, {0x03B9, 0x0308, 0x0300}},
    {0x1FD3, {0x03B9, 0x0308, 0x0301}}, {0x1FD6, {0x03B9, 0x0342}}, {0x1FD7, {0x03B9, 0x0308, 0x0342}},
    {0x1FE2, {0x03C5, 0x0308, 0x0300}}, {0x1FE3, {0x03C5, 0x0308, 0x0301}}, {0x1FE4, {0x03C1, 0x0313}},
    {0x1FE6, {0x03C5, 0x0342}}, {0x1FE7, {0x03C5, 0x0308, 0x0342}}, {0x1FF2, {0x1F7C, 0x03B9}},
    {0x1FF3, {0x03C9, 0x03B9}}, {0x1FF4, {0x03CE, 0x03B9}}, {0x1FF6, {0x03C9, 0x0342}},
    {0x1FF7, {0x03C9, 0x0342, 0x03B9}}, {0x1FFC, {0x03C9, 0x03B9}}, {0xFB00, {0x0066, 0x0066}},
    {0xFB01, {0x0066, 0x0069}}, {0xFB02, {0x0066, 0x006C}}, {0xFB03, {0x0066, 0x0066, 0x0069}},
    {0xFB04, {0x0066, 0x0066, 0x006C}}, {0xFB05, {0x0073, 0x0074}}, {0xFB06, {0x0073, 0x0074}},
    {0xFB13, {0x0574, 0x0576}}, {0xFB14, {0x0574, 0x0565}}, {0xFB15, {0x0574, 0x056B}}, {0xFB16, {0x057E, 0x0576}},
    {0xFB17, {0x0574, 0x056D}}
};

void append_folded(std::u32string& key, char32_t code) {
    if (code < 0x80) {
        key += code >= 'A' && code <= 'Z' ? code - 'A' + 'a' : code;
        return;
    }
    const auto many = std::lower_bound(std::begin(kFoldMany), std::end(kFoldMany), code,
                                       [](const FoldMany& entry, char32_t wanted) { return entry.code < wanted; });
    if (many != std::end(kFoldMany) && many->code == code) {
        for (const char32_t folded : many->folded)
            if (folded != 0)
                key += folded;
        return;
    }
    const auto range = std::upper_bound(std::begin(kFoldRanges), std::end(kFoldRanges), code,
                                        [](char32_t wanted, const FoldRange& entry) { return wanted < entry.first; });
    if (range != std::begin(kFoldRanges)) {
        const FoldRange& entry = *std::prev(range);
        if (code <= entry.last && (code - entry.first) % entry.step == 0) {
            key += static_cast<char32_t>(static_cast<std::int32_t>(code) + entry.delta);
            return;
        }
    }
    key += code;
}

// The code point of the UTF-8 sequence at text[i] and its length; a byte that starts no whole sequence stands for
// itself, kept apart from every code point as md4c keeps it.
char32_t decode_utf8(std::string_view text, std::size_t i, std::size_t& length) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const auto tail = [&](std::size_t k) { return i + k < text.size() && (byte(k) & 0xC0) == 0x80; };
    const unsigned char lead = byte(0);
    length = 1;
    if (lead < 0x80)
        return lead;
    if ((lead & 0xE0) == 0xC0 && tail(1)) {
        length = 2;
        return (char32_t(lead & 0x1F) << 6) | (byte(1) & 0x3F);
    }
    if ((lead & 0xF0) == 0xE0 && tail(1) && tail(2)) {
        length = 3;
        return (char32_t(lead & 0x0F) << 12) | (char32_t(byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    }
    if ((lead & 0xF8) == 0xF0 && tail(1) && tail(2) && tail(3)) {
        length = 4;
        return (char32_t(lead & 0x07) << 18) | (char32_t(byte(1) & 0x3F) << 12) | (char32_t(byte(2) & 0x3F) << 6) |
               (byte(3) & 0x3F);
    }
    return 0xFFFFFF00u | lead;
}

// The blanks md4c skips between the parts of links and definitions.
bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

bool is_line_end(char c) {
    return c == '\n' || c == '\r';
}

// The blanks of labels: ASCII white space and Unicode's space separators.
bool is_label_blank(char32_t code) {
    return code == ' ' || (code >= '\t' && code <= '\r') || code == 0xA0 || code == 0x1680 ||
           (code >= 0x2000 && code <= 0x200A) || code == 0x202F || code == 0x205F || code == 0x3000;
}

// A link label as labels are matched: blanks at either end dropped and within collapsed to one, letters folded.
std::u32string label_key(std::string_view label) {
    std::u32string key;
    bool blank = false;
    for (std::size_t i = 0; i < label.size();) {
        std::size_t length = 1;
        const char32_t code = decode_utf8(label, i, length);
        i += length;
        if (is_label_blank(code)) {
            blank = !key.empty();
            continue;
        }
        if (blank)
            key += U' ';
        blank = false;
        append_folded(key, code);
    }
    return key;
}

class Walker {
public:
    // nested: a footnote's body parsed on its own, whose own footnotes are not looked into again.
    Walker(std::string_view text, bool with_links, bool nested = false)
        : storage_(padded(text)), text_(storage_.data(), text.size()), with_links_(with_links), nested_(nested) {}

    MarkdownReferences run() {
        MD_PARSER parser{};
        parser.abi_version = 0;
        // Tables and strikethrough as GitHub writes them, so pictures in tables are found; bare web addresses
        // become links, so that relinking finds them in running text.
        parser.flags = MD_FLAG_TABLES | MD_FLAG_STRIKETHROUGH | MD_FLAG_TASKLISTS | MD_FLAG_PERMISSIVEURLAUTOLINKS |
                       MD_FLAG_PERMISSIVEEMAILAUTOLINKS | MD_FLAG_PERMISSIVEWWWAUTOLINKS;
        parser.enter_block = [](MD_BLOCKTYPE, void*, void* self) { return static_cast<Walker*>(self)->boundary(); };
        parser.leave_block = [](MD_BLOCKTYPE, void*, void* self) { return static_cast<Walker*>(self)->boundary(); };
        parser.enter_span = [](MD_SPANTYPE type, void* detail, void* self) {
            return static_cast<Walker*>(self)->enter_span(type, detail);
        };
        parser.leave_span = [](MD_SPANTYPE type, void*, void* self) {
            return static_cast<Walker*>(self)->leave_span(type);
        };
        parser.text = [](MD_TEXTTYPE type, const MD_CHAR* data, MD_SIZE size, void* self) {
            return static_cast<Walker*>(self)->on_text(type, data, size);
        };
        if (md_parse(text_.data(), static_cast<MD_SIZE>(text_.size()), &parser, this) != 0) {
            MarkdownReferences failed;
            failed.parsed = false;
            return failed;
        }
        boundary();
        std::sort(reported_.begin(), reported_.end());
        for (const auto& [begin, end] : reported_)
            reported_reach_.push_back(std::max(end, reported_reach_.empty() ? 0 : reported_reach_.back()));
        // Placed only now that every code range is known: a definition may come after the image, inside code.
        // The spans are in the order they ended, inner before outer, so an outer one's search steps over the
        // inner destinations placed before it.
        for (const auto& [span, cursor] : pending_) {
            const Placement placement = place(span, cursor);
            if (!span.shown) {
                if (placement.begin != std::string_view::npos)
                    claimed_.emplace(placement.begin, placement.end);
                continue;
            }
            if (placement.begin == std::string_view::npos) {
                NoteReference lost;
                lost.offset = std::max(span.cursor_at_enter, cursor); // within or just before the image
                lost.placed = false;
                lost.image = span.image;
                lost.target = decode_character_references(span.resolved);
                result_.unplaced.push_back(std::move(lost));
            } else
                add(placement.begin, placement.end, span);
        }
        std::stable_sort(result_.found.begin(), result_.found.end(),
                         [](const NoteReference& a, const NoteReference& b) { return a.offset < b.offset; });
        // The same definition reached by two images, or an autolink reported twice, is one place.
        add_embeds();
        if (!nested_) {
            add_footnote_bodies();
            add_front_matter();
        }
        std::stable_sort(result_.found.begin(), result_.found.end(),
                         [](const NoteReference& a, const NoteReference& b) { return a.offset < b.offset; });
        // One place is one reference: the same definition reached twice, and never two overlapping ranges (a
        // rewrite of both would write the bytes between them twice).
        std::vector<NoteReference> kept;
        kept.reserve(result_.found.size());
        for (NoteReference& reference : result_.found) {
            if (!kept.empty() && reference.offset < kept.back().offset + std::max<std::size_t>(kept.back().length, 1))
                continue;
            kept.push_back(std::move(reference));
        }
        result_.found = std::move(kept);
        return std::move(result_);
    }

private:
    // md4c reads a byte or so past the end of some notes (one ending in "[](", say): it is given a copy with zero
    // bytes after the note, so what it reads there is always the same and always there.
    static std::string padded(std::string_view text) {
        std::string copy;
        copy.reserve(text.size() + kPadding);
        copy.append(text);
        copy.append(kPadding, '\0');
        return copy;
    }

    struct OpenSpan {
        std::string resolved; // md4c's text of the destination: escapes removed, references still raw
        bool image = true;
        std::size_t cursor_at_enter = 0;
        bool placed = false;
        bool wanted = true; // a link while links are not looked for is only followed, for where it ends
        std::size_t inline_end = std::string_view::npos; // end of its destination when written inline, "](dest"
        bool shown = true; // false inside an image's description (alt text shows no picture) or a script
        // The stretch of the input its text came from, while it came in one piece: an autolink's own bytes.
        std::size_t text_begin = std::string_view::npos;
        std::size_t text_end = 0;
        bool text_whole = true;
    };

    // The offset of [data, data + size) in the text, or npos when md4c made the bytes itself.
    std::size_t offset_of(const MD_CHAR* data, std::size_t size) const {
        const auto begin = reinterpret_cast<std::uintptr_t>(text_.data());
        const auto at = reinterpret_cast<std::uintptr_t>(data);
        if (data == nullptr || at < begin || at + size > begin + text_.size())
            return std::string_view::npos;
        return static_cast<std::size_t>(at - begin);
    }

    // Whether the destination at offset follows "(" (blanks, one line end and "<" aside), as inline ones do.
    bool is_inline_destination(std::size_t offset) const {
        std::size_t i = offset;
        if (i > 0 && text_[i - 1] == '<')
            --i;
        while (i > 0 && (is_blank(text_[i - 1]) || is_line_end(text_[i - 1])))
            --i;
        return i > 0 && text_[i - 1] == '(';
    }

    bool in_code(std::size_t offset) const {
        auto after = std::upper_bound(code_.begin(), code_.end(), Range{offset, std::string_view::npos});
        return after != code_.begin() && offset < std::prev(after)->second;
    }

    // The raw HTML seen since the last boundary (a block's lines, or one inline tag over several lines).
    int boundary() {
        if (html_begin_ != std::string_view::npos)
            find_html_references(text_, html_begin_, html_end_, with_links_, result_.found, &raw_element_);
        html_begin_ = std::string_view::npos;
        return 0;
    }

    int on_text(MD_TEXTTYPE type, const MD_CHAR* data, MD_SIZE size) {
        const std::size_t offset = offset_of(data, size);
        if (offset != std::string_view::npos && size > 0) {
            reported_.emplace_back(offset, offset + size);
            cursor_ = std::max(cursor_, offset + size);
        }
        if (type == MD_TEXT_HTML) {
            // The line ends between the lines of a block are md4c's own bytes: they do not end the HTML.
            if (offset != std::string_view::npos) {
                if (html_begin_ == std::string_view::npos)
                    html_begin_ = offset;
                html_end_ = offset + size;
            }
            return 0;
        }
        boundary();
        if (!open_.empty()) {
            OpenSpan& span = open_.back();
            if (offset == std::string_view::npos || (span.text_begin != std::string_view::npos && offset != span.text_end))
                span.text_whole = false;
            else {
                if (span.text_begin == std::string_view::npos)
                    span.text_begin = offset;
                span.text_end = offset + size;
            }
        }
        if (offset == std::string_view::npos)
            return 0;
        if (type == MD_TEXT_NORMAL && open_.empty() && raw_element_.empty() && size > 0) {
            if (!runs_.empty() && runs_.back().second == offset)
                runs_.back().second = offset + size;
            else
                runs_.emplace_back(offset, offset + size);
        }
        if (autolink_check_ != kNone) {
            NoteReference& link = result_.found[autolink_check_];
            if (link.offset == offset) {
                link.form = ReferenceForm::plain_text;
                // In a table row md4c lets a bare address run on past the cell's "|"; its text stops where the
                // address shown does.
                if (size < link.length)
                    link.length = size;
                link.target.assign(text_.substr(link.offset, link.length));
                if (has_control_byte(link.target)) {
                    leave_unplaced(std::move(link));
                    result_.found.erase(result_.found.begin() + static_cast<std::ptrdiff_t>(autolink_check_));
                }
            }
            autolink_check_ = kNone;
        }
        if (type == MD_TEXT_CODE && size > 0)
            code_.emplace_back(offset, offset + size);
        if (type == MD_TEXT_NORMAL && with_links_ && open_.empty() && size > 0)
            result_.prose.emplace_back(offset, offset + size);
        cursor_ = std::max(cursor_, offset + size);
        return 0;
    }

    int enter_span(MD_SPANTYPE type, void* detail) {
        boundary();
        const MD_ATTRIBUTE* attribute = nullptr;
        if (type == MD_SPAN_IMG)
            attribute = &static_cast<MD_SPAN_IMG_DETAIL*>(detail)->src;
        else if (type == MD_SPAN_A)
            attribute = &static_cast<MD_SPAN_A_DETAIL*>(detail)->href;
        if (attribute == nullptr)
            return 0;
        // An image in another image's description is alt text, not shown; so is anything inside a script.
        const bool hidden = !raw_element_.empty() ||
                            std::any_of(open_.begin(), open_.end(), [](const OpenSpan& open) { return open.image; });
        if ((type == MD_SPAN_A && !with_links_) || hidden) {
            // Not wanted, but where it ends still tells where a span around it continues.
            OpenSpan link;
            link.wanted = false;
            link.shown = false;
            link.image = type == MD_SPAN_IMG;
            link.resolved.assign(attribute->text, attribute->size);
            link.cursor_at_enter = cursor_;
            link.placed = attribute->size == 0;
            const std::size_t offset = offset_of(attribute->text, attribute->size);
            if (offset != std::string_view::npos && attribute->size > 0) {
                link.placed = true;
                claimed_.emplace(offset, offset + attribute->size);
                if (is_inline_destination(offset))
                    link.inline_end = offset + attribute->size;
            }
            open_.push_back(std::move(link));
            return 0;
        }
        OpenSpan span;
        span.image = type == MD_SPAN_IMG;
        span.resolved.assign(attribute->text, attribute->size);
        span.cursor_at_enter = cursor_;
        if (!span.resolved.empty()) {
            const std::size_t offset = offset_of(attribute->text, attribute->size);
            if (offset != std::string_view::npos) {
                add(offset, offset + attribute->size, span);
                span.placed = true;
                if (is_inline_destination(offset))
                    span.inline_end = offset + attribute->size;
                // An autolink's text is its address, the very same bytes: written there, escapes do not apply.
                if (!span.image)
                    autolink_check_ = result_.found.size() - 1;
            }
        } else {
            span.placed = true; // nothing to rewrite in an empty destination
        }
        open_.push_back(std::move(span));
        return 0;
    }

    int leave_span(MD_SPANTYPE type) {
        boundary();
        autolink_check_ = kNone;
        if (type != MD_SPAN_IMG && type != MD_SPAN_A)
            return 0;
        if (open_.empty())
            return 0;
        OpenSpan span = std::move(open_.back());
        open_.pop_back();
        // A span nested in an image's description ends before the image's own "](": searching for that starts
        // after the nested destination, not at the nested "](".
        if (span.inline_end != std::string_view::npos)
            cursor_ = std::max(cursor_, span.inline_end);
        if (!span.placed && !span.image && span.shown && is_autolink_text(span)) {
            // An autolink md4c copied (an escape or entity in it, or a scheme it added): its bytes are its text.
            NoteReference reference;
            reference.offset = span.text_begin;
            reference.length = span.text_end - span.text_begin;
            reference.form = ReferenceForm::plain_text;
            reference.image = false;
            // Taken literally, without the "mailto:" or "http://" md4c puts before a bare one: what is written
            // there is read back the same.
            reference.target = std::string(text_.substr(reference.offset, reference.length));
            claimed_.emplace(reference.offset, reference.offset + reference.length);
            if (has_control_byte(reference.target))
                leave_unplaced(std::move(reference));
            else
                result_.found.push_back(std::move(reference));
            return 0;
        }
        if (!span.placed)
            pending_.emplace_back(std::move(span), cursor_);
        return 0;
    }

    // A bare address md4c let run over a control byte is written back with that byte percent-encoded, and what
    // the byte kept from being a link (a "[](" before the address) would be one then: it is named, not rewritten.
    static bool has_control_byte(std::string_view address) {
        return std::any_of(address.begin(), address.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        });
    }

    void leave_unplaced(NoteReference reference) {
        reference.placed = false;
        reference.length = 0;
        result_.unplaced.push_back(std::move(reference));
    }

    // Whether an embed at i written as "![alt](address)" would change what stands before it: right after a "]" the
    // new image's brackets end a shortcut reference there (md4c reads "[r]![a]" as no link to r), and after the
    // "]:" of a would-be definition (blanks and one line ending aside) it would become that definition's
    // destination.
    bool embed_changes_before(std::size_t i) const {
        if (i > 0 && text_[i - 1] == ']')
            return true;
        while (i > 0 && is_blank(text_[i - 1]))
            --i;
        if (i > 0 && is_line_end(text_[i - 1])) {
            i -= i > 1 && text_.compare(i - 2, 2, "\r\n") == 0 ? 2 : 1;
            while (i > 0 && is_blank(text_[i - 1]))
                --i;
        }
        return i >= 2 && text_[i - 1] == ':' && text_[i - 2] == ']';
    }

    // Obsidian's embeds, "![[name]]" or "![[name|size]]", in running text: Markdown has no such syntax, so the
    // parser hands them over as text, and only the text it reported outside code, links and HTML is looked into.
    void add_embeds() {
        for (const auto& [begin, end] : runs_) {
            const std::string_view run = text_.substr(begin, end - begin);
            for (std::size_t at = run.find("![["); at != std::string_view::npos; at = run.find("![[", at + 1)) {
                const std::size_t close = run.find("]]", at + 3);
                if (close == std::string_view::npos)
                    break;
                const std::string_view inner = run.substr(at + 3, close - at - 3);
                std::size_t backslashes = 0;
                while (begin + at > backslashes && text_[begin + at - backslashes - 1] == '\\')
                    ++backslashes;
                if (backslashes % 2 == 1)
                    continue; // "\![[" is a "!" and a wiki link, no embed
                if (inner.empty() || inner.find_first_of("[]\n\r") != std::string_view::npos)
                    continue;
                const std::size_t bar = inner.find('|');
                const std::string_view name = inner.substr(0, bar);
                const std::string_view size = bar == std::string_view::npos ? std::string_view() : inner.substr(bar + 1);
                if (name.empty() || name.front() == '#')
                    continue; // a block of this note, no file
                std::string_view stem = name.substr(0, name.find('#'));
                stem.remove_prefix(stem.find_last_of('/') == std::string_view::npos ? 0 : stem.find_last_of('/') + 1);
                stem = stem.substr(0, stem.find_last_of('.'));
                NoteReference reference;
                reference.offset = begin + at;
                reference.length = close + 2 - at;
                reference.form = ReferenceForm::obsidian_embed;
                reference.target = std::string(name);
                reference.embed_alt = std::string(stem);
                // Obsidian's width ("200" or "200x100") is kept where Obsidian reads it in the standard form.
                if (!size.empty() && size.find_first_not_of("0123456789x") == std::string_view::npos)
                    (reference.embed_alt += '|') += size;
                if (embed_changes_before(reference.offset))
                    leave_unplaced(std::move(reference));
                else
                    result_.found.push_back(std::move(reference));
                at = close;
            }
        }
    }

    // The picture keys of YAML front matter, which blog themes show as a cover: the "---" block that opens the
    // note, read line by line for its top-level keys (the parser takes it for a rule and a heading).
    void add_front_matter() {
        std::size_t line = text_.starts_with("\xEF\xBB\xBF") ? 3 : 0;
        auto line_end = [&](std::size_t at) {
            const std::size_t end = text_.find('\n', at);
            return end == std::string_view::npos ? text_.size() : end;
        };
        auto content = [&](std::size_t at) {
            std::string_view row = text_.substr(at, line_end(at) - at);
            if (row.ends_with('\r'))
                row.remove_suffix(1);
            return row;
        };
        if (content(line) != "---")
            return;
        std::vector<NoteReference> values;
        for (line = line_end(line) + 1; line < text_.size() && line < 65536; line = line_end(line) + 1) {
            const std::string_view row = content(line);
            if (row == "---" || row == "...") {
                for (NoteReference& value : values)
                    result_.found.push_back(std::move(value));
                return;
            }
            const std::size_t colon = row.find(':');
            if (colon == std::string_view::npos)
                continue;
            const std::string_view key = row.substr(0, colon);
            if (key != "cover" && key != "thumbnail" && key != "image" && key != "featured_image" && key != "banner")
                continue;
            std::size_t begin = colon + 1;
            while (begin < row.size() && (row[begin] == ' ' || row[begin] == '\t'))
                ++begin;
            std::size_t end = row.size();
            while (end > begin && (row[end - 1] == ' ' || row[end - 1] == '\t'))
                --end;
            if (end > begin + 1 && (row[begin] == '"' || row[begin] == '\'') && row[end - 1] == row[begin]) {
                ++begin;
                --end;
            } else if (row.substr(begin, end - begin).find(" #") != std::string_view::npos) {
                end = begin + row.substr(begin, end - begin).find(" #"); // a comment after the value
            }
            const std::string_view value = row.substr(begin, end - begin);
            if (value.empty() || value.find_first_of("\"'\\") != std::string_view::npos)
                continue; // escapes of YAML's own: not read here
            NoteReference reference;
            reference.offset = line + begin;
            reference.length = value.size();
            reference.form = ReferenceForm::yaml_value;
            reference.target = std::string(value);
            values.push_back(std::move(reference));
        }
    }

    // GFM footnotes: md4c knows none, so a footnote's indented continuation paragraphs read as indented code to
    // it. Each definition's indented lines are parsed again on their own, their indentation taken off, and what
    // is found there is mapped back to the note's bytes.
    void add_footnote_bodies() {
        std::size_t line = 0;
        while (line < text_.size()) {
            std::size_t next = text_.find('\n', line);
            next = next == std::string_view::npos ? text_.size() : next + 1;
            std::size_t i = line;
            while (i < next && i - line < 3 && text_[i] == ' ')
                ++i;
            const bool starts = text_.compare(i, 2, "[^") == 0 && !in_code(i) && [&] {
                const std::size_t close = text_.find(']', i + 2);
                return close != std::string_view::npos && close < next && close > i + 2 && close + 1 < next &&
                       text_[close + 1] == ':';
            }();
            line = next;
            if (!starts)
                continue;
            std::string body;
            std::vector<std::size_t> origin;
            while (line < text_.size()) {
                std::size_t end = text_.find('\n', line);
                end = end == std::string_view::npos ? text_.size() : end + 1;
                std::size_t content = line;
                while (content < end && (text_[content] == ' ' || text_[content] == '\t'))
                    ++content;
                const bool blank = content >= end || text_[content] == '\n' || text_[content] == '\r';
                std::size_t from = line;
                if (!blank) {
                    if (text_[line] == '\t')
                        from = line + 1;
                    else if (text_.compare(line, 4, "    ") == 0)
                        from = line + 4;
                    else
                        break;
                }
                for (std::size_t k = from; k < end; ++k) {
                    body += text_[k];
                    origin.push_back(k);
                }
                line = end;
            }
            if (body.find_first_not_of(" \t\r\n") == std::string::npos)
                continue;
            MarkdownReferences inner = Walker(body, with_links_, true).run();
            auto mapped = [&](NoteReference& reference) {
                if (reference.offset >= origin.size())
                    return false;
                const std::size_t begin = origin[reference.offset];
                if (reference.length > 0) {
                    const std::size_t last = reference.offset + reference.length - 1;
                    if (last >= origin.size() || origin[last] - begin != reference.length - 1)
                        return false;
                }
                reference.offset = begin;
                // Only what md4c took for code is new; elsewhere the note's own parse is the one that counts.
                return in_code(begin);
            };
            for (NoteReference& reference : inner.found)
                if (mapped(reference))
                    result_.found.push_back(std::move(reference));
            for (NoteReference& reference : inner.unplaced)
                if (mapped(reference))
                    result_.unplaced.push_back(std::move(reference));
        }
    }

    // Whether the link's text is the very bytes of an autolink: "<address>", or a bare address that md4c made a
    // link of (its address is the text, perhaps with "http://" or "mailto:" before it).
    bool is_autolink_text(const OpenSpan& span) const {
        if (!span.text_whole || span.text_begin == std::string_view::npos || span.text_begin == 0 ||
            span.text_end >= text_.size())
            return false;
        const std::string_view raw = text_.substr(span.text_begin, span.text_end - span.text_begin);
        if (text_[span.text_begin - 1] == '<' && text_[span.text_end] == '>')
            return raw.find_first_of(" \t\r\n<>") == std::string_view::npos;
        return text_[span.text_begin - 1] != '[' && text_[span.text_end] != ']' &&
               (span.resolved == raw || span.resolved == "http://" + std::string(raw) ||
                span.resolved == "mailto:" + std::string(raw));
    }

    void add(std::size_t begin, std::size_t end, const OpenSpan& span) {
        NoteReference reference;
        reference.offset = begin;
        reference.length = end - begin;
        const bool angle = begin > 0 && text_[begin - 1] == '<' && end < text_.size() && text_[end] == '>';
        reference.form = angle ? ReferenceForm::angle_destination : ReferenceForm::markdown_destination;
        reference.image = span.image;
        claimed_.emplace(begin, end);
        reference.target = decode_markdown_destination(text_.substr(begin, end - begin));
        // A control byte or line ending (md4c lets "<" at a line's end and an address on the next be one
        // autolink) is written back percent-encoded, and the note then reads otherwise: named, not rewritten.
        if (has_control_byte(text_.substr(begin, end - begin)))
            leave_unplaced(std::move(reference));
        else
            result_.found.push_back(std::move(reference));
    }

    // A link destination starting at i (after "(" or "]:" and blanks): "<...>" or bare with balanced parentheses.
    Placement destination_at(std::size_t i) const {
        Placement placement;
        if (i >= text_.size())
            return placement;
        if (text_[i] == '<') {
            for (std::size_t j = i + 1; j < text_.size(); ++j) {
                const char c = text_[j];
                if (c == '\\' && j + 1 < text_.size()) {
                    ++j;
                } else if (c == '>') {
                    placement = {i + 1, j, true};
                    return placement;
                } else if (c == '<' || c == '\n' || c == '\r') {
                    return placement;
                }
            }
            return placement;
        }
        int depth = 0;
        std::size_t j = i;
        for (; j < text_.size(); ++j) {
            const auto c = static_cast<unsigned char>(text_[j]);
            if (c == '\\' && j + 1 < text_.size() && text_[j + 1] != '\n' && text_[j + 1] != '\r') {
                ++j;
                continue;
            }
            if (c <= 0x20 || c == 0x7F)
                break;
            if (c == '(')
                ++depth;
            if (c == ')' && depth-- == 0)
                break;
        }
        if (j > i)
            placement = {i, j, false};
        return placement;
    }

    std::size_t skip_blanks(std::size_t i, bool one_line_end) const {
        while (i < text_.size() && is_blank(text_[i]))
            ++i;
        if (one_line_end && i < text_.size() && is_line_end(text_[i])) {
            i += text_.compare(i, 2, "\r\n") == 0 ? 2 : 1;
            while (i < text_.size() && (is_blank(text_[i]) || text_[i] == '>'))
                ++i;
        }
        return i;
    }

    // The start of the line after the one that holds i ("\n", "\r\n" and "\r" end lines), or the text's end.
    std::size_t next_line(std::size_t i) const {
        while (i < text_.size() && !is_line_end(text_[i]))
            ++i;
        if (i < text_.size())
            i += text_.compare(i, 2, "\r\n") == 0 ? 2 : 1;
        return i;
    }

    // Whether the line starting at i holds nothing but blanks and quote marks: it ends a paragraph, and with it
    // any label or title still open.
    bool blank_line_at(std::size_t i) const {
        while (i < text_.size() && (is_blank(text_[i]) || text_[i] == '>'))
            ++i;
        return i >= text_.size() || is_line_end(text_[i]);
    }

    bool escaped(std::size_t i) const {
        std::size_t backslashes = 0;
        while (i > backslashes && text_[i - backslashes - 1] == '\\')
            ++backslashes;
        return backslashes % 2 == 1;
    }

    // Whether md4c reported any byte of [begin, end) as text of some kind (reference definitions it reports not).
    bool is_reported(std::size_t begin, std::size_t end) const {
        const auto after = std::lower_bound(reported_.begin(), reported_.end(), Range{end, 0});
        if (after == reported_.begin() || end <= begin)
            return false;
        return reported_reach_[static_cast<std::size_t>(after - reported_.begin()) - 1] > begin;
    }

    // Where a line's content starts after the marks of the blocks it is in: indentation, ">" of quotes, and the
    // bullets ("-", "*", "+") and numbers ("1.", "2)") of list items, however nested.
    std::size_t after_container_marks(std::size_t i) const {
        while (i < text_.size()) {
            const char c = text_[i];
            if (c == ' ' || c == '\t' || c == '>') {
                ++i;
                continue;
            }
            std::size_t j = i;
            if (c == '-' || c == '*' || c == '+') {
                ++j;
            } else {
                while (j < text_.size() && j - i < 9 && text_[j] >= '0' && text_[j] <= '9')
                    ++j;
                if (j == i || j >= text_.size() || (text_[j] != '.' && text_[j] != ')'))
                    return i;
                ++j;
            }
            if (j >= text_.size() || (text_[j] != ' ' && text_[j] != '\t'))
                return i;
            i = j;
        }
        return i;
    }

    bool reads_as(const Placement& placement, const std::string& resolved) const {
        return placement.begin != std::string_view::npos && !in_code(placement.begin) &&
               remove_backslash_escapes(text_.substr(placement.begin, placement.end - placement.begin)) == resolved;
    }

    // cursor: where the parser was when the span ended, i.e. after the last text of its description.
    Placement place(const OpenSpan& span, std::size_t cursor) const {
        // An inline destination: the first "]" after the description, then "(". Without text of its own in the
        // description the parser is still before the image, and the reference definitions that may stand between
        // (it reports nothing of them) are stepped over.
        const bool before = cursor <= span.cursor_at_enter;
        std::size_t close = std::string_view::npos;
        for (std::size_t i = std::max(cursor, span.cursor_at_enter); i < text_.size(); ++i) {
            if (const Definition* definition = before ? definition_around(i) : nullptr) {
                i = definition->end;
                continue;
            }
            if (text_[i] == '\\') {
                ++i;
                continue;
            }
            if (text_[i] != ']')
                continue;
            if (i + 1 < text_.size() && text_[i + 1] == '(') {
                const std::size_t at = skip_blanks(i + 2, true);
                const Placement placement = destination_at(at);
                // A destination placed already belongs to an image or link inside this span's description, or
                // to an earlier one the parser was no further than: the search goes on past it. So does an empty
                // one, "()" or "(<>)": this span's destination is not empty.
                if (placement.begin != std::string_view::npos && claimed_.count(placement.begin) != 0) {
                    i = placement.end;
                    continue;
                }
                if (placement.begin == std::string_view::npos && at < text_.size() && text_[at] == ')') {
                    i = at;
                    continue;
                }
                if (placement.angle && placement.begin == placement.end) {
                    i = placement.end;
                    continue;
                }
                if (reads_as(placement, span.resolved))
                    return placement;
            }
            close = i;
            break;
        }
        if (!span.shown)
            return {};
        // A reference: the definition of the label after the description ("[text][label]"), else of the
        // description itself ("[text][]", "[text]"). md4c takes a label's first definition; when that does not
        // read the same, none is reported rather than another guessed.
        if (close != std::string_view::npos) {
            std::vector<std::u32string> keys;
            if (const auto label = label_after(close); label && !label_key(*label).empty())
                keys.push_back(label_key(*label));
            keys.push_back(label_key(description_before(close, span.cursor_at_enter)));
            bool told = false;
            for (const std::u32string& key : keys) {
                if (key.empty())
                    continue;
                told = true;
                const auto first = std::find_if(definitions().begin(), definitions().end(),
                                                [&](const Definition& definition) { return definition.key == key; });
                if (first != definitions().end())
                    return reads_as(first->destination, span.resolved) ? first->destination : Placement{};
            }
            if (told)
                return {};
        }
        // No label to be read: the one definition whose destination reads the same, if only one does.
        Placement only;
        for (const Definition& definition : definitions()) {
            if (!reads_as(definition.destination, span.resolved))
                continue;
            if (only.begin != std::string_view::npos)
                return {};
            only = definition.destination;
        }
        return only;
    }

    // The label in brackets right after the "]" that ends a description: empty for "[]", none when no label follows.
    // md4c reads a "!" between them as nothing: "[t]![r]" is the link to r with the text t.
    std::optional<std::string_view> label_after(std::size_t close) const {
        if (text_.compare(close + 1, 2, "![") == 0)
            ++close;
        if (close + 1 >= text_.size() || text_[close + 1] != '[')
            return std::nullopt;
        for (std::size_t j = close + 2; j < text_.size() && j - close <= 1000; ++j) {
            const char c = text_[j];
            if (c == '\\') {
                ++j;
            } else if (c == '[') {
                return std::nullopt;
            } else if (c == ']') {
                return text_.substr(close + 2, j - close - 2);
            } else if (is_line_end(c) && blank_line_at(next_line(j))) {
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    // The description that ends at close, from its "[": the label of "[text][]" and "[text]".
    std::string_view description_before(std::size_t close, std::size_t floor) const {
        int depth = 0;
        for (std::size_t j = close; j > floor && close - j < 1000; --j) {
            const char c = text_[j - 1];
            if (escaped(j - 1))
                continue;
            if (c == ']')
                ++depth;
            else if (c == '[' && depth-- == 0)
                return text_.substr(j, close - j);
        }
        return {};
    }

    // A reference definition: "[label]:", its destination on that line or the next, and a title perhaps.
    struct Definition {
        std::u32string key;
        std::size_t begin = 0;     // its "["
        std::size_t label_end = 0; // its "]"
        std::size_t end = 0;       // the end of its last line (before the line ending)
        Placement destination;
    };

    // The end of the line of a title that starts at i and after which the line holds only blanks, or npos.
    std::size_t title_end(std::size_t i) const {
        if (i >= text_.size() || (text_[i] != '"' && text_[i] != '\'' && text_[i] != '('))
            return std::string_view::npos;
        const char open = text_[i];
        const char close = open == '(' ? ')' : open;
        for (std::size_t j = i + 1; j < text_.size(); ++j) {
            const char c = text_[j];
            if (c == '\\') {
                ++j;
            } else if (c == close) {
                const std::size_t end = skip_blanks(j + 1, false);
                return end >= text_.size() || is_line_end(text_[end]) ? end : std::string_view::npos;
            } else if (open == '(' && c == '(') {
                return std::string_view::npos;
            } else if (is_line_end(c) && blank_line_at(next_line(j))) {
                return std::string_view::npos;
            }
        }
        return std::string_view::npos;
    }

    // The definition whose "[" is at i, read as CommonMark reads one: a label of at most 999 characters, not
    // blank, without brackets or a blank line; ":"; the destination after blanks and at most one line ending;
    // then a title after blanks, or the line's end (a title on the next line is the definition's too).
    std::optional<Definition> definition_at(std::size_t i) const {
        std::size_t j = i + 1;
        bool filled = false;
        for (; j < text_.size() && text_[j] != ']'; ++j) {
            const char c = text_[j];
            if (c == '[' || j - i > 999)
                return std::nullopt;
            if (is_line_end(c)) {
                if (blank_line_at(next_line(j)))
                    return std::nullopt;
                continue;
            }
            filled = filled || !is_blank(c);
            if (c == '\\')
                ++j;
        }
        if (!filled || j + 1 >= text_.size() || text_[j + 1] != ':')
            return std::nullopt;
        Definition definition;
        definition.key = label_key(text_.substr(i + 1, j - i - 1));
        definition.begin = i;
        definition.label_end = j;
        definition.destination = destination_at(skip_blanks(j + 2, true));
        if (definition.destination.begin == std::string_view::npos)
            return std::nullopt;
        const std::size_t after = definition.destination.end + (definition.destination.angle ? 1 : 0);
        const std::size_t end = skip_blanks(after, false);
        if (end >= text_.size() || is_line_end(text_[end])) {
            const std::size_t next = skip_blanks(end, true);
            const std::size_t title = next > end ? title_end(next) : std::string_view::npos;
            definition.end = title != std::string_view::npos ? title : end;
            return definition;
        }
        definition.end = end > after ? title_end(end) : std::string_view::npos;
        if (definition.end == std::string_view::npos)
            return std::nullopt;
        return definition;
    }

    // Every reference definition md4c took for one, in text order, found once per note: read at the start of each
    // line (after the marks of quotes and lists), and kept when md4c reported none of its label and destination
    // as text, as it reports nothing of a definition.
    const std::vector<Definition>& definitions() const {
        if (definitions_read_)
            return definitions_;
        definitions_read_ = true;
        for (std::size_t line = 0; line < text_.size();) {
            const std::size_t i = after_container_marks(line);
            std::optional<Definition> definition;
            if (i < text_.size() && text_[i] == '[')
                definition = definition_at(i);
            if (definition && !is_reported(definition->begin, definition->label_end + 1) &&
                !is_reported(definition->destination.begin, definition->destination.end)) {
                line = next_line(definition->end);
                definitions_.push_back(std::move(*definition));
            } else {
                line = next_line(line);
            }
        }
        return definitions_;
    }

    // The definition whose bytes hold i, if any.
    const Definition* definition_around(std::size_t i) const {
        const auto after = std::upper_bound(definitions().begin(), definitions().end(), i,
                                            [](std::size_t at, const Definition& definition) { return at < definition.begin; });
        if (after == definitions().begin() || i >= std::prev(after)->end)
            return nullptr;
        return &*std::prev(after);
    }

    static constexpr std::size_t kPadding = 16;
    std::string storage_;
    std::string_view text_;
    bool with_links_;
    MarkdownReferences result_;
    std::vector<Range> code_; // in text order
    std::vector<Range> reported_; // every stretch md4c reported as text of any kind, sorted once the parse is done
    std::vector<std::size_t> reported_reach_; // the furthest end among reported_[0..k]
    std::vector<OpenSpan> open_;
    std::map<std::size_t, std::size_t> claimed_;            // the destinations found so far: begin -> end
    mutable std::vector<Definition> definitions_;
    mutable bool definitions_read_ = false;
    bool nested_ = false;
    std::string raw_element_;                                // the script or style element open in the HTML
    std::vector<Range> runs_;                                // running text outside spans, in text order
    std::vector<std::pair<OpenSpan, std::size_t>> pending_; // spans to place after the parse, with their cursor
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t autolink_check_ = kNone; // the link just entered, until its first text tells whether it is an autolink
    std::size_t cursor_ = 0;             // end of the furthest text md4c reported from the input
    std::size_t html_begin_ = std::string_view::npos;
    std::size_t html_end_ = 0;
};

} // namespace

namespace {

// The note with the given references written anew, each with its own address, in the form it stands in.
std::string written_back(std::string_view text, const std::vector<const NoteReference*>& references) {
    std::string out;
    std::size_t done = 0;
    for (const NoteReference* reference : references) {
        out.append(text.substr(done, reference->offset - done));
        out += written_reference(*reference, reference->target);
        done = reference->offset + reference->length;
    }
    out.append(text.substr(done));
    return out;
}

// Whether a parse finds the same addresses as found, in the same order (compared percent-decoded: a backtick or a
// bar is written percent-encoded).
bool same_addresses(const MarkdownReferences& parsed, const std::vector<NoteReference>& found) {
    if (!parsed.parsed || parsed.found.size() != found.size())
        return false;
    for (std::size_t i = 0; i < found.size(); ++i)
        if (percent_decode(parsed.found[i].target) != percent_decode(found[i].target))
            return false;
    return true;
}

} // namespace

// A reference is rewritten only where writing its own address back leaves the note meaning what it meant: an
// escape or a percent-encoding takes away a byte that kept something else from being Markdown (a control byte
// that ended a would-be definition, a backtick that kept a line from opening a code fence, a ">" that closed an
// angle destination early), and then other references come or go. The note is parsed again with every address
// written back; where that finds other addresses, each reference is tried on its own, and those that change the
// note are named and left alone (all of them when the rest still do not read back). One left alone is taken
// back when it reads back beside all that are kept: a second look at the note so written, once the others are
// rewritten, decides the same.
MarkdownReferences find_markdown_references(std::string_view text, bool with_links) {
    MarkdownReferences result = Walker(text, with_links).run();
    const std::size_t count = result.found.size();
    if (!result.parsed || count == 0)
        return result;
    auto reads_back = [&](const std::vector<bool>& rewrite) {
        std::vector<const NoteReference*> chosen;
        for (std::size_t i = 0; i < count; ++i)
            if (rewrite[i])
                chosen.push_back(&result.found[i]);
        const std::string written = written_back(text, chosen);
        // The same bytes read the same: only a note whose references are written in another form is parsed again.
        return written == text || same_addresses(Walker(written, with_links).run(), result.found);
    };
    std::vector<bool> kept(count, true);
    if (reads_back(kept))
        return result;
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<bool> alone(count, false);
        alone[i] = true;
        kept[i] = reads_back(alone);
    }
    if (!reads_back(kept))
        kept.assign(count, false);
    // Bounded: a note of many references that all change it is not tried over and over.
    std::size_t tries = 4 * count + 64;
    for (bool taken = true; taken && tries > 0;) {
        taken = false;
        for (std::size_t i = 0; i < count && tries > 0; ++i) {
            if (kept[i])
                continue;
            kept[i] = true;
            --tries;
            if (reads_back(kept))
                taken = true;
            else
                kept[i] = false;
        }
    }
    std::vector<NoteReference> found;
    for (std::size_t i = 0; i < count; ++i) {
        NoteReference& reference = result.found[i];
        if (kept[i]) {
            found.push_back(std::move(reference));
            continue;
        }
        reference.placed = false;
        reference.length = 0;
        result.unplaced.push_back(std::move(reference));
    }
    std::stable_sort(result.unplaced.begin(), result.unplaced.end(),
                     [](const NoteReference& a, const NoteReference& b) { return a.offset < b.offset; });
    result.found = std::move(found);
    return result;
}

} // namespace velpic
