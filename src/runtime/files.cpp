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

bool LineReader::open(const std::filesystem::path& path) {
    close();
    file_ = std::fopen(path.c_str(), "rb");
    ended_ = false;
    return file_ != nullptr;
}

bool LineReader::at_end() {
    if (file_ == nullptr || ended_)
        return true;
    int byte = getc_unlocked(file_);
    if (byte == EOF || byte == 0 || byte == 0x1A) {
        ended_ = true;
        return true;
    }
    ungetc(byte, file_);
    return false;
}

bool LineReader::read_line(std::string& line) {
    line.clear();
    if (at_end())
        return false;
    for (;;) {
        int byte = getc_unlocked(file_);
        if (byte == EOF || byte == 0 || byte == 0x1A) {
            ended_ = true;
            break;
        }
        if (byte == '\n')
            break;
        line.push_back(static_cast<char>(byte));
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

void LineReader::close() {
    if (file_ != nullptr)
        std::fclose(file_);
    file_ = nullptr;
    ended_ = false;
}

} // namespace velpic
