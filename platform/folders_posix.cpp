#include "platform/folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
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

std::string PackageCacheRoot() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    // A relative XDG_CACHE_HOME is invalid by the base-directory rules and is ignored.
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/ombrel";
    std::string home;
    if (const char* env = std::getenv("HOME"); env != nullptr && env[0] != '\0') {
        home = env;
    } else if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        home = pw->pw_dir;
    } else {
        home = UserTempFolder();
    }
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    return home + "/.cache/ombrel";
}

}  // namespace ombrel
