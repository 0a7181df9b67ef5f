// The head of an HTTP/1.x request (request line and header lines), parsed from the bytes before the blank line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velpic {

struct HttpHead {
    std::string method;
    std::string target;                                       // as sent: path and query
    std::string path;                                         // the target up to "?" (not decoded)
    std::string version;                                      // "HTTP/1.1" or "HTTP/1.0"
    std::vector<std::pair<std::string, std::string>> headers; // in order, values trimmed

    // The first header of that name (any letter case), or empty.
    std::string header(std::string_view name) const;
    bool has_header(std::string_view name) const;
    // The decoded value of a query parameter ("+" is a space), and whether it is there at all.
    std::string query_value(std::string_view name, bool* present = nullptr) const;
    // HTTP/1.1 without "Connection: close", or HTTP/1.0 with "Connection: keep-alive".
    bool keeps_alive() const;
};

// Where the head ends in buffer: the offset just past its "\r\n\r\n", or 0 while it has not arrived.
std::size_t head_end(std::string_view buffer, std::size_t searched_from = 0);

// Gathers a request head from bytes that arrive in any split, as the listener reads them, within its bounds: the
// same bytes give the same outcome whatever the pieces.
class HeadGatherer {
public:
    enum class State { more, complete, too_large };

    HeadGatherer(std::size_t max_header_lines, std::size_t max_head_bytes)
        : max_header_lines_(max_header_lines), max_head_bytes_(max_head_bytes) {}

    // in: every byte received and not yet taken, the newest appended. Empty lines before the request line are
    // dropped from in. complete: the head is in[0, size()), through its blank line.
    State gather(std::string& in);
    std::size_t size() const { return end_; }
    // For the next request on the connection.
    void reset() { *this = HeadGatherer(max_header_lines_, max_head_bytes_); }

private:
    std::size_t max_header_lines_;
    std::size_t max_head_bytes_;
    bool started_ = false;    // a byte of the request line has come
    std::size_t scanned_ = 0; // of in, searched for the end of the head
    std::size_t newlines_ = 0; // in in[0, scanned_)
    std::size_t end_ = 0;
};

// text: the head without its final "\r\n\r\n". False when it is not a request head, when Host, Origin or
// Content-Length stands twice, and for HTTP/1.1 without Host.
bool parse_head(std::string_view text, HttpHead& head);


bool same_letters(std::string_view a, std::string_view b); // equal ignoring ASCII letter case

} // namespace velpic
