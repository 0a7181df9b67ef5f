// Making a large picture smaller before it is uploaded: the service shows raw files over 1 MB only to visitors who
// have signed in, so such a picture breaks on a blog. Qt Gui decodes and encodes; no widgets, no display.
#pragma once

#include <cstdint>
#include <string>

namespace velpic {

// Pictures above this size are "over 1 MB".
inline constexpr std::uint64_t kLargePictureBytes = 1024 * 1024;

// A PNG re-encoded at zlib's strongest level (lossless), a JPEG re-encoded at quality 85, each returned only when
// smaller than bytes; anything else (GIF, WebP, an animated PNG, bytes that do not decode) comes back unchanged.
// The same bytes always give the same result, so a picture compressed twice has one digest and one record.
std::string compress_picture(const std::string& bytes);

// compress_picture for a picture over kLargePictureBytes; a smaller one comes back unchanged.
std::string compress_large_picture(const std::string& bytes);

} // namespace velpic
