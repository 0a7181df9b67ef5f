#include "script/script_json.h"

#include "runtime/codepage.h"
#include "script/json_depth.h"
#include "script/json_path.h"
#include "script/json_text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>

namespace velpic {

using namespace json_detail;

struct ScriptJson::Document {
    Json value = Json::object();
};

namespace {

// The script's undefined (an empty parse, a copy of nothing, a deleted array element) is kept as a discarded
// value: like null it has no members, but unlike null it has no JSON text of its own.
const Json undefined_value(Json::value_t::discarded);

// Untrusted answers are read into a tree that later code walks recursively; deeper nesting is refused.
constexpr std::size_t max_depth = 512;
// Assigning far beyond an array's end would fill the gap with nulls; refuse gaps larger than this.
constexpr std::size_t max_array_gap = 1u << 20;
// Error number a script engine gives for a syntax error in evaluated text.
constexpr int syntax_error_number = 1002;

// ---- reading JSON -------------------------------------------------------------------------------------------

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
    if (json_nested_deeper_than(utf8, max_depth)) {
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
        auto path = read_member_path(to_utf8(full_gbk));
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
        if (derived_member(*parent.node, key))
            return false; // a length or a character of a string is no member that could go
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
    // The lookup owns a derived value (a length, a character), so it must outlive the reference.
    const Lookup at = Evaluator(document_.get(), root_name_).get(full);
    const Json& value = *at.node;
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
