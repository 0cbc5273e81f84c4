#pragma once
// Well-known folders of the platform.

#include <string>

namespace ombrel {

// The user's temporary folder, ending in the separator: on Linux TMPDIR, else /tmp; on Windows
// what GetTempPathW answers. Asked afresh on every call.
std::string UserTempFolder();

// The engine's package cache, per user, without a trailing separator: on Linux
// $XDG_CACHE_HOME/ombrel, else ~/.cache/ombrel; on Windows %LOCALAPPDATA%\ombrel (the known
// folder Local AppData when the variable is missing or not an absolute path).
std::string PackageCacheRoot();

}  // namespace ombrel
