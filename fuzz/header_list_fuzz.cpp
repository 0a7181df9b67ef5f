// Header lists: percent-encoding decodes back to its input, a query of name=value pieces survives reading and
// writing, header lines keep their pairs, and the JSON form stays JSON with every quote escaped.
#include "fuzz_support.h"
#include "http/header_list.h"
#include "runtime/codepage.h"
#include "runtime/gbk_text.h"

#include <nlohmann/json.hpp>

#include <algorithm>

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes what percent_encode writes; nothing else may appear in it.
std::string percent_decoded(std::string_view encoded, bool keep_unreserved) {
    std::string out;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        char c = encoded[i];
        if (c == '%') {
            FUZZ_CHECK(i + 2 < encoded.size());
            int high = hex_value(encoded[i + 1]);
            int low = hex_value(encoded[i + 2]);
            FUZZ_CHECK(high >= 0 && low >= 0);
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else if (c == '+') {
            out += ' ';
        } else {
            FUZZ_CHECK(keep_unreserved);
            FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
                       c == '.' || c == '_' || c == '\'' || c == '(' || c == ')' || c == '*');
            out += c;
        }
    }
    return out;
}

std::string without_nul(std::string_view text) {
    std::string out;
    for (char c : text)
        if (c != '\0')
            out += c;
    return out;
}

bool plain_json_text(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == '\\')
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 8192)
        return 0;
    FuzzInput input(data, size);
    const std::string_view text = input.field(0);
    const bool keep_unreserved = input.flag(0);

    FUZZ_CHECK(percent_decoded(percent_encode(text, keep_unreserved), keep_unreserved) == without_nul(text));
    FUZZ_CHECK(percent_decoded(percent_encode(text, keep_unreserved, true), keep_unreserved) == to_utf8(text));

    // name=value pieces joined by "&" are read and written back unchanged.
    HeaderList query;
    query.add_query(text);
    bool simple_pieces = fuzz::is_well_formed_gbk(text) && !text.empty() && !text.ends_with("&");
    for (const std::string& piece : text_split(text, "&"))
        simple_pieces = simple_pieces && std::count(piece.begin(), piece.end(), '=') == 1;
    if (simple_pieces)
        FUZZ_CHECK(query.to_query() == text);

    // Header lines: one "name: value" line per pair, in order.
    HeaderList headers;
    for (std::size_t i = 1; i < 17 && (i < 3 || !input.field(i).empty()); i += 2)
        headers.add(input.field(i), input.field(i + 1), input.flag(1));
    std::vector<std::string> names, values;
    headers.get_names(names);
    headers.get_values(values);
    FUZZ_CHECK(names.size() == headers.size() && values.size() == headers.size());
    std::string expected_lines;
    for (std::size_t i = 0; i < names.size(); ++i)
        expected_lines += (i == 0 ? "" : "\r\n") + names[i] + ": " + values[i];
    FUZZ_CHECK(headers.to_header_text() == expected_lines);
    if (!names.empty())
        FUZZ_CHECK(headers.get(names.front()) == values.front());

    // The JSON form: a quote in a value is escaped, so the object reads back with its pairs.
    bool plain = true;
    for (std::size_t i = 0; i < names.size(); ++i)
        plain = plain && plain_json_text(names[i]) && names[i].find('"') == std::string::npos &&
                plain_json_text(values[i]) && is_valid_utf8(names[i]) && is_valid_utf8(values[i]);
    if (plain) {
        nlohmann::ordered_json object = nlohmann::ordered_json::parse(headers.to_json(), nullptr, false);
        FUZZ_CHECK(object.is_object());
        for (std::size_t i = 0; i < names.size(); ++i)
            FUZZ_CHECK(object.contains(names[i]));
        if (!names.empty())
            FUZZ_CHECK(object[names.front()] == values.front() || object.size() < names.size());
    }
    // Every quote gets its backslash, and taking them away again gives the text back.
    const std::string escaped = HeaderList::escape_quotes(text);
    std::string unescaped;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '"') {
            FUZZ_CHECK(!unescaped.empty() && unescaped.back() == '\\');
            unescaped.pop_back();
        }
        unescaped += escaped[i];
    }
    FUZZ_CHECK(unescaped == text);
    return 0;
}
