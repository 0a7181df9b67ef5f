// The options of one command: "--name VALUE", "--name=VALUE" or a flag "--name"; every other argument is its
// operand ("--" ends the options, so a file may start with "--").
#pragma once

#include <string>
#include <vector>

namespace velpic {

class CommandOptions {
public:
    CommandOptions& value(std::string name, std::string* target);
    CommandOptions& flag(std::string name, bool* target);

    // Fills the targets and operands; false and why on an unknown option or a value that is missing.
    bool parse(const std::vector<std::string>& args, std::vector<std::string>& operands, std::string& why) const;

private:
    struct Option {
        std::string name;
        std::string* value = nullptr;
        bool* flag = nullptr;
    };
    std::vector<Option> options_;
};

} // namespace velpic
