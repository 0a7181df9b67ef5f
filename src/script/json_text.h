// The text forms of a JSON value: what the script's toString() gives, the JSON text JSON.stringify writes, and the
// leaf values of an object or array.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace velpic::json_detail {

using Json = nlohmann::ordered_json;

double number_of(const Json& value);

// What the script's toString() gives; null elements of arrays are empty.
std::string script_text(const Json& value);

// JSON text as the script's JSON.stringify writes it: numbers in script form, non-finite numbers and undefined as
// null, invisible and line-breaking characters escaped.
std::string json_text(const Json& value);

// A copy goes through the value's JSON text, where a deleted array element is written as null.
void holes_to_null(Json& value);

// The GBK texts of the strings, numbers and booleans among the elements of `value`; with `recursive`, also of those
// in nested objects and arrays.
void collect_leaves(const Json& value, bool recursive, std::vector<std::string>& out);

} // namespace velpic::json_detail
