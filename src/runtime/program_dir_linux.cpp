#include "runtime/program_dir.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace velpic {

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
