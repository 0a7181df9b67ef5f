// The three bodies of POST /upload turned into items: an empty body (the clipboard), a JSON body
// {"list": [path or address, ...]}, and a form whose parts named "files" carry the pictures.
#pragma once

#include <string>
#include <vector>

namespace velpic {

struct RequestItem {
    enum class Kind { file, address, bytes, refused };
    Kind kind = Kind::refused;
    std::string name;      // UTF-8: the path or address as sent, or the part's file name
    std::string bytes;     // Kind::bytes: the part's content
    std::string extension; // Kind::bytes: from the file name, or from the signature when the name has none
    std::string reason;    // Kind::refused: why (GBK)
};

struct UploadRequest {
    bool clipboard = false;
    std::vector<RequestItem> items;
    std::string error; // UTF-8: the body as a whole cannot be taken (malformed JSON); no items then
};

struct FormPart {
    std::string filename;
    std::string content;
};

// A non-empty body that is not a form. Entries that are neither an absolute path nor an http(s) address, or not
// texts at all, become refused items in their place.
UploadRequest parse_json_request(const std::string& body);

// The parts named "files", in form order.
UploadRequest form_request(std::vector<FormPart> parts);

} // namespace velpic
