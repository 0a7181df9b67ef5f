#include "upload/forge_json_body.h"

#include "upload/encoders.h"

#include <algorithm>
#include <cstring>

namespace velpic {

void ForgeJsonBody::add(Piece piece) {
    piece.start = size_;
    size_ += piece.size;
    pieces_.push_back(std::move(piece));
}

void ForgeJsonBody::add_text(std::string utf8) {
    Piece piece;
    piece.size = utf8.size();
    piece.text = std::move(utf8);
    add(std::move(piece));
}

void ForgeJsonBody::add_base64(std::string_view bytes) {
    Piece piece;
    piece.bytes = bytes;
    piece.base64 = true;
    piece.size = base64_length(bytes.size());
    add(std::move(piece));
}

std::size_t ForgeJsonBody::read(std::uint64_t offset, char* out, std::size_t length) const {
    std::size_t written = 0;
    // The first piece that ends after offset; pieces are few (two per picture), and a transport reads forward.
    auto it = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                               [](std::uint64_t at, const Piece& piece) { return at < piece.start + piece.size; });
    for (; it != pieces_.end() && written < length; ++it) {
        const std::uint64_t within = offset + written - it->start;
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(length - written, it->size - within));
        if (it->base64) {
            written += base64_encode_part(it->bytes, within, out + written, wanted);
        } else {
            std::memcpy(out + written, it->text.data() + within, wanted);
            written += wanted;
        }
    }
    return written;
}

} // namespace velpic
