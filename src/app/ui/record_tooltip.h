// What a row of the records page says when the pointer rests on it: digests tell a person nothing, so the upload
// time, how long ago the status was found and, when the local archive holds the picture, a small thumbnail.
#pragma once

#include "records/upload_record.h"

#include <QString>
#include <cstdint>
#include <filesystem>

namespace velpic {

// The longest side of the thumbnail, in pixels.
inline constexpr int kTooltipThumbnailSide = 96;

// checked_at: when the row's status was found (seconds since 1970 UTC), 0 for none. Rich text when a thumbnail
// is shown, plain lines otherwise; empty when there is nothing to say.
QString record_tooltip(const UploadRecord& record, std::int64_t checked_at, std::int64_t now,
                       const std::filesystem::path& program_dir);

} // namespace velpic
