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

// The default installation folder as help texts name it, "<app>" standing for the application.
std::string UserAppsFolderHelp();

// Creates the folder `path` (absolute) and every missing folder above it, private to the user
// (mode 0700 on Linux); existing ones stay as they are. False with the folder and the system's
// reason in `error`.
bool CreatePrivateFolders(const std::string& path, std::string& error);

// The engine's package cache, per user, without a trailing separator: on Linux
// $XDG_CACHE_HOME/ombrel, else ~/.cache/ombrel; on Windows %LOCALAPPDATA%\ombrel (the known
// folder Local AppData when the variable is missing or not an absolute path).
std::string PackageCacheRoot();

// A server's address ("127.0.0.1:8080", as it follows the scheme of its URL, with any path) as
// it names folders of the package cache: unchanged on Linux; on Windows, whose file names cannot
// hold ':', '*' or '?', with '_' for each of them.
std::string ServerFolderName(const std::string& address);

// Whether the existing folder at path may hold what the engine installs or caches: answers ""
// when it may, otherwise why not ("it is the root folder", "it belongs to another user", "it is
// writable by other users", or the system's text when it cannot be examined). A folder that
// others may change, or that is not the user's, lets them swap or plant what the engine relies
// on. Links on the way are followed: the folder itself is judged.
std::string UnsafeFolderReason(const std::string& path);

// True when the file system compares names without regard to case (Windows); false where "x"
// and "X" are two names (POSIX).
bool FileNamesIgnoreCase();

}  // namespace ombrel
