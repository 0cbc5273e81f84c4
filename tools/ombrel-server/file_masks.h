#pragma once
// The file masks of an archive package, applied the way the engine applies them when it
// installs the unpacked package (io/file_mask.h), so that the store knows which files a
// package installs.

#include <string>
#include <string_view>
#include <vector>

namespace ombrel::server {

// Checks masks before they are published, refusing what would make the engine's file listing
// fail, and so the installation: no mask at all, a blank mask, a malformed set ("[" without
// "]"), and a single mask holding a path separator or a character that paths may not contain.
bool CheckMasks(const std::vector<std::string>& masks, std::string& error);

// The entries (relative names with "/") that the engine installs from an unpacked archive with
// these masks, in the order given: with one mask it is matched against each file's bare name
// ("*.*" matching every name); with several, against the relative path, and a file is kept
// when any mask matches.
std::vector<std::string> SelectInstalledFiles(const std::vector<std::string>& masks,
                                              const std::vector<std::string>& names);

// Turns a file name that a package installs (an archive entry, a single file's install name)
// into its stored form: "/" between folders, "." parts dropped. Refuses, with the reason in
// `error`, a name that is empty, rooted, climbs out with "..", holds a character that paths may
// not contain, or is not valid UTF-8: installers could not place such a file. Refuses too a name
// that an installation's manifest cannot record as it is (one that begins with ":" or begins
// or ends with a blank).
bool CleanInstallName(std::string_view name, std::string& cleaned, std::string& error);

}  // namespace ombrel::server
