// windows.h first: the shell headers need its types.
// clang-format off
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>
// clang-format on

#include <cstdlib>
#include <string>

#include "platform/folders.h"
#include "platform/win32_text.h"

namespace ombrel {
namespace {

bool IsAbsoluteWindowsPath(const std::string& path) {
    return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
           path.rfind("\\\\", 0) == 0;
}

std::string WithoutTrailingSeparators(std::string path) {
    while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    return path;
}

}  // namespace

std::string UserTempFolder() {
    wchar_t buffer[MAX_PATH + 2];
    DWORD n = GetTempPathW(MAX_PATH + 2, buffer);
    std::string path = n > 0 && n <= MAX_PATH + 1 ? Narrow(std::wstring_view(buffer, n)) : "";
    if (path.empty()) path = "C:\\Windows\\Temp";
    if (path.back() != '\\') path += '\\';
    return path;
}

std::string UserDataHome() {
    std::string base;
    if (const wchar_t* env = _wgetenv(L"LOCALAPPDATA"); env != nullptr) {
        base = Narrow(env);
        if (!IsAbsoluteWindowsPath(base)) base.clear();
    }
    if (base.empty()) {
        PWSTR known = nullptr;
        if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known))) {
            base = Narrow(known);
        }
        CoTaskMemFree(known);
    }
    if (base.empty()) base = WithoutTrailingSeparators(UserTempFolder());
    return WithoutTrailingSeparators(base);
}

std::string UserAppsFolder() { return UserTempFolder(); }

bool CreatePrivateFolders(const std::string& path, std::string& error) {
    // Below the user's profile a new folder inherits an access list of that user alone.
    std::string walk;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find_first_of("\\/", start);
        if (end == std::string::npos) end = path.size();
        walk += path.substr(start, end - start);
        if (end > start && !(walk.size() == 2 && walk[1] == ':')) {
            if (!CreateDirectoryW(Widen(walk).c_str(), nullptr) &&
                GetLastError() != ERROR_ALREADY_EXISTS) {
                error = "cannot create the folder \"" + walk + "\": error " +
                        std::to_string(GetLastError());
                return false;
            }
        }
        if (end < path.size()) walk += '\\';
        start = end + 1;
    }
    return true;
}

std::string PackageCacheRoot() {
    // Per user: a cache below a folder that every user can write would let one user plant
    // packages for another.
    return UserDataHome() + "\\ombrel";
}

std::string UserAppsFolderHelp() { return "%TEMP%\\<app>"; }

std::string ServerFolderName(const std::string& address) {
    std::string name = address;
    for (char& c : name) {
        if (c == ':' || c == '*' || c == '?') c = '_';
    }
    return name;
}

// The path made absolute with its "." and ".." parts resolved ("C:\Windows\.." is "C:\"), or
// the path itself when the system cannot.
std::string FullPath(const std::string& path) {
    const std::wstring wide = Widen(path);
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return path;
    std::wstring buffer(n, L'\0');
    n = GetFullPathNameW(wide.c_str(), n, buffer.data(), nullptr);
    if (n == 0 || n >= buffer.size()) return path;
    buffer.resize(n);
    return Narrow(buffer);
}

std::string UnsafeFolderReason(const std::string& path) {
    // The root of a drive, also by another name. Owner and access rights are the folder's ACL,
    // not checked yet here.
    std::string full = WithoutTrailingSeparators(FullPath(path));
    if (full.size() <= 3 && full.size() >= 2 && full[1] == ':') return "it is the root folder";
    if (full == "\\" || full == "/") return "it is the root folder";
    return "";
}

// NTFS and FAT tell names apart without regard to case.
bool FileNamesIgnoreCase() { return true; }

}  // namespace ombrel
