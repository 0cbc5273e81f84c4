#pragma once
// The installer's command-line switches.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel {

// The arguments after the program name.
std::vector<std::string> CommandLineArguments(int argc, const char* const* argv);

// Looks up switch `name` ("h", "-update-channel") among `arguments` (those after the program
// name). A candidate begins with '-' or '/' followed by `name` without regard to case; the
// first candidate decides. Its value is whatever follows the name (one ':' right after the
// name skipped), else the next argument unless that begins with '-' or '/', else empty.
// Answers nothing when no argument is a candidate.
std::optional<std::string> FindCmdLineSwitch(const std::vector<std::string>& arguments,
                                             std::string_view name);

struct TStartSwitches {
    // Switch "h"; the built-in default server when absent (an empty value stays empty).
    std::string host;
    // Switch "-update-channel" (written --update-channel); empty when absent.
    std::string updateChannel;
};

// The start sequence's switch lookup; `defaultHost` is used when "h" is absent.
TStartSwitches ReadStartSwitches(const std::vector<std::string>& arguments,
                                 const std::string& defaultHost);
// The same with the built-in default server base URL.
TStartSwitches ReadStartSwitches(const std::vector<std::string>& arguments);

}  // namespace ombrel
