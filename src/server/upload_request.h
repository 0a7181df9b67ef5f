// The three bodies of POST /upload turned into items: an empty body (the clipboard), a JSON body
// {"list": [path, file:// address or http(s) address, ...]}, and a form whose parts with a file name carry the
// pictures.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velpic {

struct RequestItem {
    enum class Kind { file, address, bytes, refused };
    Kind kind = Kind::refused;
    std::string name;      // UTF-8: the path or address as sent, or the part's file name
    std::string path;      // Kind::file: the absolute path it names (UTF-8)
    std::string bytes;     // Kind::bytes: the part's content
    std::string extension; // Kind::bytes: from the file name, or from the signature when the name has none
    std::string reason;    // Kind::refused: why (GBK)
};

struct UploadRequest {
    bool clipboard = false;
    std::vector<RequestItem> items;
    std::string error; // UTF-8: the body as a whole cannot be taken (malformed JSON); no items then
};

// JSON nested deeper than this is refused before it is parsed.
inline constexpr std::size_t kMaxJsonDepth = 64;

// A non-empty body that is not a form. Entries that are neither an absolute path, a file:// address nor an
// http(s) address, or not texts at all, become refused items in their place.
UploadRequest parse_json_request(const std::string& body);

// A multipart/form-data body: every part that carries a file name (or, without one, is named "files"), in form
// order. body is taken over: the largest part keeps its buffer, so that the request holds the body's bytes once.
UploadRequest form_request(std::string body, const std::string& boundary);

// The absolute path a file:// address names ("file:///tmp/a%20b.png" or "file://localhost/tmp/a.png"), decoded;
// empty when it is not one.
std::string file_address_path(const std::string& address);

} // namespace velpic
