#include "app/command_line.h"

#include "io/text.h"
#include "ombrel/build_config.h"

namespace ombrel {

namespace {
bool IsSwitchChar(char c) { return c == '-' || c == '/'; }
}  // namespace

std::vector<std::string> CommandLineArguments(int argc, const char* const* argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
    return arguments;
}

std::optional<std::string> FindCmdLineSwitch(const std::vector<std::string>& arguments,
                                             std::string_view name) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.empty() || !IsSwitchChar(argument[0])) continue;
        if (argument.size() < name.size() + 1 ||
            !SameTextAscii(std::string_view(argument).substr(1, name.size()), name)) {
            continue;
        }
        if (argument.size() > name.size() + 1) {
            size_t start = name.size() + 1;
            if (argument[start] == ':') ++start;
            return argument.substr(start);
        }
        if (i + 1 < arguments.size() &&
            (arguments[i + 1].empty() || !IsSwitchChar(arguments[i + 1][0]))) {
            return arguments[i + 1];
        }
        return std::string();
    }
    return std::nullopt;
}

TStartSwitches ReadStartSwitches(const std::vector<std::string>& arguments,
                                 const std::string& defaultHost) {
    TStartSwitches switches;
    switches.host = FindCmdLineSwitch(arguments, "h").value_or(defaultHost);
    switches.updateChannel = FindCmdLineSwitch(arguments, "-update-channel").value_or("");
    return switches;
}

TStartSwitches ReadStartSwitches(const std::vector<std::string>& arguments) {
    return ReadStartSwitches(arguments, build::kDefaultServer);
}

}  // namespace ombrel
