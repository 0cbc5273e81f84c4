#include "platform/folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace ombrel {

std::string UserTempFolder() {
    std::error_code ec;
    std::string path = std::filesystem::temp_directory_path(ec).string();
    if (ec || path.empty()) path = "/tmp";
    if (path.back() != '/') path += '/';
    return path;
}

namespace {

// $<variable> when it is absolute (a relative one is invalid by the base-directory rules and is
// ignored), else the home folder joined with `fallback`. No trailing "/".
std::string XdgFolder(const char* variable, const char* fallback) {
    const char* xdg = std::getenv(variable);
    if (xdg != nullptr && xdg[0] == '/') {
        std::string path(xdg);
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        return path;
    }
    std::string home;
    if (const char* env = std::getenv("HOME"); env != nullptr && env[0] != '\0') {
        home = env;
    } else if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        home = pw->pw_dir;
    } else {
        home = UserTempFolder();
    }
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return home + fallback;
}

}  // namespace

std::string UserDataHome() { return XdgFolder("XDG_DATA_HOME", "/.local/share"); }

std::string UserAppsFolder() { return UserDataHome() + "/ombrel/apps/"; }

bool CreatePrivateFolders(const std::string& path, std::string& error) {
    std::string walk;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) {
            walk += "/" + path.substr(start, end - start);
            if (::mkdir(walk.c_str(), 0700) != 0 && errno != EEXIST) {
                error = "cannot create the folder \"" + walk + "\": " + std::strerror(errno);
                return false;
            }
        }
        start = end + 1;
    }
    return true;
}

std::string PackageCacheRoot() { return XdgFolder("XDG_CACHE_HOME", "/.cache") + "/ombrel"; }

std::string UserAppsFolderHelp() {
    return "$XDG_DATA_HOME/ombrel/apps/<app>, else ~/.local/share/ombrel/apps/<app>";
}

std::string ServerFolderName(const std::string& address) { return address; }

std::string UnsafeFolderReason(const std::string& path) {
    struct stat folder;
    struct stat root;
    if (::stat(path.c_str(), &folder) != 0 || ::stat("/", &root) != 0) {
        return std::error_code(errno, std::system_category()).message();
    }
    if (!S_ISDIR(folder.st_mode)) return "it is not a folder";
    if (folder.st_dev == root.st_dev && folder.st_ino == root.st_ino) return "it is the root folder";
    if (folder.st_uid != ::geteuid()) return "it belongs to another user";
    if ((folder.st_mode & S_IWOTH) != 0) return "it is writable by other users";
    return "";
}

bool FileNamesIgnoreCase() { return false; }

}  // namespace ombrel
