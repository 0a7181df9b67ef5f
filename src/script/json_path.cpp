#include "script/json_path.h"

#include "script/js_number.h"

#include <charconv>
#include <cstdint>
#include <utility>

namespace velpic::json_detail {
namespace {

bool is_identifier_start(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '$' || c >= 0x80;
}

bool is_identifier_part(unsigned char c) {
    return is_identifier_start(c) || (c >= '0' && c <= '9');
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Reads a member expression: identifier, then any run of ".name", "[number]" and "['key']" / ["key"].
// Nothing else is accepted, so a path can never run code.
class PathReader {
public:
    explicit PathReader(std::string_view text) : text_(text) {}

    std::optional<ParsedPath> read() {
        ParsedPath path;
        skip_space();
        if (!read_identifier(path.root))
            return std::nullopt;
        for (;;) {
            skip_space();
            if (at_end())
                return path;
            std::string key;
            if (text_[pos_] == '.') {
                ++pos_;
                skip_space();
                if (!read_identifier(key))
                    return std::nullopt;
            } else if (text_[pos_] == '[') {
                ++pos_;
                skip_space();
                if (at_end())
                    return std::nullopt;
                bool ok = (text_[pos_] == '\'' || text_[pos_] == '"') ? read_string(key) : read_number(key);
                skip_space();
                if (!ok || at_end() || text_[pos_] != ']')
                    return std::nullopt;
                ++pos_;
            } else {
                return std::nullopt;
            }
            path.keys.push_back(std::move(key));
        }
    }

private:
    bool at_end() const { return pos_ >= text_.size(); }
    unsigned char peek() const { return static_cast<unsigned char>(text_[pos_]); }

    void skip_space() {
        while (!at_end() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r' || text_[pos_] == '\n'))
            ++pos_;
    }

    bool read_identifier(std::string& out) {
        if (at_end() || !is_identifier_start(peek()))
            return false;
        auto start = pos_;
        while (!at_end() && is_identifier_part(peek()))
            ++pos_;
        out.assign(text_.substr(start, pos_ - start));
        return true;
    }

    // A numeric subscript names the member whose key is the number's script text ("1.0" -> "1").
    bool read_number(std::string& out) {
        auto start = pos_;
        if (!at_end() && (text_[pos_] == '-' || text_[pos_] == '+'))
            ++pos_;
        auto digits = pos_;
        while (!at_end() &&
               ((peek() >= '0' && peek() <= '9') || text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E' ||
                ((text_[pos_] == '-' || text_[pos_] == '+') && (text_[pos_ - 1] | 0x20) == 'e')))
            ++pos_;
        if (digits == pos_)
            return false;
        double value = 0;
        auto first = text_.data() + digits;
        auto last = text_.data() + pos_;
        auto [end, ec] = std::from_chars(first, last, value);
        if (ec != std::errc() || end != last)
            return false;
        if (text_[start] == '-')
            value = -value;
        out = js_number_text(value);
        return true;
    }

    bool read_hex(int count, std::uint32_t& value) {
        value = 0;
        for (int i = 0; i < count; ++i, ++pos_) {
            if (at_end())
                return false;
            char c = static_cast<char>(peek() | 0x20);
            if (peek() >= '0' && peek() <= '9')
                value = value * 16 + (peek() - '0');
            else if (c >= 'a' && c <= 'f')
                value = value * 16 + (c - 'a' + 10);
            else
                return false;
        }
        return true;
    }

    bool read_string(std::string& out) {
        char quote = text_[pos_++];
        while (!at_end()) {
            char c = text_[pos_++];
            if (c == quote)
                return true;
            if (c == '\r' || c == '\n')
                return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_end())
                return false;
            char e = text_[pos_++];
            std::uint32_t cp = 0;
            switch (e) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'v':
                out += '\v';
                break;
            case '0':
                out += '\0';
                break;
            case '\r':
                if (!at_end() && text_[pos_] == '\n')
                    ++pos_;
                break;
            case '\n':
                break;
            case 'x':
                if (!read_hex(2, cp))
                    return false;
                append_utf8(out, cp);
                break;
            case 'u':
                if (!read_hex(4, cp))
                    return false;
                if (cp >= 0xD800 && cp <= 0xDBFF && text_.substr(pos_, 2) == "\\u") {
                    auto mark = pos_;
                    pos_ += 2;
                    std::uint32_t low = 0;
                    if (read_hex(4, low) && low >= 0xDC00 && low <= 0xDFFF)
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    else
                        pos_ = mark;
                }
                append_utf8(out, cp >= 0xD800 && cp <= 0xDFFF ? 0xFFFD : cp);
                break;
            default:
                out += e;
                break;
            }
        }
        return false;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

// The code point of the UTF-8 sequence at text[i] and its byte length; a byte that starts no well-formed sequence
// counts as one U+FFFD, so a damaged text still has a length and characters.
std::pair<std::uint32_t, std::size_t> next_code_point(std::string_view text, std::size_t i) {
    auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80)
        return {lead, 1};
    std::size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4
                         : lead >= 0xE0               ? (lead <= 0xEF ? 3 : 0)
                         : lead >= 0xC2               ? 2
                                                      : 0;
    if (length == 0 || i + length > text.size())
        return {0xFFFD, 1};
    std::uint32_t cp = lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
        auto trail = static_cast<unsigned char>(text[i + k]);
        if ((trail & 0xC0) != 0x80)
            return {0xFFFD, 1};
        cp = (cp << 6) | (trail & 0x3F);
    }
    constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < smallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return {0xFFFD, 1};
    return {cp, length};
}

std::size_t utf16_length(std::string_view text) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < text.size();) {
        auto [cp, length] = next_code_point(text, i);
        units += cp >= 0x10000 ? 2 : 1;
        i += length;
    }
    return units;
}

