// The window-less entry: `velpic upload [FILE...]`, `velpic records`, `velpic config ...`, `velpic serve ...`,
// `velpic --help`.
#pragma once

#include "cli/command_desktop.h"

#include <istream>
#include <ostream>

namespace velpic {

// True when argv asks for the command line rather than the window (checked before any Qt object exists): any
// first argument except the window's own options (Qt's single-dash ones and --screenshot-page).
bool is_command_line(int argc, char** argv);

// Runs it. Results go to out and every message to err, UTF-8; in gives secrets asked for with "-".
// 0: done; 1: something failed; 2: misuse (the usage is printed on err), or no display for the clipboard.
int run_command_line(int argc, char** argv, std::istream& in, std::ostream& out, std::ostream& err,
                     CommandDesktop& desktop);
// Without a display, and without standard input.
int run_command_line(int argc, char** argv, std::ostream& out, std::ostream& err);

} // namespace velpic
