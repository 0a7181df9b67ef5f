#include "notes/destination_text.h"

#include "runtime/percent_encoding.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace velpic {

namespace {

bool is_ascii_punctuation(unsigned char c) {
    return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
}

void append_utf8(std::string& out, std::uint32_t code) {
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        code = 0xFFFD;
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The character reference at text[0] ("&..."): its length and the code point, or 0 when it is none.
std::size_t character_reference(std::string_view text, std::uint32_t& code) {
    struct Named {
        std::string_view name;
        std::uint32_t code;
    };
    static constexpr Named named[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&nbsp;", 0xA0},
    };
    for (const Named& entry : named) {
        if (text.starts_with(entry.name)) {
            code = entry.code;
            return entry.name.size();
        }
    }
    if (!text.starts_with("&#"))
        return 0;
    const bool hex = text.size() > 2 && (text[2] == 'x' || text[2] == 'X');
    std::size_t i = hex ? 3 : 2;
    const std::size_t first = i;
    std::uint64_t value = 0;
    // At most 7 decimal or 6 hexadecimal digits, as in CommonMark.
    const std::size_t max_digits = hex ? 6 : 7;
    while (i < text.size() && i - first < max_digits) {
        const int digit = hex ? hex_digit_value(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (digit < 0)
            break;
        value = value * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
        ++i;
    }
    if (i == first || i >= text.size() || text[i] != ';')
        return 0;
    code = static_cast<std::uint32_t>(value);
    return i + 1;
}

} // namespace

std::string remove_backslash_escapes(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size() && is_ascii_punctuation(static_cast<unsigned char>(raw[i + 1])))
            ++i;
        out += raw[i];
    }
    return out;
}

std::string decode_markdown_destination(std::string_view raw) {
    // Most addresses: nothing escaped, nothing to decode (find_first_of would search its set for every byte).
    if (std::none_of(raw.begin(), raw.end(), [](char c) { return c == '\\' || c == '&'; }))
        return std::string(raw);
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size() && is_ascii_punctuation(static_cast<unsigned char>(raw[i + 1]))) {
            out += raw[++i];
            continue;
        }
        std::uint32_t code = 0;
        const std::size_t length = raw[i] == '&' ? character_reference(raw.substr(i), code) : 0;
        if (length == 0) {
            out += raw[i];
            continue;
        }
        append_utf8(out, code);
        i += length - 1;
    }
    return out;
}

std::string decode_character_references(std::string_view text) {
    if (text.find('&') == std::string_view::npos)
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t code = 0;
        const std::size_t length = text[i] == '&' ? character_reference(text.substr(i), code) : 0;
        if (length == 0) {
            out += text[i];
            continue;
        }
        append_utf8(out, code);
        i += length - 1;
    }
    return out;
}

namespace {

// The bytes that every form writes as they are: the addresses of most notes are made of these alone.
constexpr std::array<bool, 256> kSameInEveryForm = [] {
    std::array<bool, 256> same{};
    for (int c = 0x21; c < 0x7F; ++c)
        same[c] = true;
    for (const unsigned char c : std::string_view("`|()<>\\&\"',="))
        same[c] = false;
    for (int c = 0x80; c < 0x100; ++c)
        same[c] = true;
    return same;
}();

bool same_in_every_form(unsigned char c) {
    return kSameInEveryForm[c];
}

} // namespace

bool written_alike_in_every_form(std::string_view address) {
    return std::all_of(address.begin(), address.end(),
                       [](char c) { return same_in_every_form(static_cast<unsigned char>(c)); });
}

std::string written_address(std::string_view address, ReferenceForm form, char quote) {
    std::size_t plain = 0;
    while (plain < address.size() && same_in_every_form(static_cast<unsigned char>(address[plain])))
        ++plain;
    std::string out(address.substr(0, plain));
    if (plain == address.size())
        return out;
    out.reserve(address.size() + 16);
    for (const char ch : address.substr(plain)) {
        const auto c = static_cast<unsigned char>(ch);
        const bool control = c < 0x20 || c == 0x7F;
        // A backtick pairs with one earlier on the line into a code span that swallows the picture, and a bar splits
        // a table cell; percent-encoded, both mean the same to a web server.
        if (c == '`' || c == '|') {
            append_percent_escape(out, c);
            continue;
        }
        switch (form) {
        case ReferenceForm::plain_text:
            // Bare in running text: a blank or a bracket would end the address for whoever reads it next.
            if (control || c == ' ' || c == '<' || c == '>' || c == '"')
                append_percent_escape(out, c);
            else
                out += ch;
            break;
        case ReferenceForm::markdown_destination:
            if (control || c == ' ')
                append_percent_escape(out, c);
            else if (c == '(' || c == ')' || c == '<' || c == '>' || c == '\\' || c == '&')
                (out += '\\') += ch;
            else
                out += ch;
            break;
        case ReferenceForm::angle_destination:
            if (control)
                append_percent_escape(out, c);
            else if (c == '<' || c == '>' || c == '\\' || c == '&')
                (out += '\\') += ch;
            else
                out += ch;
            break;
        case ReferenceForm::obsidian_embed:
            break; // written by written_reference
        case ReferenceForm::yaml_value:
            // Blanks, quotes and backslashes would end or change a YAML scalar, quoted or not.
            if (control || c == ' ' || c == '"' || c == '\'' || c == '\\')
                append_percent_escape(out, c);
            else
                out += ch;
            break;
        case ReferenceForm::srcset_candidate:
        case ReferenceForm::html_attribute:
            if (control || (form == ReferenceForm::srcset_candidate && (c == ' ' || c == ',')))
                append_percent_escape(out, c);
            else if (quote == 0 && (c == ' ' || c == '`' || c == '='))
                (out += "&#") += std::to_string(c) + ";";
            else if (c == '&')
                out += "&amp;";
            else if (c == '"')
                out += "&quot;";
            else if (c == '\'')
                out += "&#39;";
            else if (c == '<')
                out += "&lt;";
            else if (c == '>')
                out += "&gt;";
            else
                out += ch;
            break;
        }
    }
    return out;
}

std::string written_reference(const NoteReference& reference, std::string_view address) {
    if (reference.form != ReferenceForm::obsidian_embed)
        return written_address(address, reference.form, reference.quote);
    std::string out = "![";
    for (const char c : reference.embed_alt) {
        if (c == '[' || c == ']' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "](" + written_address(address, ReferenceForm::markdown_destination, 0) + ")";
}

} // namespace velpic