// The character at a UTF-16 index. Half of a surrogate pair has no UTF-8 form of its own: it reads as U+FFFD.
std::optional<std::string> utf16_unit_at(std::string_view text, std::size_t index) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < text.size();) {
        auto [cp, length] = next_code_point(text, i);
        std::size_t width = cp >= 0x10000 ? 2 : 1;
        if (index < units + width) {
            std::string out;
            append_utf8(out, width == 2 ? 0xFFFD : cp);
            return out;
        }
        units += width;
        i += length;
    }
    return std::nullopt;
}

Lookup member(Json& node, const std::string& key) {
    if (is_nothing(node))
        return {Status::error, nullptr};
    if (node.is_object()) {
        auto it = node.find(key);
        return it == node.end() ? Lookup{Status::missing, nullptr} : Lookup{Status::found, &*it};
    }
    if (node.is_array()) {
        auto index = array_index(key);
        if (index && *index < node.size())
            return {Status::found, &node[*index]};
    }
    if (auto value = derived_member(node, key)) {
        auto held = std::make_shared<Json>(std::move(*value));
        return {Status::found, held.get(), held};
    }
    return {Status::missing, nullptr};
}

} // namespace

std::optional<ParsedPath> read_member_path(std::string_view text) {
    return PathReader(text).read();
}

std::optional<Json> derived_member(const Json& value, const std::string& key) {
    if (value.is_array())
        return key == "length" ? std::optional<Json>(value.size()) : std::nullopt;
    if (!value.is_string())
        return std::nullopt;
    const std::string& text = value.get_ref<const std::string&>();
    if (key == "length")
        return Json(utf16_length(text));
    if (auto index = array_index(key))
        if (auto character = utf16_unit_at(text, *index))
            return Json(std::move(*character));
    return std::nullopt;
}

std::optional<std::size_t> array_index(const std::string& key) {
    if (key.empty() || key.size() > 10 || (key.size() > 1 && key[0] == '0'))
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : key) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value >= 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<std::size_t>(value);
}

Lookup follow(Json& root, const ParsedPath& path, std::size_t count) {
    Lookup at{Status::found, &root};
    for (std::size_t i = 0; i < count; ++i) {
        if (!at.found())
            return {Status::error, nullptr};
        at = member(*at.node, path.keys[i]);
    }
    return at;
}

} // namespace velpic::json_detail
