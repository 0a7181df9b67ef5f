// Whole-file and line-by-line file access with the program's failure conventions (false / empty, never throws).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace velpic {

// True when something other than a directory exists at path.
bool file_exists(const std::filesystem::path& path);
// True when a file was removed; false when there was none or it could not be removed.
bool delete_file(const std::filesystem::path& path);
// The file's bytes; empty when the file is missing or unreadable, or is not a regular file.
std::string read_whole_file(const std::filesystem::path& path);

enum class FileReadStatus { ok, unreadable, not_regular, too_large };

struct FileRead {
    FileReadStatus status = FileReadStatus::unreadable;
    std::string bytes;      // when ok
    std::uint64_t size = 0; // the file's size, also when too large
};

// The bytes of a regular file of at most max_bytes bytes. A FIFO, a device or a directory is refused without
// waiting for it, and a larger file before anything is read.
FileRead read_regular_file(const std::filesystem::path& path, std::uint64_t max_bytes);

// Up to size bytes of an open file from offset on, into buffer; got tells how many (fewer at the end of the file).
// False when reading fails.
bool read_file_at(int fd, char* buffer, std::size_t size, std::int64_t offset, std::size_t& got);

// Reads a file one line at a time: the bytes up to a line feed, without it and without one carriage return
// before it. A zero byte or the byte 0x1A ends the file, like the real end. Other readers and writers are not
// locked out while the file is open.
class LineReader {
public:
    LineReader() = default;
    explicit LineReader(const std::filesystem::path& path) { open(path); }
    ~LineReader() { close(); }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    bool open(const std::filesystem::path& path);
    bool is_open() const { return file_ != nullptr; }
    // Fills line and returns true, or returns false at the end of the file (line is then empty).
    bool read_line(std::string& line);
    // True when no further line follows (also when the file is not open).
    bool at_end();
    void close();

private:
    std::FILE* file_ = nullptr;
    bool ended_ = false;
};

} // namespace velpic
