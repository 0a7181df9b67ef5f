// Ordered (name, value) pairs rendered as request header lines, a query string or a flat JSON object.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velpic {

// keep_unreserved: ' ( ) * - . 0-9 A-Z a-z _ pass unchanged; a space always becomes "+"; every other byte
// becomes "%XX" (upper-case hex). as_utf8: encode the UTF-8 form of the GBK text instead of its own bytes.
std::string percent_encode(std::string_view text, bool keep_unreserved = true, bool as_utf8 = false);

class HeaderList {
public:
    HeaderList() = default;

    // as_utf8: name and value are stored re-encoded from GBK to UTF-8.
    void add(std::string_view name, std::string_view value, bool as_utf8 = false);
    // "&"-separated pieces; name = text before the first "=", value = text after the last "=".
    void add_query(std::string_view query, bool as_utf8 = false);

    // Lookups act on the first entry whose name matches byte for byte.
    std::string get(std::string_view name) const;
    // Replaces the first entry's value, or appends (without re-encoding) when there is none.
    void set(std::string_view name, std::string_view value);
    void remove(std::string_view name);
    void clear();

    // name=value joined by "&"; url_encode percent-encodes names and values.
    std::string to_query(bool url_encode = false) const;
    // "name: value" lines joined by CR LF, no trailing CR LF; url_encode percent-encodes the values only.
    std::string to_header_text(bool url_encode = false) const;
    // {"name":"value",...}; only double quotes in values are escaped.
    std::string to_json() const;

    void get_names(std::vector<std::string>& out) const;
    void get_values(std::vector<std::string>& out) const;
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    static std::string escape_quotes(std::string_view value);
    // Removes one separator from the end, then one from the start, where present.
    static std::string trim_separator(std::string_view text, std::string_view separator);

private:
    std::vector<std::pair<std::string, std::string>> entries_;
};

} // namespace velpic
