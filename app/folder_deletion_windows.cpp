#include <windows.h>

#include <string>
#include <vector>

#include "app/folder_deletion.h"
#include "io/paths.h"
#include "platform/win32_text.h"

namespace ombrel {
namespace {

// Paths this long are refused, as the system's short path limit would.
constexpr size_t kMaxPathLength = 248;

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// "C:\..." or "\\server\share\...".
bool IsAbsolute(const std::string& path) {
    if (path.size() >= 3 && path[1] == ':' && IsSeparator(path[2])) {
        const char drive = path[0];
        return (drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z');
    }
    return path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

bool IsLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Removes one entry, whose attributes have been reset: a folder after everything inside it, a
// link (a junction or a symbolic link, to a folder or a file) as itself, never followed. The
// first entry that stays is named in `error` (when not null and still empty).
void RemoveEntry(const std::wstring& path, DWORD attributes, std::string* error = nullptr) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !IsLink(attributes)) {
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &entry,
                                       FindExSearchNameMatch, nullptr, 0);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..") continue;
                const std::wstring child = path + L"\\" + name;
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                RemoveEntry(child, entry.dwFileAttributes, error);
            } while (FindNextFileW(find, &entry));
            FindClose(find);
        }
    }
    const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                             ? RemoveDirectoryW(path.c_str())
                             : DeleteFileW(path.c_str());
    if (!removed && error && error->empty()) {
        std::wstring shown = path;
        if (shown.rfind(L"\\\\?\\", 0) == 0) shown = shown.substr(4);
        *error = "cannot remove " + Quoted(Narrow(shown)) + ": " + LastWin32ErrorText();
    }
}

std::wstring RunningProgram() {
    std::wstring buffer(32768, L'\0');
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(length);
    return buffer;
}

}  // namespace

bool RemoveFolderTree(const std::string& path, std::string& error) {
    error.clear();
    if (path.empty() || !IsAbsolute(path)) {
        error = "cannot remove " + Quoted(path) + ": not an absolute path";
        return false;
    }
    const std::wstring wide = Win32Path(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (!IsLink(attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = "cannot remove " + Quoted(path) + ": it is a file, not a folder";
        return false;
    }
    SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveEntry(wide, attributes, &error);
    return error.empty();
}

bool FolderExistsForDeletion(const std::string& path) {
    if (path.empty()) return false;
    const DWORD attributes = GetFileAttributesW(Win32Path(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || IsLink(attributes));
}

bool IsPlainSubfolderOf(const std::string& root, const std::string& path) {
    if (root.empty() || !IsAbsolute(root)) return false;
    std::string walk = root;
    if (!IsSeparator(walk.back())) walk += '\\';
    if (path.size() <= walk.size() ||
        CompareStringOrdinal(Widen(path.substr(0, walk.size() - 1)).c_str(), -1,
                             Widen(walk.substr(0, walk.size() - 1)).c_str(), -1,
                             TRUE) != CSTR_EQUAL ||
        !IsSeparator(path[walk.size() - 1])) {
        return false;
    }
    std::vector<std::string> names;
    size_t start = walk.size();
    while (start <= path.size()) {
        size_t end = path.find_first_of("\\/", start);
        if (end == std::string::npos) end = path.size();
        if (end > start) names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    if (names.empty()) return false;
    for (const std::string& name : names) {
        if (name == "." || name == "..") return false;
    }
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        walk += names[i];
        const DWORD attributes = GetFileAttributesW(Win32Path(walk).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || IsLink(attributes))) {
            return false;
        }
        walk += '\\';
    }
    return true;
}

void DeleteFolderTree(const std::string& path) {
    if (path.empty() || !IsAbsolute(path)) {
        throw EFolderDeletionError("Unsupported path format: " + Quoted(path));
    }
    if (HasInvalidPathChars(path)) {
        throw EFolderDeletionError("Invalid characters in path: " + Quoted(path));
    }
    if (Widen(path).size() >= kMaxPathLength) {
        throw EFolderDeletionError("Path too long: " + Quoted(path));
    }
    const std::wstring wide = Win32Path(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        throw EFolderDeletionError("Folder not found: " + Quoted(path));
    }
    if (!IsLink(attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        const std::wstring program = RunningProgram();
        if (CompareStringOrdinal(Widen(path).c_str(), -1, program.c_str(), -1, TRUE) ==
            CSTR_EQUAL) {
            throw EFolderDeletionError("Cannot delete the running program: " + Quoted(path));
        }
        throw EFolderDeletionError("Path is a file, not a folder: " + Quoted(path));
    }
    SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveEntry(wide, attributes);
}

}  // namespace ombrel
