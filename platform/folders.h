#pragma once
// Well-known folders of the platform.

#include <string>

namespace ombrel {

// The user's temporary folder, ending in the separator: on Linux TMPDIR, else /tmp; on Windows
// what GetTempPathW answers. Asked afresh on every call.
std::string UserTempFolder();

// The user's data folder, without a trailing separator: on Linux $XDG_DATA_HOME, else
// ~/.local/share; on Windows %LOCALAPPDATA%.
std::string UserDataHome();

// Where installations live unless told otherwise, ending in the separator. On Linux
// $XDG_DATA_HOME/ombrel/apps, else ~/.local/share/ombrel/apps: a private, lasting folder of the
// user (the shared temporary folder is emptied at boot and open to every local user). On
// Windows the user's temporary folder, which is the user's own and kept. Asked afresh on every
// call; nothing is created here.
std::string UserAppsFolder();

// Creates the folder `path` (absolute) and every missing folder above it, private to the user
// (mode 0700 on Linux); existing ones stay as they are. False with the folder and the system's
// reason in `error`.
bool CreatePrivateFolders(const std::string& path, std::string& error);

// The engine's package cache, per user, without a trailing separator: on Linux
// $XDG_CACHE_HOME/ombrel, else ~/.cache/ombrel; on Windows %LOCALAPPDATA%\ombrel (the known
// folder Local AppData when the variable is missing or not an absolute path).
std::string PackageCacheRoot();

}  // namespace ombrel
