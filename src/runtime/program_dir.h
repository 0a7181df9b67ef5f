// The directory that holds the settings and record files: beside the executable in a build tree, in the user's
// configuration directory when installed, unless moved by "--data-dir DIR" or VELPIC_DATA_DIR. UTF-8 paths.
#pragma once

#include <filesystem>
#include <system_error>

namespace velpic {

// Absolute, without a trailing separator. Order: set_program_dir / --data-dir, then VELPIC_DATA_DIR, then
// default_program_dir(executable_dir()). The directory is not created.
std::filesystem::path program_dir();

// Overrides the directory for the rest of the run (relative paths are made absolute now).
void set_program_dir(const std::filesystem::path& dir);

// Handles "--data-dir DIR" and "--data-dir=DIR": sets the directory and removes those arguments from argv
// (argc shrinks, argv[argc] stays null); every other argument is left in place. Returns whether one was found.
bool set_program_dir_from_args(int& argc, char** argv);

// Creates program_dir() and any missing parent. Every directory made here is private to the user (0700):
// the settings hold the access token. An existing directory keeps its mode.
bool create_program_dir(std::error_code& error);

// A folder of the program's own inside program_dir (the archive and its sub-folders), before the program writes into
// it: made 0700 when missing; one an older version left open to others is narrowed to 0700 now. Only a folder of
// this user, inside program_dir and reached from it without a symbolic link, is narrowed: program_dir itself (the
// executable's directory, a --data-dir of the user's), a folder outside it or behind a link, and a folder of another
// user keep their modes, and are written into as they are.
enum class PrivateFolder {
    ready,
    not_made,     // missing and not creatable, or something else in its place; error tells why
    not_narrowed, // ours and open to others, and chmod failed; error tells why
};
PrivateFolder make_private_folder(const std::filesystem::path& program_dir, const std::filesystem::path& folder,
                                  std::error_code& error);

// An executable runs from an install prefix when it sits in the prefix's bin directory and the prefix holds
// the program's desktop entry (share/applications/<application id>.desktop), as an install and the package
// lay them out. A build tree has neither, so an executable there keeps its files beside it.
bool runs_from_install_prefix(const std::filesystem::path& executable_dir);

// Without an override: the executable's directory, or, when installed, "velpic" in the user's configuration
// directory ($XDG_CONFIG_HOME when absolute, else $HOME/.config). Reads the environment on every call.
std::filesystem::path default_program_dir(const std::filesystem::path& executable_dir);

// Platform parts.
std::filesystem::path executable_dir(); // of the running process
std::filesystem::path user_home_dir();  // $HOME, else the account's home; empty when neither is known
bool create_private_directories(const std::filesystem::path& dir, std::error_code& error);

} // namespace velpic
