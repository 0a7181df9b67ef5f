#include "upload/contents_request_body.h"

#include "runtime/codepage.h"
#include "upload/contents_api.h"
#include "upload/encoders.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace velpic {

namespace {

// A piece of the body that is held as text: the part of it from offset on, within length.
std::size_t copy_from(std::string_view piece, std::uint64_t offset, char* out, std::size_t length) {
    if (offset >= piece.size())
        return 0;
    const std::size_t count = std::min<std::size_t>(length, piece.size() - static_cast<std::size_t>(offset));
    std::memcpy(out, piece.data() + offset, count);
    return count;
}

} // namespace

// The escaped texts end on whole characters (json_string_escape turns a stray lead byte into "?"), so converting
// them one by one gives the bytes that converting the whole body at once gave.
ContentsRequestBody::ContentsRequestBody(const std::string& access_token, std::string_view file_bytes,
                                         const std::string& message)
    : head_("{\"access_token\":\"" + to_utf8(json_string_escape(access_token)) + "\",\r\n\"content\":\""),
      bytes_(file_bytes), content_size_(base64_length(file_bytes.size())),
      tail_("\",\r\n\"message\":\"" + to_utf8(json_string_escape(message)) + "\"}") {}

ContentsRequestBody::ContentsRequestBody(Pieces, std::string head, std::string_view file_bytes, std::string tail)
    : head_(std::move(head)), bytes_(file_bytes), content_size_(base64_length(file_bytes.size())),
      tail_(std::move(tail)) {}

ContentsRequestBody ContentsRequestBody::around(std::string head, std::string_view file_bytes, std::string tail) {
    return ContentsRequestBody(Pieces{}, std::move(head), file_bytes, std::move(tail));
}

std::uint64_t ContentsRequestBody::size() const {
    return head_.size() + content_size_ + tail_.size();
}

std::size_t ContentsRequestBody::read(std::uint64_t offset, char* out, std::size_t length) const {
    std::size_t written = 0;
    if (offset < head_.size())
        written += copy_from(head_, offset, out, length);
    const std::uint64_t content_start = head_.size();
    const std::uint64_t tail_start = content_start + content_size_;
    if (written < length && offset + written < tail_start)
        written += base64_encode_part(bytes_, offset + written - content_start, out + written, length - written);
    if (written < length)
        written += copy_from(tail_, offset + written - tail_start, out + written, length - written);
    return written;
}

} // namespace velpic
