// Runs the command line in the test's process: argv as main gets it, standard input given, both outputs kept.
#pragma once

#include "cli/command_line.h"

#include <sstream>
#include <string>
#include <vector>

namespace velpic::test {

struct CommandOutcome {
    int status = -1;
    std::string out;
    std::string err;
};

// argv as main gets it: the program name first, a null pointer after the last argument.
struct Argv {
    explicit Argv(std::vector<std::string> words) : args(std::move(words)) {
        args.insert(args.begin(), "velpic");
        for (auto& arg : args)
            pointers.push_back(arg.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(args.size()); }

    std::vector<std::string> args;
    std::vector<char*> pointers;
};

inline CommandOutcome run_command(std::vector<std::string> args, const std::string& input = {},
                                  CommandDesktop* desktop = nullptr) {
    Argv argv(std::move(args));
    std::istringstream in(input);
    std::ostringstream out, err;
    NoDesktop no_desktop;
    CommandOutcome result;
    result.status =
        run_command_line(argv.argc(), argv.pointers.data(), in, out, err, desktop != nullptr ? *desktop : no_desktop);
    result.out = out.str();
    result.err = err.str();
    return result;
}

} // namespace velpic::test
