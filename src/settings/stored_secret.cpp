#include "settings/stored_secret.h"

#include "runtime/percent_encoding.h"
#include "settings/settings_cipher.h"

namespace velpic {

namespace {

constexpr char hex_form_mark = '-';

bool is_edge_byte(unsigned char byte) {
    return byte <= 0x20 || byte == '"' || byte == '\'' || byte == 0x7F;
}

bool parse_hex(std::string_view hex, std::string& out) {
    if (hex.size() % 2 != 0)
        return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = hex_digit_value(hex[i]);
        const int low = hex_digit_value(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out.push_back(static_cast<char>(high * 16 + low));
    }
    return true;
}

std::string up_to_nul(std::string text) {
    const auto nul = text.find('\0');
    if (nul != std::string::npos)
        text.resize(nul);
    return text;
}

} // namespace

bool survives_ini_line(std::string_view value) {
    if (value.empty())
        return true;
    for (char c : value) {
        if (c == '\0' || c == '\r' || c == '\n' || c == '\x1A')
            return false;
    }
    return !is_edge_byte(static_cast<unsigned char>(value.front())) &&
           !is_edge_byte(static_cast<unsigned char>(value.back()));
}

std::string encode_stored_secret(std::string_view plain) {
    const std::string cipher = rc4_transform(plain, settings_key);
    // A raw value starting with the mark would read back as the hexadecimal form, so it takes that form too;
    // only a plain text starting with a zero byte enciphers so, and it reads back empty either way.
    if (survives_ini_line(cipher) && (cipher.empty() || cipher.front() != hex_form_mark))
        return cipher;
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out(1, hex_form_mark);
    for (unsigned char byte : cipher) {
        out.push_back(digits[byte >> 4]);
        out.push_back(digits[byte & 0x0F]);
    }
    return out;
}

std::string decode_stored_secret(std::string_view stored) {
    std::string cipher;
    if (stored.size() > 1 && stored.front() == hex_form_mark && parse_hex(stored.substr(1), cipher))
        return up_to_nul(rc4_transform(cipher, settings_key));
    return up_to_nul(rc4_transform(stored, settings_key));
}

} // namespace velpic
