// Reading a picture or record file through the POSIX calls: only they can open a path without blocking on a FIFO
// and then check what was opened.
#include "runtime/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace velpic {

FileRead read_regular_file(const std::filesystem::path& path, std::uint64_t max_bytes) {
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
    bool failed = false;
    while (filled < bytes.size()) {
        ssize_t n = ::read(fd, bytes.data() + filled, bytes.size() - filled);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failed = n < 0;
            break;
        }
        filled += static_cast<std::size_t>(n);
    }
    bytes.resize(filled);
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

namespace {

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

} // namespace

bool replace_file_atomically(const std::filesystem::path& path, std::string_view bytes) {
    struct stat old_status {};
    if (::stat(path.c_str(), &old_status) != 0 || !S_ISREG(old_status.st_mode))
        return false;
    static std::atomic<unsigned> counter{0};
    std::filesystem::path temp = path;
    temp += ".velpic-tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    // The replacement keeps the permissions of the file it replaces; a mode it cannot take is no reason to fail.
    (void)::fchmod(fd, old_status.st_mode & 07777);
    bool ok = write_all_bytes(fd, bytes) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok)
        ok = ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself lasts only once the directory is on disk.
    std::filesystem::path directory = path.parent_path();
    if (directory.empty())
        directory = ".";
    const int dir_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        (void)::fsync(dir_fd);
        ::close(dir_fd);
    }
    return true;
}

} // namespace velpic
