// Bytes written as hexadecimal digits, the form digests are named and compared in.
#pragma once

#include <string>
#include <string_view>

namespace velpic {

// Two lower-case hexadecimal digits per byte.
inline std::string lower_hex(std::string_view bytes) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text.push_back(hex[byte >> 4]);
        text.push_back(hex[byte & 0x0F]);
    }
    return text;
}

} // namespace velpic
