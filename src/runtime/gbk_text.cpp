#include "runtime/gbk_text.h"

#include <algorithm>
#include <climits>

namespace velpic {
namespace {

using Size = std::string_view::size_type;

// Byte length of the character that starts at index i: 2 for a lead byte followed by another byte.
Size char_length(std::string_view text, Size i) {
    return is_gbk_lead_byte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
}

// Index of every character start, plus text.size() as the end, so both ends of a match can be checked.
std::vector<Size> char_starts(std::string_view text) {
    std::vector<Size> starts;
    starts.reserve(text.size() + 1);
    for (Size i = 0; i < text.size(); i += char_length(text, i))
        starts.push_back(i);
    starts.push_back(text.size());
    return starts;
}

bool is_start(const std::vector<Size>& starts, Size i) {
    return std::binary_search(starts.begin(), starts.end(), i);
}

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
char ascii_upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Whether `what` occurs at index i of text (i a character start). Case folding applies only to
// single-byte characters: a trail byte that looks like a letter is part of a double-byte character.
bool matches_at(std::string_view text, Size i, std::string_view what, bool ignore_case) {
    if (what.size() > text.size() - i)
        return false;
    if (!ignore_case)
        return text.compare(i, what.size(), what) == 0;
    for (Size j = 0; j < what.size();) {
        if (char_length(what, j) == 2) {
            if (text[i + j] != what[j] || text[i + j + 1] != what[j + 1])
                return false;
            j += 2;
        } else {
            if (ascii_lower(text[i + j]) != ascii_lower(what[j]))
                return false;
            ++j;
        }
    }
    return true;
}

// First match at a character start >= from whose end is also a character boundary; npos when none.
Size find_from(std::string_view text, const std::vector<Size>& starts, std::string_view what, Size from,
               bool ignore_case) {
    auto it = std::lower_bound(starts.begin(), starts.end(), from);
    for (; it != starts.end() && *it < text.size(); ++it) {
        if (matches_at(text, *it, what, ignore_case) && is_start(starts, *it + what.size()))
            return *it;
    }
    return std::string_view::npos;
}

bool is_blank_at(std::string_view text, Size i, Size length) {
    if (length == 1)
        return text[i] == ' ';
    return text[i] == '\xA1' && text[i + 1] == '\xA1';
}

std::string map_ascii(std::string_view text, char (*map)(char)) {
    std::string out(text);
    for (Size i = 0; i < out.size();) {
        Size n = char_length(out, i);
        if (n == 1)
            out[i] = map(out[i]);
        i += n;
    }
    return out;
}

} // namespace

bool text_is_char_boundary(std::string_view text, long position) {
    if (position < 1 || static_cast<Size>(position) > text.size() + 1)
        return false;
    return is_start(char_starts(text), static_cast<Size>(position - 1));
}

std::string text_left(std::string_view text, long n) {
    if (n <= 0)
        return {};
    return std::string(text.substr(0, static_cast<Size>(n)));
}

std::string text_right(std::string_view text, long n) {
    if (n <= 0)
        return {};
    Size count = std::min(static_cast<Size>(n), text.size());
    return std::string(text.substr(text.size() - count));
}

std::string text_middle(std::string_view text, long start, long n) {
    if (n <= 0 || start < 1 || static_cast<Size>(start) > text.size())
        return {};
    return std::string(text.substr(static_cast<Size>(start - 1), static_cast<Size>(n)));
}

long text_find(std::string_view text, std::string_view what, long start, bool ignore_case) {
    if (text.empty())
        return -1;
    if (what.empty())
        return 1;
    if (start < 1)
        start = 1;
    if (static_cast<Size>(start) > text.size())
        return -1;
    const auto starts = char_starts(text);
    Size found = find_from(text, starts, what, static_cast<Size>(start - 1), ignore_case);
    return found == std::string_view::npos ? -1 : static_cast<long>(found) + 1;
}

long text_find_backward(std::string_view text, std::string_view what, long start, bool ignore_case) {
    if (text.empty())
        return -1;
    if (what.empty())
        return 1;
    Size last = text.size() - 1;
    if (start >= 1 && static_cast<Size>(start - 1) < last)
        last = static_cast<Size>(start - 1);
    const auto starts = char_starts(text);
    auto it = std::upper_bound(starts.begin(), starts.end(), last);
    while (it != starts.begin()) {
        --it;
        if (matches_at(text, *it, what, ignore_case) && is_start(starts, *it + what.size()))
            return static_cast<long>(*it) + 1;
    }
    return -1;
}

std::string text_replace(std::string_view text, std::string_view what, std::string_view with, long start, long count,
                         bool case_sensitive) {
    if (what.empty() || count == 0 || text.empty())
        return std::string(text);
    if (start < 1)
        start = 1;
    if (static_cast<Size>(start) > text.size())
        return std::string(text);
    const auto starts = char_starts(text);
    std::string out;
    out.reserve(text.size());
    Size copied = 0;
    Size from = static_cast<Size>(start - 1);
    for (long done = 0; count < 0 || done < count; ++done) {
        Size found = find_from(text, starts, what, from, !case_sensitive);
        if (found == std::string_view::npos)
            break;
        out.append(text.substr(copied, found - copied));
        out.append(with);
        copied = from = found + what.size();
    }
    out.append(text.substr(copied));
    return out;
}

std::vector<std::string> text_split(std::string_view text, std::string_view separator, long max_pieces) {
    std::vector<std::string> pieces;
    if (text.empty() || max_pieces == 0)
        return pieces;
    if (separator.empty()) {
        pieces.emplace_back(text);
        return pieces;
    }
    const auto starts = char_starts(text);
    Size from = 0;
    while (max_pieces < 0 || static_cast<long>(pieces.size()) < max_pieces) {
        Size found = find_from(text, starts, separator, from, false);
        if (found == std::string_view::npos) {
            if (from < text.size())
                pieces.emplace_back(text.substr(from));
            break;
        }
        pieces.emplace_back(text.substr(from, found - from));
        from = found + separator.size();
    }
    return pieces;
}

std::string text_trim_left(std::string_view text) {
    Size i = 0;
    while (i < text.size()) {
        Size n = char_length(text, i);
        if (!is_blank_at(text, i, n))
            break;
        i += n;
    }
    return std::string(text.substr(i));
}

std::string text_trim_right(std::string_view text) {
    // Scanning forward keeps the end of the last non-blank character, so an A1 byte that is the trail of
    // another character is never taken for half of a full-width space.
    Size keep = 0;
    for (Size i = 0; i < text.size();) {
        Size n = char_length(text, i);
        if (!is_blank_at(text, i, n))
            keep = i + n;
        i += n;
    }
    return std::string(text.substr(0, keep));
}

std::string text_trim(std::string_view text) {
    return text_trim_right(text_trim_left(text));
}

std::string text_upper(std::string_view text) {
    return map_ascii(text, ascii_upper);
}
std::string text_lower(std::string_view text) {
    return map_ascii(text, ascii_lower);
}

std::string text_repeat(long n, std::string_view text) {
    std::string out;
    if (n <= 0 || text.empty())
        return out;
    out.reserve(text.size() * static_cast<Size>(n));
    for (long i = 0; i < n; ++i)
        out.append(text);
    return out;
}

std::string text_spaces(long n) {
    return n <= 0 ? std::string() : std::string(static_cast<Size>(n), ' ');
}

std::string text_char(int code) {
    const char byte = static_cast<char>(code & 0xFF);
    return byte == 0 ? std::string() : std::string(1, byte);
}

int text_char_code(std::string_view text, long position) {
    if (position < 1 || static_cast<Size>(position) > text.size())
        return 0;
    return static_cast<unsigned char>(text[static_cast<Size>(position - 1)]);
}

int text_compare(std::string_view a, std::string_view b, bool case_sensitive) {
    if (!case_sensitive)
        return text_compare(text_lower(a), text_lower(b), true);
    // Bytes compare unsigned, so GBK characters sort after ASCII.
    const int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool text_starts_with(std::string_view text, std::string_view prefix) {
    return text.starts_with(prefix);
}

std::string bool_to_text(bool value) {
    return value ? "\xD5\xE6" : "\xBC\xD9";
}

long long text_to_integer(std::string_view text) {
    Size i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        // Saturate instead of overflowing on absurdly long digit runs.
        if (value > (LLONG_MAX - digit) / 10)
            return negative ? LLONG_MIN : LLONG_MAX;
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

std::string text_up_to_nul(std::string_view bytes) {
    Size nul = bytes.find('\0');
    return std::string(bytes.substr(0, nul));
}

} // namespace velpic
