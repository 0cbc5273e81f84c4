#pragma once
// The text of a failed file operation, as the file system service reports it: what was tried,
// on which path, and the system's reason, e.g.
//   cannot write "/home/ann/.local/share/ombrel/apps/Demo/Demo.ombrel": No space left on device

#include <string>
#include <string_view>

namespace ombrel {

// "cannot <action> "<path>": <reason>"
std::string FailureText(std::string_view action, std::string_view path, std::string_view reason);

// "cannot copy "<source>" to "<target>": <reason>"
std::string CopyFailureText(std::string_view source, std::string_view target,
                            std::string_view reason);

}  // namespace ombrel
