#include "script/script_json.h"

#include "runtime/codepage.h"
#include "script/js_number.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>

namespace velpic {

using Json = nlohmann::ordered_json;

struct ScriptJson::Document {
    Json value = Json::object();
};

namespace {

// The script's undefined (an empty parse, a copy of nothing, a deleted array element) is kept as a discarded
// value: like null it has no members, but unlike null it has no JSON text of its own.
const Json undefined_value(Json::value_t::discarded);

bool is_nothing(const Json& value) {
    return value.is_null() || value.is_discarded();
}

// Untrusted answers are read into a tree that later code walks recursively; deeper nesting is refused.
constexpr int max_depth = 512;
// Assigning far beyond an array's end would fill the gap with nulls; refuse gaps larger than this.
constexpr std::size_t max_array_gap = 1u << 20;
// Error number a script engine gives for a syntax error in evaluated text.
constexpr int syntax_error_number = 1002;

// ---- member paths -------------------------------------------------------------------------------------------

struct ParsedPath {
    std::string root;
    std::vector<std::string> keys;
};

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

// ---- looking values up --------------------------------------------------------------------------------------

// `error` is what a script engine would raise (unknown variable, member of null or of nothing, bad syntax);
// `missing` is a read that yields undefined.
enum class Status { error, missing, found };

struct Lookup {
    Status status = Status::error;
    Json* node = nullptr;

