#include "script/json_text.h"

#include "runtime/codepage.h"
#include "script/js_number.h"

#include <cmath>
#include <cstdint>

namespace velpic::json_detail {
namespace {

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

std::string leaf_text(const Json& value) {
    return value.is_string() ? value.get<std::string>() : script_text(value);
}

} // namespace

double number_of(const Json& value) {
    if (value.is_number_unsigned())
        return static_cast<double>(value.get<std::uint64_t>());
    if (value.is_number_integer())
        return static_cast<double>(value.get<std::int64_t>());
    return value.get<double>();
}

std::string script_text(const Json& value) {
    std::string out;
    append_script_text(out, value);
    return out;
}

std::string json_text(const Json& value) {
    std::string out;
    append_json(out, value);
    return out;
}

void holes_to_null(Json& value) {
    if (value.is_discarded())
        value = nullptr;
    else if (value.is_structured())
        for (auto& element : value)
            holes_to_null(element);
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

} // namespace velpic::json_detail
