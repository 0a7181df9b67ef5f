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

// The value of a hexadecimal digit of either case; -1 for any other character.
inline int hex_digit_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// text with every "%XX" decoded to its byte; a "%" not followed by two hexadecimal digits stays as it is.
// plus_is_space: "+" reads as a blank, as in a query.
inline std::string percent_decode(std::string_view text, bool plus_is_space = false) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '%' && i + 2 < text.size() ? hex_digit_value(text[i + 1]) : -1;
        const int low = high >= 0 ? hex_digit_value(text[i + 2]) : -1;
        if (low >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else if (text[i] == '+' && plus_is_space) {
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace velpic
