// The create-file request body of a picture, in UTF-8: {"access_token":"…",CR LF"content":"<Base64>",CR LF
// "message":"…"}. The Base64 text is written while the body is sent, never held whole.
#pragma once

#include "http/request_body.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velpic {

class ContentsRequestBody final : public RequestBody {
public:
    // Token and message are GBK texts; they are escaped as JSON strings and converted to UTF-8 here, once. The
    // Base64 text needs neither (its alphabet is ASCII without quote or backslash). file_bytes is not copied: it
    // must stay alive and unchanged while the body is read.
    ContentsRequestBody(const std::string& access_token, std::string_view file_bytes, const std::string& message);
    // Any JSON body whose one large value is the Base64 text of file_bytes: head (UTF-8) ends with the quote that
    // opens it, tail starts with the quote that closes it.
    static ContentsRequestBody around(std::string head, std::string_view file_bytes, std::string tail);

    std::uint64_t size() const override;
    std::size_t read(std::uint64_t offset, char* out, std::size_t length) const override;

private:
    struct Pieces {};
    ContentsRequestBody(Pieces, std::string head, std::string_view file_bytes, std::string tail);

    std::string head_; // up to and including the quote that opens the content
    std::string_view bytes_;
    std::uint64_t content_size_;
    std::string tail_; // from the quote that closes the content
};

} // namespace velpic
