// The program's JSON document object: member paths in script syntax ("content['download_url']", "a.b[0]"),
// texts in and out in GBK, member order kept as inserted. Copies made with copy() share one document.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velpic {

// What parse reports about a text that is not JSON, when the caller asks for it. All zero/empty on success.
struct ScriptError {
    int number = 0;
    std::string source;
    std::string description;
    std::string help_file;
    int help_context = 0;
    std::string text; // the line of the parsed text where reading stopped
    int line = 0;     // 1-based
    int column = 0;   // 0-based byte offset within that line
};

// Value type codes of type_of.
enum ScriptJsonType : int {
    json_type_null = 0, // null, or nothing at the path
    json_type_boolean = 1,
    json_type_number = 2,
    json_type_object = 4,
    json_type_array = 5,
    json_type_string = 6,
    json_type_other = -1,
};

class ScriptJson {
public:
    // A new document holding an empty object, reachable as `root_name` at the start of a path.
    explicit ScriptJson(std::string root_name = "da");
    ~ScriptJson();
    ScriptJson(ScriptJson&&) noexcept;
    ScriptJson& operator=(ScriptJson&&) noexcept;
    ScriptJson(const ScriptJson&) = delete;
    ScriptJson& operator=(const ScriptJson&) = delete;

    // A second handle on the same document: a change through one is seen through the other.
    ScriptJson copy() const;
    const std::string& root_name() const { return root_name_; }

    // Replaces the document with a fresh one read from `json` (any JSON value at the top level). Text that is
    // not JSON is never evaluated: the document becomes null (nothing at all for an empty text) and the result
    // is false. `as_literal` makes no difference, either way the text is only read as JSON. True when the
    // document is not null.
    bool parse(std::string_view json, bool as_literal = false, ScriptError* error = nullptr);
    bool clear();
    std::string to_json() const;

    // Text mode stores `value` as a string. With `value_is_json`, `value` must be JSON ("" stands for {}):
    // merged deeply into an existing object at the path, otherwise assigned.
    bool set_value(std::string_view path, std::string_view value, bool value_is_json = false);
    // Assigns the JSON value `expression` at the path; false if it is not JSON.
    bool set_expression(std::string_view path, std::string_view expression);

    // Makes `path` a full expression starting with the root name; true when it denotes a non-null value.
    bool resolve_path(std::string& path) const;
    bool exists(std::string_view path) const;
    int type_of(std::string_view path) const;
    // Without `as_json`, the value's script text form (numbers as JavaScript prints them, arrays joined with
    // ","); null or nothing -> "". With `as_json`, the JSON text; nothing -> "".
    std::string get_text(std::string_view path = {}, bool as_json = false) const;
    // Member names of the object at the path, in order; 0 for anything else. `names` is replaced.
    int member_names(std::vector<std::string>& names, std::string_view path = {}) const;
    int array_length(std::string_view path = {}) const;
    // A new, independent document holding a copy of the value at the path (nothing when there is none).
    ScriptJson get_object(std::string_view path = {}) const;

    // Makes the value at the path an array if it is not one, then appends (or prepends) the value.
    bool array_add(std::string_view value, std::string_view path = {}, bool value_is_json = false,
                   bool at_front = false);
    ScriptJson get_element_object(int index, std::string_view path = {}) const;
    // Without `as_json` only string elements give text.
    std::string get_element_text(int index, std::string_view path = {}, bool as_json = false) const;
    bool set_element(int index, std::string_view path, std::string_view value, bool value_is_json = false);
    // Removes one element of the array at the path; a negative index counts from the end.
    bool remove_element(int index, std::string_view path = {});
    bool remove_member(std::string_view path);
    bool set_number(std::string_view path, double number);
    double get_number(std::string_view path) const;
    std::string get_json(std::string_view path = {}) const;
    // Strings, numbers and booleans directly in the value at the path (and, when `recursive`, in the objects
    // and arrays below it), in order, as text. `values` is replaced.
    int leaf_values(std::vector<std::string>& values, std::string_view path = {}, bool recursive = false) const;

    struct Document; // the shared tree, private to the implementation

private:
    ScriptJson(std::string root_name, std::shared_ptr<Document> document);
    // A new document holding a copy of the value of the full path.
    ScriptJson detached_copy(const std::string& full) const;

    std::string root_name_;
    std::shared_ptr<Document> document_;
};

} // namespace velpic
