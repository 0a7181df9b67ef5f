// Conversions between the program's GBK texts and the encodings of the platform boundary (iconv, "CP936").
#pragma once

#include <string>
#include <string_view>

namespace velpic {

// GBK -> UTF-8, no byte-order mark, cut at the first NUL; ASCII comes back unchanged. Never fails:
// bytes that are not valid GBK are converted as well as the converter can.
std::string to_utf8(std::string_view gbk);
// UTF-8 -> GBK; characters GBK lacks become "?".
std::string utf8_to_gbk(std::string_view utf8);
std::u16string gbk_to_utf16(std::string_view gbk);
std::string utf16_to_gbk(std::u16string_view utf16);

// Whether the bytes form well-formed UTF-8 (no overlong forms, no surrogates).
bool is_valid_utf8(std::string_view bytes);

// Re-decodes bytes from a named charset into GBK. Returns false (and leaves out untouched)
// when iconv does not know the charset.
bool charset_to_gbk(std::string_view bytes, const std::string& charset, std::string& out);

} // namespace velpic
