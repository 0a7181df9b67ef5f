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
    // A copy keeps the letter case of the name uploaded ("IMG_1.PNG" leaves <digest>.PNG): the record's type as it
    // stands first, then each type in lower case, and only then the folder's listing, for any other spelling.
    if (std::find(types.begin(), types.end(), own) != types.end() && own != type)
        if (std::filesystem::path file = folder / (name + std::string(type)); file_exists(file))
            return file;
    for (const std::string& extension : types) {
        std::filesystem::path file = folder / (name + extension);
        if (file_exists(file))
            return file;
    }
    std::vector<std::filesystem::path> spelt(types.size());
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::u8string file_name = it->path().filename().u8string();
        const std::string file(file_name.begin(), file_name.end());
        if (!file.starts_with(name))
            continue;
        const auto found = std::find(types.begin(), types.end(), text_lower(file.substr(name.size())));
        if (found != types.end() && file_exists(it->path()))
            spelt[static_cast<std::size_t>(found - types.begin())] = it->path();
    }
    for (const std::filesystem::path& file : spelt)
        if (!file.empty())
            return file;
    return std::nullopt;
}

} // namespace velpic
