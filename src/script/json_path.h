// Member paths in script syntax (content['download_url'], a.b[0]) and looking them up in a JSON tree the way a
// script engine reads members.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velpic::json_detail {

using Json = nlohmann::ordered_json;

// Null and undefined (a discarded value) alike have no members.
inline bool is_nothing(const Json& value) {
    return value.is_null() || value.is_discarded();
}

struct ParsedPath {
    std::string root;
    std::vector<std::string> keys;
};

// The path written in `text` (UTF-8); nothing when it is anything but a plain member expression.
std::optional<ParsedPath> read_member_path(std::string_view text);

// `error` is what a script engine would raise (unknown variable, member of null or of nothing, bad syntax);
// `missing` is a read that yields undefined.
enum class Status { error, missing, found };

struct Lookup {
    Status status = Status::error;
    Json* node = nullptr;
    // A value the tree does not hold (an array's or a string's length, one character of a string) lives here and
    // `node` points at it; it is a result to read, never a place to write.
    std::shared_ptr<Json> derived = {};

    bool found() const { return status == Status::found; }
    bool non_null() const { return found() && !is_nothing(*node); }
    // What JSON.stringify gives text for: anything but undefined.
    bool has_json() const { return found() && !node->is_discarded(); }
};

// Array subscripts are the canonical decimal texts of 0 .. 2^32-2.
std::optional<std::size_t> array_index(const std::string& key);

// Members a script gives arrays and strings beyond their elements: "length" of both (a string's in UTF-16 code units
// of its text) and a string's characters by index. Nothing for any other key or value.
std::optional<Json> derived_member(const Json& value, const std::string& key);

// Follows the first `count` keys of the path.
Lookup follow(Json& root, const ParsedPath& path, std::size_t count);

} // namespace velpic::json_detail
