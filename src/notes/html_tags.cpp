#include "notes/html_tags.h"

#include "notes/destination_text.h"

namespace velpic {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == ':';
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_name(std::string_view name, std::string_view wanted) {
    if (name.size() != wanted.size())
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (lower(name[i]) != wanted[i])
            return false;
    return true;
}

// Each address of an srcset value (candidates "address descriptors" separated by commas), at its own bytes.
void add_srcset(std::string_view text, std::size_t begin, std::size_t end, char quote,
                std::vector<NoteReference>& found) {
    std::size_t i = begin;
    while (i < end) {
        while (i < end && (is_blank(text[i]) || text[i] == ','))
            ++i;
        const std::size_t url_begin = i;
        while (i < end && !is_blank(text[i]))
            ++i;
        std::size_t url_end = i;
        const bool comma_ended = url_end > url_begin && text[url_end - 1] == ',';
        while (url_end > url_begin && text[url_end - 1] == ',')
            --url_end;
        if (url_end > url_begin) {
            NoteReference reference;
            reference.offset = url_begin;
            reference.length = url_end - url_begin;
            reference.form = ReferenceForm::srcset_candidate;
            reference.quote = quote;
            reference.target = decode_character_references(text.substr(url_begin, url_end - url_begin));
            found.push_back(std::move(reference));
        }
        if (comma_ended)
            continue;
        // The descriptors ("2x", "480w") run to the next comma outside parentheses.
        int depth = 0;
        while (i < end && (depth > 0 || text[i] != ',')) {
            depth += text[i] == '(' ? 1 : text[i] == ')' && depth > 0 ? -1 : 0;
            ++i;
        }
    }
}

// Reads the attributes of the tag whose name ends at i, up to its ">" (or end); records the one named wanted, and
// with srcset the addresses of an srcset attribute.
std::size_t read_attributes(std::string_view text, std::size_t i, std::size_t end, std::string_view wanted, bool image,
                            bool srcset, std::vector<NoteReference>& found) {
    while (i < end) {
        while (i < end && is_blank(text[i]))
            ++i;
        if (i >= end || text[i] == '>')
            return i;
        if (text[i] == '/' || text[i] == '"' || text[i] == '\'' || text[i] == '<' || text[i] == '=') {
            ++i; // stray characters of a malformed tag
            continue;
        }
        const std::size_t name_begin = i;
        while (i < end && !is_blank(text[i]) && text[i] != '/' && text[i] != '>' && text[i] != '=' && text[i] != '"' &&
               text[i] != '\'' && text[i] != '<')
            ++i;
        const std::string_view name = text.substr(name_begin, i - name_begin);
        std::size_t j = i;
        while (j < end && is_blank(text[j]))
            ++j;
        if (j >= end || text[j] != '=')
            continue; // an attribute without a value
        ++j;
        while (j < end && is_blank(text[j]))
            ++j;
        if (j >= end)
            return j;
        char quote = 0;
        std::size_t value_begin = j;
        std::size_t value_end = j;
        if (text[j] == '"' || text[j] == '\'') {
            quote = text[j];
            value_begin = j + 1;
            value_end = text.find(quote, value_begin);
            if (value_end == std::string_view::npos || value_end >= end)
                return end; // an unclosed value: nothing after it is trusted
            i = value_end + 1;
        } else {
            while (value_end < end && !is_blank(text[value_end]) && text[value_end] != '>')
                ++value_end;
            i = value_end;
        }
        if (srcset && same_name(name, "srcset") && value_end > value_begin)
            add_srcset(text, value_begin, value_end, quote, found);
        else if (same_name(name, wanted) && value_end > value_begin) {
            NoteReference reference;
            reference.offset = value_begin;
            reference.length = value_end - value_begin;
            reference.form = ReferenceForm::html_attribute;
            reference.quote = quote;
            reference.image = image;
            reference.target = decode_character_references(text.substr(value_begin, value_end - value_begin));
            found.push_back(std::move(reference));
        }
    }
    return i;
}

} // namespace

// Where the end tag "</name" of a raw text element begins at or after i, or npos.
std::size_t find_end_tag(std::string_view text, std::size_t i, std::size_t end, std::string_view name) {
    for (; i + 2 + name.size() <= end; ++i) {
        i = text.find("</", i);
        if (i == std::string_view::npos || i + 2 + name.size() > end)
            return std::string_view::npos;
        if (same_name(text.substr(i + 2, name.size()), name))
            return i;
    }
    return std::string_view::npos;
}

void find_html_references(std::string_view text, std::size_t begin, std::size_t end, bool with_links,
                          std::vector<NoteReference>& found, std::string* raw_element) {
    if (end > text.size())
        end = text.size();
    std::size_t i = begin;
    std::string none;
    std::string& inside = raw_element != nullptr ? *raw_element : none;
    while (i < end) {
        // The contents of script and style are text to the browser, whatever tags they seem to hold.
        if (!inside.empty()) {
            const std::size_t close = find_end_tag(text, i, end, inside);
            if (close == std::string_view::npos)
                return;
            inside.clear();
            i = close + 2;
            continue;
        }
        i = text.find('<', i);
        if (i == std::string_view::npos || i >= end)
            return;
        if (text.substr(i, 4) == "<!--") {
            const std::size_t close = text.find("-->", i + 4);
            if (close == std::string_view::npos)
                return;
            i = close + 3;
            continue;
        }
        std::size_t j = i + 1;
        while (j < end && is_name_char(text[j]))
            ++j;
        const std::string_view name = text.substr(i + 1, j - i - 1);
        const bool follows = j >= end || is_blank(text[j]) || text[j] == '/' || text[j] == '>';
        if (follows && same_name(name, "img")) {
            i = read_attributes(text, j, end, "src", true, true, found);
        } else if (follows && same_name(name, "source")) {
            i = read_attributes(text, j, end, "", true, true, found);
        } else if (follows && with_links && same_name(name, "a")) {
            i = read_attributes(text, j, end, "href", false, false, found);
        } else if (follows && (same_name(name, "script") || same_name(name, "style"))) {
            inside = same_name(name, "script") ? "script" : "style";
            const std::size_t close = text.find('>', j);
            i = close == std::string_view::npos || close >= end ? end : close + 1;
        } else {
            i = j > i + 1 ? j : i + 1;
        }
    }
}

} // namespace velpic
