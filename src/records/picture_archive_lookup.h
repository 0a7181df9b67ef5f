// Where the local picture archive keeps a picture, found by its digest: "图片存档/ab/ab12…ef.png" under the program
// directory, the folder named by the digest's first two hex digits. Only looks; the archive is written elsewhere.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace velpic {

// The archived file of the picture with this digest (32 hex digits, either case) and record type (".png" ...),
// or nullopt when the archive does not hold it or the digest is not one (it never names a path outside the
// archive). The record's type is tried first, then the other picture types; a copy's extension may be in any letter
// case (it keeps the case of the name uploaded).
std::optional<std::filesystem::path> archived_picture_file(const std::filesystem::path& program_dir,
                                                           std::string_view digest, std::string_view type);

} // namespace velpic
