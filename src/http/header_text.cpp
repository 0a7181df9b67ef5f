#include "http/header_text.h"

#include "runtime/gbk_text.h"

#include <algorithm>
#include <vector>

namespace velpic {
namespace {

constexpr std::string_view kCrLf = "\r\n";

// Splits at every "-" and keeps an empty last piece, so a name ending in "-" keeps its dash.
std::string capitalize_name(std::string_view name) {
    std::string out(name);
    bool at_piece_start = true;
    for (std::size_t i = 0; i < out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (at_piece_start && c >= 'a' && c <= 'z')
            out[i] = static_cast<char>(c - 'a' + 'A');
        if (is_gbk_lead_byte(c) && i + 1 < out.size()) {
            ++i;
            at_piece_start = false;
            continue;
        }
        at_piece_start = c == '-';
    }
    return out;
}

std::string cookie_name(std::string_view item) {
    long eq = text_find(item, "=");
    return text_trim(eq < 1 ? item : item.substr(0, eq - 1));
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

} // namespace

std::string capitalize_header_names(std::string_view block) {
    std::string out;
    for (const std::string& line : text_split(block, kCrLf)) {
        long colon = text_find(line, ":");
        if (colon < 1)
            continue;
        out += capitalize_name(std::string_view(line).substr(0, colon - 1));
        out.append(line, colon - 1);
        out += kCrLf;
    }
    if (out.size() >= 2)
        out.resize(out.size() - 2);
    return out;
}

std::string header_value(std::string_view block, std::string_view name) {
    for (const std::string& line : text_split(block, kCrLf)) {
        if (line.starts_with(name))
            return text_after_last(line, std::string(name) + ": ");
    }
    return {};
}

std::string text_between(std::string_view text, std::string_view start_marker, std::string_view end_marker, long start,
                         bool ignore_case) {
    long found = text_find(text, start_marker, std::max(start, 1L), ignore_case);
    if (found < 1)
        return {};
    long from = found + static_cast<long>(start_marker.size());
    long end = text_find(text, end_marker, from, ignore_case);
    if (end < from)
        return {};
    return std::string(text.substr(from - 1, end - from));
}

std::string text_before(std::string_view text, std::string_view marker) {
    long found = text_find(text, marker);
    if (found < 1)
        return {};
    return std::string(text.substr(0, found - 1));
}

std::string text_after_last(std::string_view text, std::string_view marker) {
    if (marker.empty())
        return {};
    long found = text_find_backward(text, marker);
    if (found < 1)
        return {};
    return std::string(text.substr(found - 1 + marker.size()));
}

std::string merge_cookie_lists(std::string_view older, std::string_view newer) {
    auto items_of = [](std::string_view list) {
        std::string trimmed = text_trim(list);
        if (!trimmed.empty() && trimmed.back() == ';')
            trimmed += ' ';
        return text_split(trimmed, "; ");
    };
    std::vector<std::string> merged = items_of(newer);
    std::vector<std::string> names;
    for (const std::string& item : merged)
        names.push_back(cookie_name(item));
    for (std::string& item : items_of(older)) {
        std::string name = cookie_name(item);
        if (std::find(names.begin(), names.end(), name) != names.end())
            continue;
        names.push_back(std::move(name));
        merged.push_back(std::move(item));
    }

    std::vector<std::string_view> joined;
    for (const std::string& item : merged) {
        if (!ends_with(item, "=deleted"))
            joined.push_back(item);
    }
    // Repeats are removed from the joined list split again, and a split drops an empty last piece.
    if (!joined.empty() && joined.back().empty())
        joined.pop_back();
    std::vector<std::string_view> kept;
    for (std::string_view item : joined) {
        if (std::find(kept.begin(), kept.end(), item) == kept.end())
            kept.push_back(item);
    }
    std::string out;
    for (std::string_view item : kept) {
        if (!out.empty())
            out += "; ";
        out += item;
    }
    return out;
}

} // namespace velpic
