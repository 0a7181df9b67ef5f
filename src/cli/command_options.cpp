#include "cli/command_options.h"

#include <utility>

namespace velpic {

CommandOptions& CommandOptions::value(std::string name, std::string* target) {
    options_.push_back(Option{std::move(name), target, nullptr});
    return *this;
}

CommandOptions& CommandOptions::flag(std::string name, bool* target) {
    options_.push_back(Option{std::move(name), nullptr, target});
    return *this;
}

bool CommandOptions::parse(const std::vector<std::string>& args, std::vector<std::string>& operands,
                           std::string& why) const {
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_ended || !arg.starts_with("--")) {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        const auto equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const Option* option = nullptr;
        for (const Option& candidate : options_) {
            if (candidate.name == name)
                option = &candidate;
        }
        if (option == nullptr) {
            why = "unknown option " + name;
            return false;
        }
        if (option->flag != nullptr) {
            if (equals != std::string::npos) {
                why = name + " takes no value";
                return false;
            }
            *option->flag = true;
        } else if (equals != std::string::npos) {
            *option->value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            *option->value = args[++i];
        } else {
            why = name + " needs a value";
            return false;
        }
    }
    return true;
}

} // namespace velpic
