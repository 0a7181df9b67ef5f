#include "cli/command_line.h"

#include "cli/commands.h"
#include "runtime/program_dir.h"
#include "settings/secret_store.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace velpic {

namespace {

// Each command in its own file; a new command is one more line here.
const Command* const kCommands[] = {
    &upload_command,  &records_command, &config_command,  &serve_command,  &check_command, &delete_command,
    &restore_command, &backup_command,  &publish_command, &relink_command, &move_command,
};

// The arguments after the program name, with --data-dir already applied and taken out.
std::vector<std::string> plain_arguments(int argc, char** argv) {
    std::vector<char*> copy(argv, argv + argc);
    copy.push_back(nullptr);
    int count = argc;
    set_program_dir_from_args(count, copy.data());
    return std::vector<std::string>(copy.begin() + (count > 0 ? 1 : 0), copy.begin() + count);
}

bool is_help(const std::string& arg) {
    return arg == "--help" || arg == "-h" || arg == "help";
}

// The command's name and what it does, the lines after the first indented under the name's column.
void print_command_help(std::ostream& out, const Command& command) {
    const std::string name = command.name;
    out << name << std::string(name.size() < 9 ? 9 - name.size() : 1, ' ') << command.help << "\n";
}

} // namespace

void print_usage(std::ostream& out) {
    const char* lead = "usage: ";
    for (const Command* command : kCommands) {
        out << lead << "velpic [--data-dir DIR] " << command->synopsis << "\n";
        lead = "       ";
    }
    out << lead << "velpic [--data-dir DIR] --help\n"
        << "       velpic [--data-dir DIR]            (the window)\n\n";
    for (const Command* command : kCommands)
        print_command_help(out, *command);
    out << "\n"
           "Settings come from \"配置.ini\" in the data directory: beside the program in a build tree,\n"
           "$XDG_CONFIG_HOME/velpic (~/.config/velpic) when installed, unless --data-dir or VELPIC_DATA_DIR\n"
           "says otherwise. Save them in the window or with `velpic config set`; uploads need owner, repo\n"
           "and token first:\n"
           "    "
        << kGiteeSetupCommand
        << "\n"
           "\n"
           "Exit status: 0 done; 1 something failed (a picture, a link, a check of the settings); 2 misuse,\n"
           "no display for the clipboard, or no repository configured yet.\n";
}

void print_short_usage(std::ostream& out, const Command* command) {
    out << "usage: velpic [--data-dir DIR] ";
    if (command != nullptr) {
        out << command->synopsis << "\n";
    } else {
        const char* separator = "";
        out << "COMMAND ... (";
        for (const Command* each : kCommands) {
            out << separator << each->name;
            separator = ", ";
        }
        out << ")\n";
    }
    out << "see `velpic --help` for the commands, their options and exit status\n";
}

const char* const kGiteeSetupCommand = "velpic config set owner OWNER repo REPO token - <<< \"$GITEE_TOKEN\"";

bool is_command_line(int argc, char** argv) {
    const std::vector<std::string> args = plain_arguments(argc, argv);
    if (args.empty())
        return false;
    const std::string& first = args.front();
    if (first == "--screenshot-page")
        return false;
    // Qt's own options ("-platform offscreen", "-style fusion") are the window's.
    const bool qt_option = first.size() > 1 && first[0] == '-' && first[1] != '-' && first != "-h";
    return !qt_option;
}

int run_command_line(int argc, char** argv, std::istream& in, std::ostream& out, std::ostream& err,
                     CommandDesktop& desktop) {
    std::vector<std::string> args = plain_arguments(argc, argv);
    if (args.empty()) {
        print_usage(err);
        return 2;
    }
    const std::string name = args.front();
    args.erase(args.begin());
    if (is_help(name)) {
        print_usage(out);
        return 0;
    }
    for (const Command* command : kCommands) {
        if (name == command->name) {
            // "velpic config --help": the command's own usage, whatever else stands beside it.
            const auto asks_help = [](const std::string& arg) { return arg == "--help" || arg == "-h"; };
            if (std::any_of(args.begin(), args.end(), asks_help)) {
                out << "usage: velpic [--data-dir DIR] " << command->synopsis << "\n\n";
                print_command_help(out, *command);
                return 0;
            }
            CommandIo io{in, out, err, desktop};
            const int code = command->run(args, io);
            // Once, however many secrets were read or written: a desktop with a keyring would have kept them there.
            if (fell_back_to_file())
                err << "velpic: no Secret Service answered within 2 s; secrets stay in the settings file "
                       "(velpic config set token-store file makes that the choice)\n";
            return code;
        }
    }
    err << "velpic: unknown command \"" << name << "\"\n";
    print_short_usage(err);
    return 2;
}

int run_command_line(int argc, char** argv, std::ostream& out, std::ostream& err) {
    std::istringstream nothing;
    NoDesktop desktop;
    return run_command_line(argc, argv, nothing, out, err, desktop);
}

} // namespace velpic
