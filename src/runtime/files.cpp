#include "runtime/files.h"

#include <system_error>

namespace velpic {

bool file_exists(const std::filesystem::path& path) {
    std::error_code error;
    auto status = std::filesystem::status(path, error);
    return !error && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

bool delete_file(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error))
        return false;
    return std::filesystem::remove(path, error) && !error;
}

std::string read_whole_file(const std::filesystem::path& path) {
    FileRead read = read_regular_file(path, UINT64_MAX);
    return read.status == FileReadStatus::ok ? std::move(read.bytes) : std::string();
}

} // namespace velpic