    bool found() const { return status == Status::found; }
    bool non_null() const { return found() && !is_nothing(*node); }
    // What JSON.stringify gives text for: anything but undefined.
    bool has_json() const { return found() && !node->is_discarded(); }
};

// Array subscripts are the canonical decimal texts of 0 .. 2^32-2.
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
    return {Status::missing, nullptr};
}

// Follows the first `count` keys of the path.
Lookup follow(Json& root, const ParsedPath& path, std::size_t count) {
    Lookup at{Status::found, &root};
    for (std::size_t i = 0; i < count; ++i) {
        if (!at.found())
            return {Status::error, nullptr};
        at = member(*at.node, path.keys[i]);
    }
    return at;
}

// ---- text forms ---------------------------------------------------------------------------------------------

double number_of(const Json& value) {
    if (value.is_number_unsigned())
        return static_cast<double>(value.get<std::uint64_t>());
    if (value.is_number_integer())
        return static_cast<double>(value.get<std::int64_t>());
    return value.get<double>();
}

// What the script's toString() gives; null elements of arrays are empty.
void append_script_text(std::string& out, const Json& value) {
    switch (value.type()) {
    case Json::value_t::string:
        out += value.get_ref<const std::string&>();
        break;
    case Json::value_t::boolean:
        out += value.get<bool>() ? "true" : "false";
        break;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
        out += js_number_text(number_of(value));
        break;
    case Json::value_t::array: {
        bool first = true;
        for (const auto& element : value) {
            if (!first)
                out += ',';
            first = false;
            append_script_text(out, element);
        }
        break;
    }
    case Json::value_t::object:
        out += "[object Object]";
        break;
    default:
        break;
    }
}

std::string script_text(const Json& value) {
    std::string out;
    append_script_text(out, value);
    return out;
}

// Characters written as \uXXXX besides the control characters: invisible and line-breaking code points that
// some readers of JSON text mishandle.
bool needs_unicode_escape(std::uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xAD || (cp >= 0x600 && cp <= 0x604) || cp == 0x70F ||
           cp == 0x17B4 || cp == 0x17B5 || (cp >= 0x200C && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202F) ||
           (cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF || (cp >= 0xFFF0 && cp <= 0xFFFF);
}

void append_quoted(std::string& out, const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        if (i + length > text.size())
            length = text.size() - i;
        std::uint32_t cp = c;
        if (length == 2)
            cp = ((c & 0x1F) << 6) | (text[i + 1] & 0x3F);
        else if (length == 3)
            cp = ((c & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F);
        else if (length == 4)
            cp = 0x10000; // outside every escaped range
        switch (cp) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (needs_unicode_escape(cp)) {
                out += "\\u";
                for (int shift = 12; shift >= 0; shift -= 4)
                    out += hex[(cp >> shift) & 0xF];
            } else {
                out.append(text, i, length);
            }
        }
        i += length;
    }
    out += '"';
}

void append_json(std::string& out, const Json& value) {
    switch (value.type()) {
    case Json::value_t::string:
        append_quoted(out, value.get_ref<const std::string&>());
        break;
    case Json::value_t::boolean:
        out += value.get<bool>() ? "true" : "false";
        break;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: {
        double number = number_of(value);
        out += std::isfinite(number) ? js_number_text(number) : "null";
        break;
    }
    case Json::value_t::array: {
        out += '[';
        bool first = true;
        for (const auto& element : value) {
            if (!first)
                out += ',';
            first = false;
            append_json(out, element);
        }
        out += ']';
        break;
    }
    case Json::value_t::object: {
        out += '{';
        bool first = true;
        for (const auto& [key, element] : value.items()) {
            if (!first)
                out += ',';
            first = false;
            append_quoted(out, key);
            out += ':';
            append_json(out, element);
        }
        out += '}';
        break;
    }
    default:
        out += "null";
        break;
    }
}

std::string json_text(const Json& value) {
    std::string out;
    append_json(out, value);
    return out;
}

// A copy goes through the value's JSON text, where a deleted array element is written as null.
void holes_to_null(Json& value) {
    if (value.is_discarded())
        value = nullptr;
    else if (value.is_structured())
        for (auto& element : value)
            holes_to_null(element);
}

std::string leaf_text(const Json& value) {
    return value.is_string() ? value.get<std::string>() : script_text(value);
}

void collect_leaves(const Json& value, bool recursive, std::vector<std::string>& out) {
    for (const auto& element : value) {
        if (element.is_object() || element.is_array()) {
            if (recursive)
                collect_leaves(element, recursive, out);
        } else if (element.is_string() || element.is_number() || element.is_boolean()) {
            out.push_back(utf8_to_gbk(leaf_text(element)));
        }
    }
}

// ---- reading JSON -------------------------------------------------------------------------------------------

bool nested_too_deep(std::string_view text) {
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > max_depth)
                return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

void fill_error(ScriptError* error, const std::string& utf8, std::size_t position, const std::string& message) {
    if (!error)
        return;
    position = std::min(position, utf8.size());
    auto line_start = utf8.rfind('\n', position == 0 ? 0 : position - 1);
    line_start = (line_start == std::string::npos || position == 0) ? 0 : line_start + 1;
    auto line_end = utf8.find('\n', line_start);
    std::string line =
        utf8.substr(line_start, line_end == std::string::npos ? std::string::npos : line_end - line_start);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    error->number = syntax_error_number;
    error->source = "JSON";
    error->description = message;
    error->text = utf8_to_gbk(line);
    error->line = 1 + static_cast<int>(std::count(utf8.begin(), utf8.begin() + line_start, '\n'));
    error->column = static_cast<int>(utf8_to_gbk(utf8.substr(line_start, position - line_start)).size());
}

// A JSON text (GBK) as a value; never evaluated as anything but JSON.
std::optional<Json> read_json(std::string_view gbk, ScriptError* error = nullptr) {
    std::string utf8 = to_utf8(gbk);
    if (nested_too_deep(utf8)) {
        fill_error(error, utf8, 0, "nesting too deep");
        return std::nullopt;
    }
    try {
        return Json::parse(utf8);
    } catch (const Json::parse_error& e) {
        fill_error(error, utf8, e.byte > 0 ? e.byte - 1 : 0, e.what());
    } catch (const std::exception& e) {
        fill_error(error, utf8, 0, e.what());
    }
    return std::nullopt;
}

// Merges `source` into the object or array `target`: an array takes the elements of an array source; an object
// takes every member of the source (an array source's members are its indices), merging into members that are
// objects or arrays and replacing all others.
void extend(Json& target, const Json& source) {
    if (target.is_array()) {
        if (source.is_array())
            for (const auto& element : source)
                target.push_back(element);
        return;
    }
    if (!target.is_object())
        return;
    auto merge_member = [&target](const std::string& key, const Json& value) {
        auto it = target.find(key);
        if (it != target.end() && (it->is_object() || it->is_array()))
            extend(*it, value);
        else
            target[key] = value;
    };
    if (source.is_object()) {
        for (const auto& [key, value] : source.items())
            merge_member(key, value);
    } else if (source.is_array()) {
        for (std::size_t i = 0; i < source.size(); ++i)
            merge_member(std::to_string(i), source[i]);
    }
}

} // namespace

