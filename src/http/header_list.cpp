#include "http/header_list.h"

#include "http/header_text.h"
#include "runtime/codepage.h"
#include "runtime/gbk_text.h"
#include "runtime/percent_encoding.h"

#include <algorithm>

namespace velpic {
namespace {

bool is_unreserved(unsigned char c) {
    return (c >= 0x27 && c <= 0x2A) || c == '-' || c == '.' || c == '_' || (c >= '0' && c <= '9') ||
           (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A suffix that begins on the trail byte of a double-byte character is not a real suffix of the text.
bool starts_on_character(std::string_view text, std::size_t offset) {
    std::size_t i = 0;
    while (i < offset)
        i += (is_gbk_lead_byte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ? 2 : 1;
    return i == offset;
}

} // namespace

std::string percent_encode(std::string_view text, bool keep_unreserved, bool as_utf8) {
    std::string utf8;
    if (as_utf8) {
        utf8 = to_utf8(text);
        text = utf8;
    }
    std::string out;
    out.reserve(text.size() * 3);
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == 0)
            continue;
        if (keep_unreserved && is_unreserved(c)) {
            out += ch;
        } else if (c == ' ') {
            out += '+';
        } else {
            append_percent_escape(out, c);
        }
    }
    return out;
}

void HeaderList::add(std::string_view name, std::string_view value, bool as_utf8) {
    if (as_utf8)
        entries_.emplace_back(to_utf8(name), to_utf8(value));
    else
        entries_.emplace_back(name, value);
}

void HeaderList::add_query(std::string_view query, bool as_utf8) {
    // Empty pieces between separators count too; like every split, an empty last piece is dropped.
    for (const std::string& piece : text_split(query, "&"))
        add(text_before(piece, "="), text_after_last(piece, "="), as_utf8);
}

std::string HeaderList::get(std::string_view name) const {
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.first == name; });
    return it == entries_.end() ? std::string() : it->second;
}

void HeaderList::set(std::string_view name, std::string_view value) {
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.first == name; });
    if (it == entries_.end())
        add(name, value);
    else
        it->second = value;
}

void HeaderList::remove(std::string_view name) {
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.first == name; });
    if (it != entries_.end())
        entries_.erase(it);
}

void HeaderList::clear() {
    entries_.clear();
}

std::string HeaderList::to_query(bool url_encode) const {
    std::string out;
    for (const auto& [name, value] : entries_) {
        if (!out.empty())
            out += '&';
        out += url_encode ? percent_encode(name) : name;
        out += '=';
        out += url_encode ? percent_encode(value) : value;
    }
    return out;
}

std::string HeaderList::to_header_text(bool url_encode) const {
    std::string out;
    for (const auto& [name, value] : entries_) {
        if (!out.empty())
            out += "\r\n";
        out += name;
        out += ": ";
        out += url_encode ? percent_encode(value) : value;
    }
    return out;
}

std::string HeaderList::to_json() const {
    std::string out = "{";
    for (const auto& [name, value] : entries_) {
        out += '"';
        out += name;
        out += "\":\"";
        out += escape_quotes(value);
        out += "\",";
    }
    out = trim_separator(out, ",");
    out += '}';
    return out;
}

void HeaderList::get_names(std::vector<std::string>& out) const {
    out.clear();
    for (const auto& entry : entries_)
        out.push_back(entry.first);
}

void HeaderList::get_values(std::vector<std::string>& out) const {
    out.clear();
    for (const auto& entry : entries_)
        out.push_back(entry.second);
}

std::string HeaderList::escape_quotes(std::string_view value) {
    // 0x22 is never a GBK trail byte, so a byte-wise scan cannot split a character.
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

std::string HeaderList::trim_separator(std::string_view text, std::string_view separator) {
    if (separator.empty())
        return std::string(text);
    if (text.ends_with(separator) && starts_on_character(text, text.size() - separator.size()))
        text.remove_suffix(separator.size());
    if (text.starts_with(separator))
        text.remove_prefix(separator.size());
    return std::string(text);
}

} // namespace velpic
