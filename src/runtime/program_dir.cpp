#include "runtime/program_dir.h"

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace velpic {
namespace {

std::mutex override_mutex;
std::optional<std::filesystem::path> override_dir;

std::filesystem::path cleaned(const std::filesystem::path& dir) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(dir, error);
    if (error)
        absolute = dir;
    absolute = absolute.lexically_normal();
    // "a/b/" normalises to "a/b/" with an empty last element; drop it so callers can append a file name.
    std::string text = absolute.native();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return std::filesystem::path(text);
}

// The desktop entry as seen from the bin directory of an install prefix; the build passes the layout it installs.
#ifndef VELPIC_INSTALL_MARKER
#define VELPIC_INSTALL_MARKER "../share/applications/io.github.velpic.Velpic.desktop"
#endif

const char* absolute_from_environment(const char* name) {
    const char* value = std::getenv(name);
    // A relative XDG directory is invalid and ignored, so a file never lands wherever the program was started.
    return value != nullptr && std::filesystem::path(value).is_absolute() ? value : nullptr;
}

} // namespace

std::filesystem::path program_dir() {
    {
        std::lock_guard guard(override_mutex);
        if (override_dir)
            return *override_dir;
    }
    const char* from_environment = std::getenv("VELPIC_DATA_DIR");
    if (from_environment != nullptr && *from_environment != '\0')
        return cleaned(from_environment);
    static const std::filesystem::path by_default = default_program_dir(executable_dir());
    return by_default;
}

bool create_program_dir(std::error_code& error) {
    return create_private_directories(program_dir(), error);
}

bool runs_from_install_prefix(const std::filesystem::path& executable_dir) {
    std::error_code error;
    return std::filesystem::is_regular_file(executable_dir / VELPIC_INSTALL_MARKER, error);
}

std::filesystem::path default_program_dir(const std::filesystem::path& executable_dir) {
    if (!runs_from_install_prefix(executable_dir))
        return cleaned(executable_dir);
    std::filesystem::path config_home;
    if (const char* xdg = absolute_from_environment("XDG_CONFIG_HOME"))
        config_home = xdg;
    else if (std::filesystem::path home = user_home_dir(); !home.empty())
        config_home = home / ".config";
    else
        return cleaned(executable_dir); // no home directory to speak of: beside the program is all that is left
    return cleaned(config_home / "velpic");
}

void set_program_dir(const std::filesystem::path& dir) {
    std::filesystem::path value = cleaned(dir);
    std::lock_guard guard(override_mutex);
    override_dir = std::move(value);
}

bool set_program_dir_from_args(int& argc, char** argv) {
    static constexpr std::string_view option = "--data-dir";
    bool found = false;
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        std::string_view argument = argv[i] ? argv[i] : "";
        if (i > 0 && argument == option) {
            // A trailing "--data-dir" without a directory is dropped without changing anything.
            if (i + 1 < argc && argv[i + 1] != nullptr) {
                set_program_dir(argv[i + 1]);
                found = true;
            }
            ++i;
            continue;
        }
        if (i > 0 && argument.size() > option.size() + 1 && argument.substr(0, option.size()) == option &&
            argument[option.size()] == '=') {
            set_program_dir(std::string(argument.substr(option.size() + 1)));
            found = true;
            continue;
        }
        argv[kept++] = argv[i];
    }
    argc = kept;
    argv[argc] = nullptr;
    return found;
}

} // namespace velpic