// ---- the object ---------------------------------------------------------------------------------------------

namespace {

// One evaluation context: the document and the root name a path must start with.
class Evaluator {
public:
    Evaluator(ScriptJson::Document* document, const std::string& root_name)
        : document_(document), root_(to_utf8(root_name)) {}

    std::optional<ParsedPath> parse(std::string_view full_gbk) const {
        if (!document_)
            return std::nullopt;
        auto path = PathReader(to_utf8(full_gbk)).read();
        if (!path || path->root != root_)
            return std::nullopt;
        return path;
    }

    Lookup get(std::string_view full_gbk) const {
        auto path = parse(full_gbk);
        if (!path)
            return {};
        return follow(document_->value, *path, path->keys.size());
    }

    bool assign(std::string_view full_gbk, Json value) const {
        auto path = parse(full_gbk);
        if (!path)
            return false;
        if (path->keys.empty()) {
            document_->value = std::move(value);
            return true;
        }
        auto parent = follow(document_->value, *path, path->keys.size() - 1);
        if (!parent.non_null())
            return false;
        const std::string& key = path->keys.back();
        if (parent.node->is_object()) {
            (*parent.node)[key] = std::move(value);
            return true;
        }
        if (parent.node->is_array()) {
            auto index = array_index(key);
            if (!index || *index > parent.node->size() + max_array_gap)
                return false;
            (*parent.node)[*index] = std::move(value);
            return true;
        }
        return false; // members of strings, numbers and booleans cannot be set
    }

    bool remove(std::string_view full_gbk) const {
        auto path = parse(full_gbk);
        if (!path || path->keys.empty())
            return false;
        auto parent = follow(document_->value, *path, path->keys.size() - 1);
        if (!parent.non_null())
            return false;
        const std::string& key = path->keys.back();
        if (parent.node->is_object()) {
            parent.node->erase(key);
        } else if (parent.node->is_array()) {
            // Deleting an element leaves a hole, as in a script: the array keeps its length.
            auto index = array_index(key);
            if (index && *index < parent.node->size())
                (*parent.node)[*index] = undefined_value;
        }
        return true;
    }

private:
    ScriptJson::Document* document_;
    std::string root_;
};

std::string element_path(const std::string& full, int index) {
    return full + "[" + std::to_string(index) + "]";
}

std::optional<Json> value_of(std::string_view value, bool value_is_json) {
    if (value_is_json)
        return read_json(value);
    return Json(to_utf8(value));
}

} // namespace

ScriptJson::ScriptJson(std::string root_name)
    : root_name_(std::move(root_name)), document_(std::make_shared<Document>()) {}

ScriptJson::ScriptJson(std::string root_name, std::shared_ptr<Document> document)
    : root_name_(std::move(root_name)), document_(std::move(document)) {}

ScriptJson::~ScriptJson() = default;
ScriptJson::ScriptJson(ScriptJson&&) noexcept = default;
ScriptJson& ScriptJson::operator=(ScriptJson&&) noexcept = default;

ScriptJson ScriptJson::copy() const {
    return ScriptJson(root_name_, document_);
}

