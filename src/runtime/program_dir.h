// The directory that holds the settings and record files: beside the executable unless moved by
// "--data-dir DIR" or the environment variable VELPIC_DATA_DIR. Paths are UTF-8 file-system paths.
#pragma once

#include <filesystem>

namespace velpic {

// Absolute, without a trailing separator. Order: set_program_dir / --data-dir, then VELPIC_DATA_DIR, then the
// directory of /proc/self/exe. The directory is not created.
std::filesystem::path program_dir();

// Overrides the directory for the rest of the run (relative paths are made absolute now).
void set_program_dir(const std::filesystem::path& dir);

// Handles "--data-dir DIR" and "--data-dir=DIR": sets the directory and removes those arguments from argv
// (argc shrinks, argv[argc] stays null); every other argument is left in place. Returns whether one was found.
bool set_program_dir_from_args(int& argc, char** argv);

} // namespace velpic
