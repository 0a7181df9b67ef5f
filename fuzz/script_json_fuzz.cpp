// The JSON document object and its member paths over any text: whatever it writes as JSON reads back as the same
// JSON, a stored text or number reads back, copies agree with the value they copy, and the derived members
// (length, characters) agree with the value they describe.
#include "fuzz_support.h"
#include "runtime/codepage.h"
#include "script/json_path.h"
#include "script/script_json.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

// JSON text the object wrote: valid JSON, and read again it writes itself unchanged.
void check_json_text(const std::string& gbk) {
    if (gbk.empty())
        return;
    FUZZ_CHECK(nlohmann::json::accept(to_utf8(gbk)));
    ScriptJson again;
    again.parse(gbk);
    FUZZ_CHECK(again.to_json() == gbk);
}

// The GBK text survives the trip through the document's UTF-8 strings.
bool survives_conversion(std::string_view gbk) {
    return gbk.find('\0') == std::string_view::npos && utf8_to_gbk(to_utf8(gbk)) == gbk;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 16384)
        return 0;
    FuzzInput input(data, size);
    const std::string_view document = input.field(0);
    // Paths are texts, which end at a NUL byte.
    const std::string path(input.field(1).substr(0, input.field(1).find('\0')));
    const std::string_view value = input.field(2);

    (void)json_detail::read_member_path(path);
    ScriptJson json;
    ScriptError error;
    const bool parsed = json.parse(document, input.flag(0), &error);
    FUZZ_CHECK(parsed || !json.exists(""));
    if (!document.empty() && !nlohmann::json::accept(to_utf8(document)))
        FUZZ_CHECK(!parsed && error.number != 0 && error.line >= 1 && error.column >= 0);
    check_json_text(json.to_json());

    // Reading at any path.
    std::string full = path;
    const bool exists = json.resolve_path(full);
    FUZZ_CHECK(exists == json.exists(path));
    FUZZ_CHECK(exists == (json.type_of(path) != json_type_null));
    const std::string as_json = json.get_text(path, true);
    check_json_text(as_json);
    FUZZ_CHECK(json.get_object(path).to_json() == as_json);
    if (!exists)
        FUZZ_CHECK(json.get_text(path).empty());
    std::vector<std::string> texts;
    FUZZ_CHECK(json.member_names(texts, path) == static_cast<int>(texts.size()));
    FUZZ_CHECK(json.leaf_values(texts, path, input.flag(1)) == static_cast<int>(texts.size()));

    // Derived members describe the value they belong to.
    const int type = json.type_of(full);
    if (type == json_type_array) {
        FUZZ_CHECK(json.get_number(full + ".length") == json.array_length(full));
    } else if (type == json_type_string) {
        const double length = json.get_number(full + ".length");
        FUZZ_CHECK(length >= 0 && length == std::floor(length));
        FUZZ_CHECK(json.exists(full + "[0]") == (length > 0));
        FUZZ_CHECK(!json.exists(full + "[" + std::to_string(static_cast<long long>(length)) + "]"));
        if (length > 0)
            FUZZ_CHECK(json.get_number(full + "[0].length") == 1);
    }

    // Writing at the path: what was stored reads back.
    switch (input.selector() % 5) {
    case 0:
        if (json.set_value(path, value) && survives_conversion(value))
            FUZZ_CHECK(json.get_text(path) == value);
        break;
    case 1: {
        const bool merge = json.type_of(path) == json_type_object;
        // A null read back at a path that starts with the root name is looked for one level deeper, as in a
        // script; so only values that are something are compared.
        if (json.set_value(path, value, true) && !merge && !value.empty()) {
            ScriptJson stored;
            if (stored.parse(value))
                FUZZ_CHECK(json.get_json(path) == stored.to_json());
        }
        break;
    }
    case 2: {
        double number = 0;
        if (!value.empty())
            std::memcpy(&number, value.data(), std::min(value.size(), sizeof number));
        if (json.set_number(path, number))
            FUZZ_CHECK(json.get_number(path) == number);
        break;
    }
    case 3:
        if (json.remove_member(path))
            FUZZ_CHECK(!json.exists(path));
        break;
    default: {
        const bool was_array = json.type_of(path) == json_type_array;
        const int length = json.array_length(path);
        if (json.array_add(value, path, input.flag(2), input.flag(3)))
            FUZZ_CHECK(json.array_length(path) == (was_array ? length + 1 : 1));
        break;
    }
    }
    check_json_text(json.to_json());
    return 0;
}
