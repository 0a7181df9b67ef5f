#include "server/http_head.h"

#include "runtime/percent_encoding.h"

#include <algorithm>

namespace velpic {

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool is_token_char(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7F && c != ':' && c != '(' && c != ')' && c != ',' && c != ';' && c != '"' && c != '/' &&
           c != '[' && c != ']' && c != '?' && c != '=' && c != '{' && c != '}' && c != '<' && c != '>' && c != '@' &&
           c != '\\';
}

} // namespace

bool same_letters(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

std::string HttpHead::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (same_letters(key, name))
            return value;
    }
    return {};
}

bool HttpHead::has_header(std::string_view name) const {
    for (const auto& entry : headers) {
        if (same_letters(entry.first, name))
            return true;
    }
    return false;
}

std::string HttpHead::query_value(std::string_view name, bool* present) const {
    if (present != nullptr)
        *present = false;
    const auto mark = target.find('?');
    if (mark == std::string::npos)
        return {};
    std::string_view query = std::string_view(target).substr(mark + 1);
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const auto equals = pair.find('=');
        if (percent_decode(pair.substr(0, equals), true) != name)
            continue;
        if (present != nullptr)
            *present = true;
        return equals == std::string_view::npos ? std::string() : percent_decode(pair.substr(equals + 1), true);
    }
    return {};
}

bool HttpHead::keeps_alive() const {
    const std::string connection = header("Connection");
    if (version == "HTTP/1.0")
        return same_letters(connection, "keep-alive");
    return !same_letters(connection, "close");
}

std::size_t head_end(std::string_view buffer, std::size_t searched_from) {
    const std::size_t from = searched_from > 3 ? searched_from - 3 : 0;
    const auto at = buffer.find("\r\n\r\n", from);
    return at == std::string_view::npos ? 0 : at + 4;
}

HeadGatherer::State HeadGatherer::gather(std::string& in) {
    if (!started_) {
        // Empty lines between requests are allowed before a request line; their CR and LF may come in two reads.
        std::size_t skip = 0;
        while (in.compare(skip, 2, "\r\n") == 0)
            skip += 2;
        in.erase(0, skip);
        if (in.empty() || in == "\r")
            return State::more;
        started_ = true;
    }
    end_ = head_end(in, scanned_);
    const std::size_t until = end_ != 0 ? end_ : in.size();
    newlines_ += static_cast<std::size_t>(std::count(in.begin() + static_cast<std::ptrdiff_t>(scanned_),
                                                     in.begin() + static_cast<std::ptrdiff_t>(until), '\n'));
    scanned_ = until;
    // The header lines ended so far: not the request line's break, nor the blank line's. An incomplete head may end
    // inside its final CR LF CR LF, where the last LF counted is the last header line's.
    const std::size_t not_header = end_ != 0 ? 2 : 1;
    const std::size_t header_lines = newlines_ > not_header ? newlines_ - not_header : 0;
    if (header_lines > max_header_lines_ || until > max_head_bytes_)
        return State::too_large;
    return end_ != 0 ? State::complete : State::more;
}

bool parse_head(std::string_view text, HttpHead& head) {
    auto line_end = text.find("\r\n");
    const std::string_view request_line = text.substr(0, line_end);
    const auto first_space = request_line.find(' ');
    const auto last_space = request_line.rfind(' ');
    if (first_space == std::string_view::npos || last_space == first_space)
        return false;
    head.method = std::string(request_line.substr(0, first_space));
    head.target = std::string(request_line.substr(first_space + 1, last_space - first_space - 1));
    head.version = std::string(request_line.substr(last_space + 1));
    if (head.method.empty() || head.target.empty() || (head.version != "HTTP/1.1" && head.version != "HTTP/1.0"))
        return false;
    for (char c : head.method) {
        if (!is_token_char(c))
            return false;
    }
    for (char c : head.target) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F)
            return false;
    }
    head.path = head.target.substr(0, head.target.find('?'));
    while (line_end != std::string_view::npos) {
        const std::size_t start = line_end + 2;
        line_end = text.find("\r\n", start);
        const std::string_view line =
            text.substr(start, line_end == std::string_view::npos ? text.npos : line_end - start);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return false; // folded lines and lines without a name are not taken
        const std::string_view name = line.substr(0, colon);
        for (char c : name) {
            if (!is_token_char(c))
                return false;
        }
        const std::string_view value = trim(line.substr(colon + 1));
        for (char c : value) {
            if (c == '\0' || c == '\r' || c == '\n')
                return false;
        }
        head.headers.emplace_back(std::string(name), std::string(value));
    }
    // Two values of a header that decides who is served or where the body ends leave a proxy and this server reading
    // different requests; HTTP/1.1 requires a Host.
    for (const std::string_view single : {"Host", "Origin", "Content-Length"}) {
        const auto count = std::count_if(head.headers.begin(), head.headers.end(),
                                         [&](const auto& header) { return same_letters(header.first, single); });
        if (count > 1)
            return false;
    }
    return head.version != "HTTP/1.1" || head.has_header("Host");
}

} // namespace velpic
