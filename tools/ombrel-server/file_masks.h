#pragma once
// The file masks of an archive package, applied the way the engine applies them when it
// installs the unpacked package, so that the store knows which files a package installs.

#include <string>
#include <string_view>
#include <vector>

namespace ombrel::server {

// True when `text` matches `mask`: ASCII letters compare without regard to case, "*" matches
// any run of characters (separators included), "?" exactly one character, "[a-z]" one
// character of a set (ranges allowed, "!" right after "[" negates), anything else itself.
bool MatchesMask(std::string_view mask, std::string_view text);

// Checks masks before they are published. The engine fails to install a package whose single
// mask is blank or holds a path separator, and one without masks installs nothing.
bool CheckMasks(const std::vector<std::string>& masks, std::string& error);

// The entries (relative names with "/") that the engine installs from an unpacked archive with
// these masks, in the order given: with one mask it is matched against each file's bare name
// ("*.*" matching every name); with several, against the relative path, and a file is kept
// when any mask matches.
std::vector<std::string> SelectInstalledFiles(const std::vector<std::string>& masks,
                                              const std::vector<std::string>& names);

// Turns a file name that a package installs (an archive entry, a single file's install name)
// into its stored form: "/" between folders, "." parts dropped. Refuses, with the reason in
// `error`, a name that is empty, rooted, climbs out with "..", or holds a character that paths
// may not contain: installers could not place such a file.
bool CleanInstallName(std::string_view name, std::string& cleaned, std::string& error);

}  // namespace ombrel::server
