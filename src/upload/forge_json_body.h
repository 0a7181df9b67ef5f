// A JSON request body of several pictures, in UTF-8: text pieces with the Base64 text of each picture's bytes
// between them, written while the body is sent, so several pictures' Base64 never exists at once.
#pragma once

#include "http/request_body.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velpic {

class ForgeJsonBody final : public RequestBody {
public:
    // utf8 is sent as it is.
    void add_text(std::string utf8);
    // The Base64 text of bytes, which are not copied: they must stay alive and unchanged while the body is read.
    void add_base64(std::string_view bytes);

    std::uint64_t size() const override { return size_; }
    std::size_t read(std::uint64_t offset, char* out, std::size_t length) const override;

private:
    struct Piece {
        std::string text;
        std::string_view bytes;
        bool base64 = false;
        std::uint64_t start = 0;
        std::uint64_t size = 0;
    };
    void add(Piece piece);

    std::vector<Piece> pieces_;
    std::uint64_t size_ = 0;
};

} // namespace velpic
