// The fixed formats of an upload: the Base64 text of a picture, the 13-digit upload time and zero padding.
// (GBK to UTF-8 is to_utf8 in runtime/codepage.h.)
#pragma once

#include "runtime/datetime.h"

#include <string>
#include <string_view>

namespace velpic {

// Standard Base64 (RFC 4648 section 4) with "=" padding and no line breaks; empty data gives the empty text.
std::string base64_encode(std::string_view data);

// Whole seconds since the local date-time 1970-01-01 08:00:00 followed by three digits of milliseconds. The
// base is a fixed wall-clock time, not UTC: stored times equal Unix milliseconds only on a UTC+8 clock, and
// records already written rely on exactly that.
std::string upload_timestamp(const LocalClock& clock = local_clock());

// "0" * (width - length) + text; a text as long as width or longer comes back unchanged.
std::string pad_left_zeros(std::string_view text, long width);

} // namespace velpic