bool ScriptJson::parse(std::string_view json, bool /*as_literal*/, ScriptError* error) {
    if (error)
        *error = ScriptError{};
    // A fresh document, so handles copied before the parse keep the old one.
    document_ = std::make_shared<Document>();
    document_->value = nullptr;
    if (json.empty()) {
        document_->value = undefined_value; // nothing to read is no syntax error
        return false;
    }
    auto value = read_json(json, error);
    if (!value)
        return false;
    document_->value = std::move(*value);
    return !is_nothing(document_->value);
}

bool ScriptJson::clear() {
    if (!document_)
        return false;
    document_->value = Json::object();
    return true;
}

std::string ScriptJson::to_json() const {
    return get_json({});
}

bool ScriptJson::set_value(std::string_view path, std::string_view value, bool value_is_json) {
    std::string full(path);
    bool exists = resolve_path(full);
    Evaluator eval(document_.get(), root_name_);
    if (!value_is_json)
        return eval.assign(full, Json(to_utf8(value)));
    auto parsed = read_json(value.empty() ? std::string_view("{}") : value);
    if (!parsed)
        return false;
    auto target = eval.get(full);
    if (exists && target.node->is_object()) {
        extend(*target.node, *parsed);
        return true;
    }
    return eval.assign(full, std::move(*parsed));
}

bool ScriptJson::set_expression(std::string_view path, std::string_view expression) {
    std::string full(path);
    resolve_path(full);
    auto parsed = read_json(expression);
    return parsed && Evaluator(document_.get(), root_name_).assign(full, std::move(*parsed));
}

bool ScriptJson::resolve_path(std::string& path) const {
    Evaluator eval(document_.get(), root_name_);
    if (path.starts_with(root_name_) && eval.get(path).non_null())
        return true;
    if (path.empty())
        path = root_name_;
    else if (path.front() == '[')
        path = root_name_ + path;
    else
        path = root_name_ + "." + path;
    return eval.get(path).non_null();
}

bool ScriptJson::exists(std::string_view path) const {
    std::string full(path);
    return resolve_path(full);
}

int ScriptJson::type_of(std::string_view path) const {
    std::string full(path);
    if (!resolve_path(full))
        return json_type_null;
    auto at = Evaluator(document_.get(), root_name_).get(full);
    switch (at.node->type()) {
    case Json::value_t::boolean:
        return json_type_boolean;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
        return json_type_number;
    case Json::value_t::object:
        return json_type_object;
    case Json::value_t::array:
        return json_type_array;
    case Json::value_t::string:
        return json_type_string;
    default:
        return json_type_other;
    }
}

std::string ScriptJson::get_text(std::string_view path, bool as_json) const {
    std::string full(path);
    resolve_path(full);
    auto at = Evaluator(document_.get(), root_name_).get(full);
    if (as_json)
        return at.has_json() ? utf8_to_gbk(json_text(*at.node)) : std::string();
    return at.non_null() ? utf8_to_gbk(script_text(*at.node)) : std::string();
}

int ScriptJson::member_names(std::vector<std::string>& names, std::string_view path) const {
    names.clear();
    std::string full(path);
    resolve_path(full);
    auto at = Evaluator(document_.get(), root_name_).get(full);
    if (!at.found() || !at.node->is_object())
        return 0;
    for (const auto& [key, value] : at.node->items())
        names.push_back(utf8_to_gbk(key));
    return static_cast<int>(names.size());
}

int ScriptJson::array_length(std::string_view path) const {
    std::string full(path);
    resolve_path(full);
    auto at = Evaluator(document_.get(), root_name_).get(full);
    return at.found() && at.node->is_array() ? static_cast<int>(at.node->size()) : 0;
}

ScriptJson ScriptJson::get_object(std::string_view path) const {
    std::string full(path);
    resolve_path(full);
    return detached_copy(full);
}

ScriptJson ScriptJson::detached_copy(const std::string& full) const {
    auto at = Evaluator(document_.get(), root_name_).get(full);
    ScriptJson result;
    if (at.has_json()) {
        result.document_->value = *at.node;
        holes_to_null(result.document_->value);
    } else {
        result.document_->value = undefined_value;
    }
    return result;
}

