#include "runtime/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace velpic {
namespace {

std::string charset_key(const char* charset) {
    std::string name;
    for (const char* c = charset; *c != '\0'; ++c)
        if (*c != '-' && *c != '_')
            name += static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    return name;
}

// Bytes of one code unit of the input charset: an unreadable UTF-16 unit (a lone surrogate) must be skipped as a
// whole, or every unit after it would be read from the wrong byte.
std::size_t code_unit_size(const std::string& key) {
    if (key.starts_with("UTF16") || key.starts_with("UCS2"))
        return 2;
    if (key.starts_with("UTF32") || key.starts_with("UCS4"))
        return 4;
    return 1;
}

bool is_double_byte_chinese(const std::string& key) {
    return key == "CP936" || key == "GBK" || key == "GB2312" || key == "EUCCN";
}

// How many bytes an unreadable character at the start of rest takes. In GBK a well-formed pair that the code page
// does not map is one character: skipping only its lead byte would read its trail byte as the next lead byte and
// put every later pair out of step.
std::size_t unreadable_length(std::string_view rest, std::size_t unit, bool double_byte) {
    if (double_byte && rest.size() >= 2) {
        const auto lead = static_cast<unsigned char>(rest[0]);
        const auto trail = static_cast<unsigned char>(rest[1]);
        if (lead >= 0x81 && lead <= 0xFE && trail >= 0x40 && trail <= 0xFE && trail != 0x7F)
            return 2;
    }
    return std::min(unit, rest.size());
}

// Converts with iconv, replacing what cannot be converted or decoded by `fallback` and going on,
// so a conversion never fails half-way. Returns false only when the charset pair is unknown.
bool convert(std::string_view input, const char* from, const char* to, std::string_view fallback, std::string& out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    std::string result;
    result.reserve(input.size() * 2);
    const std::string key = charset_key(from);
    const std::size_t unit = code_unit_size(key);
    const bool double_byte = is_double_byte_chinese(key);
    char* in = const_cast<char*>(input.data());
    size_t in_left = input.size();
    char buffer[4096];
    while (in_left > 0) {
        char* dst = buffer;
        size_t dst_left = sizeof buffer;
        size_t rc = iconv(cd, &in, &in_left, &dst, &dst_left);
        result.append(buffer, dst - buffer);
        if (rc == static_cast<size_t>(-1)) {
            if (errno == E2BIG)
                continue;
            // EILSEQ or EINVAL (a truncated sequence at the end): skip one character and go on.
            const std::size_t skip = unreadable_length(std::string_view(in, in_left), unit, double_byte);
            result.append(fallback);
            in += skip;
            in_left -= skip;
        }
    }
    char* dst = buffer;
    size_t dst_left = sizeof buffer;
    iconv(cd, nullptr, nullptr, &dst, &dst_left);
    result.append(buffer, dst - buffer);
    iconv_close(cd);
    out = std::move(result);
    return true;
}

std::string cut_at_nul(std::string text) {
    if (auto nul = text.find('\0'); nul != std::string::npos)
        text.resize(nul);
    return text;
}

} // namespace

std::string to_utf8(std::string_view gbk) {
    // ASCII is the same in both encodings: most texts (digests, addresses, record values) need no converter.
    if (std::all_of(gbk.begin(), gbk.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return std::string(gbk.substr(0, gbk.find('\0')));
    std::string out;
    if (gbk.empty() || !convert(gbk, "CP936", "UTF-8", "?", out))
        return {};
    return cut_at_nul(std::move(out));
}

std::string utf8_to_gbk(std::string_view utf8) {
    std::string out;
    if (utf8.empty() || !convert(utf8, "UTF-8", "CP936//TRANSLIT", "?", out))
        return {};
    return out;
}

std::u16string gbk_to_utf16(std::string_view gbk) {
    std::string bytes;
    if (gbk.empty() || !convert(gbk, "CP936", "UTF-16LE", std::string_view("?\0", 2), bytes))
        return {};
    std::u16string out(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return out;
}

std::string utf16_to_gbk(std::u16string_view utf16) {
    std::string bytes;
    bytes.reserve(utf16.size() * 2);
    for (char16_t unit : utf16) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    std::string out;
    if (bytes.empty() || !convert(bytes, "UTF-16LE", "CP936//TRANSLIT", "?", out))
        return {};
    return out;
}

bool is_valid_utf8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        // Notes are mostly ASCII: eight bytes at a time while none has its high bit set.
        while (i + 8 <= bytes.size()) {
            std::uint64_t word;
            std::memcpy(&word, bytes.data() + i, sizeof word);
            if ((word & 0x8080808080808080ULL) != 0)
                break;
            i += 8;
        }
        if (i >= bytes.size())
            break;
        const auto lead = static_cast<unsigned char>(bytes[i]);
        size_t length = 0;
        unsigned min_code = 0;
        unsigned code = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, min_code = 0x80, code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, min_code = 0x800, code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, min_code = 0x10000, code = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > bytes.size())
            return false;
        for (size_t k = 1; k < length; ++k) {
            const auto trail = static_cast<unsigned char>(bytes[i + k]);
            if ((trail & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (trail & 0x3F);
        }
        if (code < min_code || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

bool charset_to_gbk(std::string_view bytes, const std::string& charset, std::string& out) {
    return convert(bytes, charset.c_str(), "CP936//TRANSLIT", "?", out);
}

} // namespace velpic
