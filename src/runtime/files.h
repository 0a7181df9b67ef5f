// Whole-file and positioned file access with the program's failure conventions (false / empty, never throws).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velpic {

// True when something other than a directory exists at path.
bool file_exists(const std::filesystem::path& path);
// True when a file was removed; false when there was none or it could not be removed.
bool delete_file(const std::filesystem::path& path);
// True when something that is not a regular file (a FIFO, a device, a directory, a socket) is at path, links
// followed; found without opening it, so nothing blocks. False when nothing is there.
bool is_non_regular_file(const std::filesystem::path& path);
// The file's bytes; empty when the file is missing or unreadable, or is not a regular file.
std::string read_whole_file(const std::filesystem::path& path);

enum class FileReadStatus { ok, unreadable, not_regular, too_large, refused_head };

struct FileRead {
    FileReadStatus status = FileReadStatus::unreadable;
    std::string bytes;      // when ok
    std::uint64_t size = 0; // the file's size, also when too large
};

// Judges the first bytes of a file (up to the size asked for; fewer only when the file is shorter).
using FileHeadCheck = std::function<bool(std::string_view head)>;

// The bytes of a regular file of at most max_bytes bytes. A FIFO, a device or a directory is refused without
// waiting for it, and a larger file before anything is read. With accept_head, the first head_size bytes are read
// alone and judged first: a file they do not satisfy is refused (refused_head) with nothing more read. An empty
// file has no head to judge and reads as ok and empty.
FileRead read_regular_file(const std::filesystem::path& path, std::uint64_t max_bytes, std::size_t head_size = 0,
                           const FileHeadCheck& accept_head = {});

// Writes all of bytes to an open file, going on after interruptions and short writes. False when a write fails.
bool write_all_bytes(int fd, std::string_view bytes);

// Up to size bytes of an open file from offset on, into buffer; got tells how many (fewer at the end of the file).
// False when reading fails.
bool read_file_at(int fd, char* buffer, std::size_t size, std::int64_t offset, std::size_t& got);

// Replaces the bytes of an existing regular file in one step: a temporary file beside it (same directory, so the
// rename cannot cross file systems) is written, flushed to disk and renamed over it, and the directory is flushed.
// A crash leaves the old bytes or the new ones, never a mix. The file keeps its permissions. False, with the file
// as it was and no temporary file left behind, when any step fails.
bool replace_file_atomically(const std::filesystem::path& path, std::string_view bytes);

// Many files replaced as replace_file_atomically replaces one, with two flushes of each file system for the whole
// batch instead of two per file (a flush costs milliseconds; a thousand of them, seconds). stage() writes each new
// content into a temporary file beside its file; commit() flushes them all to disk at once, renames each into
// place in stage order when still_wanted agrees, and flushes the renames. A crash leaves every file with its old
// bytes or its new ones. Temporary files not renamed are removed, also when the batch is dropped uncommitted.
class FileReplacementBatch {
public:
    FileReplacementBatch() = default;
    ~FileReplacementBatch();
    FileReplacementBatch(const FileReplacementBatch&) = delete;
    FileReplacementBatch& operator=(const FileReplacementBatch&) = delete;

    // False, with nothing staged, when path is no regular file or its temporary file cannot be written.
    bool stage(const std::filesystem::path& path, std::string_view bytes);
    std::size_t size() const { return staged_.size(); }
    // still_wanted(i) is asked for the i-th staged file just before its rename; false leaves that file as it is.
    // Returns, per staged file, whether it now holds its new bytes. The batch is empty afterwards.
    std::vector<bool> commit(const std::function<bool(std::size_t index)>& still_wanted);

private:
    struct Staged {
        std::filesystem::path path;
        std::filesystem::path temporary;
    };
    std::vector<Staged> staged_;
};

} // namespace velpic
