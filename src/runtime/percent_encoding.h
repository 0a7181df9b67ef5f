// Percent-encoding ("%" and two upper-case hexadecimal digits per byte), shared by every address and query the
// program builds; which bytes are encoded is each caller's rule.
#pragma once

#include <string>
#include <string_view>

namespace velpic {

inline void append_percent_escape(std::string& out, unsigned char byte) {
    static constexpr char hex[] = "0123456789ABCDEF";
    out += '%';
    out += hex[byte >> 4];
    out += hex[byte & 0x0F];
}

// text with every byte for which escaped(byte) holds written as %XX, the others as they are.
template <class Escaped> std::string percent_encode_where(std::string_view text, Escaped&& escaped) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (escaped(byte))
            append_percent_escape(out, byte);
        else
            out += c;
    }
    return out;
}

} // namespace velpic
