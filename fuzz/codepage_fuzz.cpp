// GBK conversions over any bytes: the output is well-formed, the conversions stay in step (an ASCII byte that is no
// trail byte of a pair comes out as itself, in order, so an escaping backslash never swallows the next byte), and
// the UTF-8 and UTF-16 paths agree.
#include "fuzz_support.h"
#include "runtime/codepage.h"

#include <string>

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

// The ASCII characters of a GBK text that stand alone (not the trail byte of a pair), "?" left out because it
// also stands for anything that could not be converted.
std::string standalone_ascii_of_gbk(std::string_view gbk) {
    std::string out;
    for (std::size_t i = 0; i < gbk.size(); ++i) {
        if (fuzz::is_gbk_pair(gbk, i)) {
            ++i;
            continue;
        }
        auto byte = static_cast<unsigned char>(gbk[i]);
        if (byte < 0x80 && byte != '?')
            out += static_cast<char>(byte);
    }
    return out;
}

// The same for UTF-8, where no ASCII byte is ever part of a longer sequence.
std::string ascii_of(std::string_view text) {
    std::string out;
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x80 && c != '?')
            out += c;
    return out;
}

bool is_subsequence(std::string_view part, std::string_view whole) {
    std::size_t at = 0;
    for (char c : whole)
        if (at < part.size() && part[at] == c)
            ++at;
    return at == part.size();
}

std::string utf16_to_utf8(std::u16string_view units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::uint32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// UTF-16 units of well-formed UTF-8.
std::u16string utf8_to_utf16(std::string_view utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        std::uint32_t cp = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += length;
    }
    return out;
}

std::string cut_at_nul(std::string_view text) {
    return std::string(text.substr(0, text.find('\0')));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 8192)
        return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // GBK -> UTF-8 and UTF-16.
    const std::string utf8 = to_utf8(bytes);
    FUZZ_CHECK(is_valid_utf8(utf8));
    FUZZ_CHECK(ascii_of(utf8) == standalone_ascii_of_gbk(cut_at_nul(bytes)));
    FUZZ_CHECK(cut_at_nul(utf16_to_utf8(gbk_to_utf16(bytes))) == utf8);

    // Back to GBK: the text comes back as it was read, and its ASCII stays in step.
    const std::string gbk = utf8_to_gbk(utf8);
    FUZZ_CHECK(to_utf8(gbk) == utf8);
    FUZZ_CHECK(standalone_ascii_of_gbk(gbk) == ascii_of(utf8));

    // UTF-8 (when the input is that) -> GBK: transliteration may add ASCII, never drop or reorder it.
    if (is_valid_utf8(bytes)) {
        const std::string from_utf8 = utf8_to_gbk(bytes);
        FUZZ_CHECK(is_subsequence(ascii_of(bytes), standalone_ascii_of_gbk(from_utf8)));
        FUZZ_CHECK(utf16_to_gbk(utf8_to_utf16(bytes)) == from_utf8);
    }

    // Charsets named by a server: known ones always convert, and ASCII-compatible ones keep their ASCII in step.
    for (const char* charset : {"UTF-8", "ISO-8859-1", "GB18030", "BIG5"}) {
        std::string out = "unchanged";
        FUZZ_CHECK(charset_to_gbk(bytes, charset, out));
        if (std::string_view(charset) == "ISO-8859-1")
            FUZZ_CHECK(is_subsequence(ascii_of(bytes), standalone_ascii_of_gbk(out)));
    }
    std::string out;
    FUZZ_CHECK(charset_to_gbk(bytes, "UTF-16LE", out));
    const std::string kept = out;
    FUZZ_CHECK(!charset_to_gbk(bytes, "no-such-charset", out) && out == kept);
    return 0;
}
