// The window-less entry: `velpic upload FILE...`, `velpic records`, `velpic --help`.
#pragma once

#include <ostream>

namespace velpic {

// True when argv asks for the command line rather than the window (checked before any Qt object exists).
bool is_command_line(int argc, char** argv);

// Runs it: addresses (UTF-8, one per line, file order) on out, failures on err. 0 when everything succeeded.
int run_command_line(int argc, char** argv, std::ostream& out, std::ostream& err);

} // namespace velpic
