// Reading a picture or record file through the POSIX calls: only they can open a path without blocking on a FIFO
// and then check what was opened.
#include "runtime/files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>

namespace velpic {

namespace {

// Reads into buffer until size bytes are there or the file ends; false when reading fails.
bool read_up_to(int fd, char* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool is_non_regular_file(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
}

FileRead read_regular_file(const std::filesystem::path& path, std::uint64_t max_bytes, std::size_t head_size,
                           const FileHeadCheck& accept_head) {
    FileRead result;
    // Non-blocking, so that opening a FIFO returns at once; the check below then refuses it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return result;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        ::close(fd);
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.status = FileReadStatus::not_regular;
        ::close(fd);
        return result;
    }
    result.size = static_cast<std::uint64_t>(info.st_size);
    if (result.size > max_bytes) {
        result.status = FileReadStatus::too_large;
        ::close(fd);
        return result;
    }
    // One buffer of the announced size, filled in place: the picture is never copied while it is read.
    std::string bytes(static_cast<std::size_t>(result.size), '\0');
    std::size_t filled = 0;
    if (accept_head) {
        // The head alone first, so that a file the caller refuses is not read any further (a secret behind a link
        // named like a picture, say). Files under /proc announce no size: the head may pass the announced end.
        std::string head(static_cast<std::size_t>(std::min<std::uint64_t>(head_size, max_bytes)), '\0');
        std::size_t got = 0;
        if (!read_up_to(fd, head.data(), head.size(), got)) {
            ::close(fd);
            return result;
        }
        head.resize(got);
        if (!head.empty() && !accept_head(head)) {
            result.status = FileReadStatus::refused_head;
            ::close(fd);
            return result;
        }
        if (bytes.size() < got)
            bytes.resize(got);
        bytes.replace(0, got, head);
        filled = got;
    }
    std::size_t got = 0;
    bool failed = !read_up_to(fd, bytes.data() + filled, bytes.size() - filled, got);
    bytes.resize(filled + got);
    // A file may have grown since, or announce no size at all (files under /proc): read on, within the limit.
    char chunk[65536];
    while (!failed) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failed = n < 0;
            break;
        }
        if (bytes.size() + static_cast<std::uint64_t>(n) > max_bytes) {
            result.status = FileReadStatus::too_large;
            result.size = bytes.size() + static_cast<std::uint64_t>(n);
            ::close(fd);
            return result;
        }
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (failed)
        return result;
    result.status = FileReadStatus::ok;
    result.size = bytes.size();
    result.bytes = std::move(bytes);
    return result;
}

bool read_file_at(int fd, char* buffer, std::size_t size, std::int64_t offset, std::size_t& got) {
    got = 0;
    while (got < size) {
        const ssize_t count =
            ::pread(fd, buffer + got, size - got, static_cast<off_t>(offset) + static_cast<off_t>(got));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return false;
        if (count == 0)
            break;
        got += static_cast<std::size_t>(count);
    }
    return true;
}

bool write_all_bytes(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

namespace {

// The name of a temporary file beside path: the file's own name with mark after it. Where the whole would pass the
// longest name a directory takes (a note titled in 80 Chinese characters), the file's name is cut short before its
// extension, on a character's first byte, so the temporary file still tells whose it is.
std::filesystem::path temporary_beside(const std::filesystem::path& path, const std::string& mark) {
    std::string name = path.filename().string();
    if (name.size() + mark.size() > NAME_MAX) {
        std::string extension = path.extension().string();
        if (extension.size() > 16)
            extension.clear();
        std::size_t keep = NAME_MAX - mark.size() - extension.size();
        while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80)
            --keep;
        name = name.substr(0, keep) + extension;
    }
    return path.parent_path() / (name + mark);
}

// A temporary file beside path holding bytes, with path's permissions, flushed when asked; empty on failure.
std::filesystem::path write_temporary_beside(const std::filesystem::path& path, std::string_view bytes, bool flush) {
    struct stat old_status {};
    if (::stat(path.c_str(), &old_status) != 0 || !S_ISREG(old_status.st_mode))
        return {};
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path temp = temporary_beside(
        path, ".velpic-tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1)));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return {};
    // The replacement keeps the permissions of the file it replaces; a mode it cannot take is no reason to fail.
    (void)::fchmod(fd, old_status.st_mode & 07777);
    bool ok = write_all_bytes(fd, bytes) && (!flush || ::fsync(fd) == 0);
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(temp.c_str());
        return {};
    }
    return temp;
}

std::filesystem::path directory_of(const std::filesystem::path& path) {
    std::filesystem::path directory = path.parent_path();
    return directory.empty() ? std::filesystem::path(".") : directory;
}

void flush_directory(const std::filesystem::path& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

// One syncfs per file system the paths' directories are on; false when one fails.
bool flush_file_systems(const std::vector<std::filesystem::path>& directories) {
    std::vector<dev_t> done;
    bool ok = true;
    for (const std::filesystem::path& directory : directories) {
        struct stat status {};
        if (::stat(directory.c_str(), &status) != 0)
            return false;
        if (std::find(done.begin(), done.end(), status.st_dev) != done.end())
            continue;
        done.push_back(status.st_dev);
        const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return false;
        ok = ::syncfs(fd) == 0 && ok;
        ::close(fd);
    }
    return ok;
}

} // namespace

bool replace_file_atomically(const std::filesystem::path& path, std::string_view bytes) {
    const std::filesystem::path temp = write_temporary_beside(path, bytes, true);
    if (temp.empty())
        return false;
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself lasts only once the directory is on disk.
    flush_directory(directory_of(path));
    return true;
}

FileReplacementBatch::~FileReplacementBatch() {
    for (const Staged& staged : staged_)
        ::unlink(staged.temporary.c_str());
}

bool FileReplacementBatch::stage(const std::filesystem::path& path, std::string_view bytes) {
    std::filesystem::path temp = write_temporary_beside(path, bytes, false);
    if (temp.empty())
        return false;
    staged_.push_back({path, std::move(temp)});
    return true;
}

std::vector<bool> FileReplacementBatch::commit(const std::function<bool(std::size_t index)>& still_wanted) {
    std::vector<Staged> staged = std::move(staged_);
    staged_.clear();
    std::vector<bool> replaced(staged.size(), false);
    std::vector<std::filesystem::path> directories;
    for (const Staged& file : staged)
        directories.push_back(directory_of(file.path));
    std::sort(directories.begin(), directories.end());
    directories.erase(std::unique(directories.begin(), directories.end()), directories.end());
    // Every new content is on disk before the first rename, so no rename can expose a file half written.
    const bool flushed = flush_file_systems(directories);
    for (std::size_t i = 0; i < staged.size(); ++i) {
        if (flushed && still_wanted(i) && ::rename(staged[i].temporary.c_str(), staged[i].path.c_str()) == 0)
            replaced[i] = true;
        else
            ::unlink(staged[i].temporary.c_str());
    }
    (void)flush_file_systems(directories);
    return replaced;
}

} // namespace velpic
