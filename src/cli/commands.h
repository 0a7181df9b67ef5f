// The commands of the command line, one file each; command_line.cpp dispatches to them by name.
#pragma once

#include "cli/command_desktop.h"

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace velpic {

struct CommandIo {
    std::istream& in;
    std::ostream& out; // results, UTF-8
    std::ostream& err; // messages, UTF-8
    CommandDesktop& desktop;
};

struct Command {
    const char* name;
    const char* synopsis; // after "velpic [--data-dir DIR] "
    const char* help;     // what it does, lines indented by 9 blanks after the first
    // args: the arguments after the command's name. 0: done; 1: something failed; 2: misuse.
    int (*run)(const std::vector<std::string>& args, CommandIo& io);
};

extern const Command upload_command;
extern const Command records_command;
extern const Command config_command;
extern const Command serve_command;
extern const Command check_command;
extern const Command delete_command;
extern const Command restore_command;
extern const Command backup_command;
extern const Command publish_command;
extern const Command relink_command;
extern const Command move_command;

// The usage of every command, for --help.
void print_usage(std::ostream& out);

// After a misuse message: the synopsis of the command (of every command when null) and a pointer to --help, so
// the reason stays the first thing read.
void print_short_usage(std::ostream& out, const Command* command = nullptr);

// The command that saves the three settings every upload needs, for the messages that ask for them.
extern const char* const kGiteeSetupCommand;

} // namespace velpic
