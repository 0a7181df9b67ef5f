// The window-less entry: `velpic upload FILE...`, `velpic records`, `velpic --help`.
#pragma once

#include <ostream>

namespace velpic {

// True when argv asks for the command line rather than the window (checked before any Qt object exists).
bool is_command_line(int argc, char** argv);

// Runs it: one line per file on out, in file order (its UTF-8 address, or empty when it failed), every message on
// err. 0 when everything succeeded.
int run_command_line(int argc, char** argv, std::ostream& out, std::ostream& err);

} // namespace velpic
