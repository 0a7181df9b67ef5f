#include "settings/link_text.h"

#include "runtime/percent_encoding.h"

namespace velpic {

namespace {

bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

// An address never holds blanks or control bytes; in a Markdown destination parentheses, angle brackets and the
// backslash would end or change it as well. Percent-encoded, the address still names the same file.
std::string markdown_address(std::string_view address) {
    return percent_encode_where(address, [](unsigned char c) {
        return c == ' ' || is_control(c) || c == '(' || c == ')' || c == '<' || c == '>' || c == '\\';
    });
}

// A line break would end the paragraph that holds the image; brackets, the backslash, a backtick (a code span hides
// the closing bracket) and angle brackets (raw HTML) are escaped, the way CommonMark escapes any punctuation.
std::string markdown_name(std::string_view name) {
    std::string out;
    for (unsigned char c : name) {
        if (is_control(c)) {
            out += ' ';
            continue;
        }
        if (c == '\\' || c == '[' || c == ']' || c == '`' || c == '<' || c == '>' || c == '*' || c == '_')
            out += '\\';
        out += static_cast<char>(c);
    }
    return out;
}

std::string html_attribute(std::string_view text, bool address) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            if (address && (c == ' ' || is_control(c)))
                append_percent_escape(out, c);
            else if (is_control(c))
                out += ' ';
            else
                out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace

std::string link_text(LinkFormat format, std::string_view address, std::string_view name) {
    switch (format) {
    case LinkFormat::markdown:
        return "![" + markdown_name(name) + "](" + markdown_address(address) + ")";
    case LinkFormat::html:
        return "<img src=\"" + html_attribute(address, true) + "\" alt=\"" + html_attribute(name, false) + "\">";
    case LinkFormat::url:
        break;
    }
    return std::string(address);
}

std::string link_name(const std::filesystem::path& file) {
    const std::u8string stem = file.filename().u8string();
    std::string name(stem.begin(), stem.end());
    // The extension is what follows the last "." of the name, as for the upload; a name that is all extension
    // (".png") keeps it.
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name;
}

} // namespace velpic