bool ScriptJson::array_add(std::string_view value, std::string_view path, bool value_is_json, bool at_front) {
    auto element = value_of(value, value_is_json);
    if (!element)
        return false;
    std::string full(path);
    resolve_path(full);
    Evaluator eval(document_.get(), root_name_);
    auto at = eval.get(full);
    if (!at.found() || !at.node->is_array()) {
        if (!eval.assign(full, Json::array()))
            return false;
        at = eval.get(full);
    }
    if (at_front)
        at.node->insert(at.node->begin(), std::move(*element));
    else
        at.node->push_back(std::move(*element));
    return true;
}

ScriptJson ScriptJson::get_element_object(int index, std::string_view path) const {
    std::string full(path);
    resolve_path(full);
    return detached_copy(element_path(full, index));
}

std::string ScriptJson::get_element_text(int index, std::string_view path, bool as_json) const {
    std::string full(path);
    resolve_path(full);
    auto at = Evaluator(document_.get(), root_name_).get(element_path(full, index));
    if (!at.found())
        return {};
    if (as_json)
        return at.has_json() ? utf8_to_gbk(json_text(*at.node)) : std::string();
    return at.node->is_string() ? utf8_to_gbk(at.node->get_ref<const std::string&>()) : std::string();
}

bool ScriptJson::set_element(int index, std::string_view path, std::string_view value, bool value_is_json) {
    auto element = value_of(value, value_is_json);
    if (!element)
        return false;
    std::string full(path);
    resolve_path(full);
    return Evaluator(document_.get(), root_name_).assign(element_path(full, index), std::move(*element));
}

bool ScriptJson::remove_element(int index, std::string_view path) {
    std::string full(path);
    resolve_path(full);
    auto at = Evaluator(document_.get(), root_name_).get(full);
    if (!at.found() || !at.node->is_array())
        return false;
    auto size = static_cast<long long>(at.node->size());
    long long start = index < 0 ? std::max(size + index, 0LL) : index;
    if (start >= size)
        return false;
    at.node->erase(static_cast<std::size_t>(start));
    return true;
}

bool ScriptJson::remove_member(std::string_view path) {
    std::string full(path);
    resolve_path(full);
    return Evaluator(document_.get(), root_name_).remove(full);
}

bool ScriptJson::set_number(std::string_view path, double number) {
    if (!std::isfinite(number))
        return false;
    std::string full(path);
    resolve_path(full);
    return Evaluator(document_.get(), root_name_).assign(full, Json(number));
}

double ScriptJson::get_number(std::string_view path) const {
    std::string full(path);
    if (!resolve_path(full))
        return 0;
    const Json& value = *Evaluator(document_.get(), root_name_).get(full).node;
    if (value.is_number())
        return number_of(value);
    if (value.is_boolean())
        return value.get<bool>() ? 1 : 0;
    if (value.is_string()) {
        std::string_view text = value.get_ref<const std::string&>();
        auto first = text.find_first_not_of(" \t\r\n");
        auto last = text.find_last_not_of(" \t\r\n");
        if (first == std::string_view::npos)
            return 0;
        text = text.substr(first, last - first + 1);
        if (text.front() == '+')
            text.remove_prefix(1);
        double number = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (ec == std::errc() && end == text.data() + text.size())
            return number;
    }
    return 0;
}

std::string ScriptJson::get_json(std::string_view path) const {
    return get_text(path, true);
}

int ScriptJson::leaf_values(std::vector<std::string>& values, std::string_view path, bool recursive) const {
    values.clear();
    std::string full(path);
    resolve_path(full);
    auto at = Evaluator(document_.get(), root_name_).get(full);
    if (at.found() && (at.node->is_object() || at.node->is_array()))
        collect_leaves(*at.node, recursive, values);
    return static_cast<int>(values.size());
}

} // namespace velpic
