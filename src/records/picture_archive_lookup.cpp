#include "records/picture_archive_lookup.h"

#include "runtime/files.h"
#include "runtime/gbk_text.h"

#include <algorithm>
#include <string>
#include <vector>

namespace velpic {

std::optional<std::filesystem::path> archived_picture_file(const std::filesystem::path& program_dir,
                                                           std::string_view digest, std::string_view type) {
    if (digest.size() != 32 || !std::all_of(digest.begin(), digest.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        }))
        return std::nullopt;
    const std::string name = text_lower(digest);
    std::vector<std::string> types = {".png", ".jpg", ".jpeg", ".gif", ".webp"};
    const std::string own = text_lower(type);
    if (const auto it = std::find(types.begin(), types.end(), own); it != types.end())
        std::rotate(types.begin(), it, it + 1);
    const std::filesystem::path folder =
        program_dir / std::filesystem::path(u8"图片存档") / std::filesystem::path(name.substr(0, 2));
    for (const std::string& extension : types) {
        std::filesystem::path file = folder / (name + extension);
        if (file_exists(file))
            return file;
    }
    return std::nullopt;
}

} // namespace velpic
