// The fixed formats of an upload: the Base64 text of a picture, the 13-digit upload time and zero padding.
// (GBK to UTF-8 is to_utf8 in runtime/codepage.h.)
#pragma once

#include "runtime/datetime.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velpic {

// Standard Base64 (RFC 4648 section 4) with "=" padding and no line breaks; empty data gives the empty text.
std::string base64_encode(std::string_view data);
// The length of base64_encode(data) for size bytes of data: four characters per started group of three bytes.
std::uint64_t base64_length(std::uint64_t size);
// Writes the characters of base64_encode(data) from offset on into out, at most length of them, and returns how
// many (fewer only at the end of the text): the text of any stretch without encoding what lies before it.
std::size_t base64_encode_part(std::string_view data, std::uint64_t offset, char* out, std::size_t length);

// Whole seconds since the local date-time 1970-01-01 08:00:00 followed by three digits of milliseconds. The
// base is a fixed wall-clock time, not UTC: stored times equal Unix milliseconds only on a UTC+8 clock, and
// records already written rely on exactly that.
std::string upload_timestamp(const LocalClock& clock = local_clock());

// "0" * (width - length) + text; a text as long as width or longer comes back unchanged.
std::string pad_left_zeros(std::string_view text, long width);

} // namespace velpic
