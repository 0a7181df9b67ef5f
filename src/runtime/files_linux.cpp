// Reading a picture or record file through the POSIX calls: only they can open a path without blocking on a FIFO
// and then check what was opened.
#include "runtime/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

} // namespace velpic
