#include "runtime/program_dir.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <iterator>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace velpic {

namespace {

// Whether folder lies strictly below program_dir with no symbolic link between them (the folder itself is opened
// without following one).
bool inside_without_link(const std::filesystem::path& program_dir, const std::filesystem::path& folder) {
    const std::filesystem::path relative = folder.lexically_normal().lexically_relative(program_dir.lexically_normal());
    if (relative.empty() || relative == "." || *relative.begin() == "..")
        return false;
    std::filesystem::path step = program_dir;
    for (auto part = relative.begin(); part != relative.end() && std::next(part) != relative.end(); ++part) {
        step /= *part;
        struct stat status {};
        if (::lstat(step.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
            return false;
    }
    return true;
}

} // namespace

PrivateFolder make_private_folder(const std::filesystem::path& program_dir, const std::filesystem::path& folder,
                                  std::error_code& error) {
    error.clear();
    if (::mkdir(folder.c_str(), 0700) == 0)
        return PrivateFolder::ready;
    const int made = errno;
    struct stat status {};
    if (made != EEXIST || ::stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        error = std::error_code(made, std::generic_category());
        return PrivateFolder::not_made;
    }
    if (!inside_without_link(program_dir, folder))
        return PrivateFolder::ready;
    // Opened and changed through one descriptor, so a link put in its place meanwhile is never followed.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return PrivateFolder::ready;
    struct stat own {};
    int failure = 0;
    if (::fstat(fd, &own) == 0 && own.st_uid == ::geteuid() && (own.st_mode & 077) != 0 &&
        ::fchmod(fd, own.st_mode & 0700) != 0)
        failure = errno;
    ::close(fd);
    if (failure != 0) {
        error = std::error_code(failure, std::generic_category());
        return PrivateFolder::not_narrowed;
    }
    return PrivateFolder::ready;
}

std::filesystem::path executable_dir() {
    std::error_code error;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || exe.empty())
        return std::filesystem::current_path(error);
    return exe.parent_path();
}

std::filesystem::path user_home_dir() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr || found->pw_dir[0] != '/')
        return {};
    return found->pw_dir;
}

bool create_private_directories(const std::filesystem::path& dir, std::error_code& error) {
    error.clear();
    if (std::filesystem::is_directory(dir, error))
        return true;
    // Outermost missing directory first; mkdir with the mode leaves no moment in which another user could
    // enter a directory that is only later narrowed.
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path part = dir; !part.empty(); part = part.parent_path()) {
        if (std::filesystem::exists(part, error))
            break;
        missing.push_back(part);
        if (part == part.parent_path())
            break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) {
            error = std::error_code(errno, std::generic_category());
            return false;
        }
    }
    if (!std::filesystem::is_directory(dir, error)) {
        if (!error)
            error = std::make_error_code(std::errc::not_a_directory);
        return false;
    }
    return true;
}

} // namespace velpic
