#include "io/disk_entries.h"

#include <windows.h>

#include "io/win32_files.h"
#include "platform/win32_text.h"

namespace ombrel {
namespace {

TDiskEntryType TypeOf(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return TDiskEntryType::Link;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return TDiskEntryType::Folder;
    return TDiskEntryType::File;
}

bool IsMissing(DWORD code) {
    // ERROR_DIRECTORY: a file where the path needs a folder.
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
           code == ERROR_DIRECTORY || code == ERROR_INVALID_NAME || code == ERROR_BAD_NETPATH;
}

// Every entry of the folder `wide` (a Win32Path) but "." and "..", with its attributes.
std::error_code ListWide(const std::wstring& wide, std::vector<WIN32_FIND_DATAW>& found) {
    found.clear();
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileExW((wide + L"\\*").c_str(), FindExInfoBasic, &data,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        // A drive's root folder has no "." entry: nothing found there is an empty folder.
        return GetLastError() == ERROR_FILE_NOT_FOUND ? std::error_code() : LastWin32Error();
    }
    std::error_code error;
    do {
        const std::wstring_view name(data.cFileName);
        if (name != L"." && name != L"..") found.push_back(data);
    } while (FindNextFileW(search, &data));
    if (GetLastError() != ERROR_NO_MORE_FILES) error = LastWin32Error();
    FindClose(search);
    return error;
}

std::error_code RemoveWide(const std::wstring& wide, DWORD attributes) {
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // Below a folder first; a link (to a folder too) is removed itself, never entered.
    if (folder && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        std::vector<WIN32_FIND_DATAW> found;
        if (std::error_code error = ListWide(wide, found)) return error;
        for (const WIN32_FIND_DATAW& data : found) {
            if (std::error_code error =
                    RemoveWide(wide + L"\\" + data.cFileName, data.dwFileAttributes)) {
                return error;
            }
        }
    }
    const BOOL removed = folder ? RemoveDirectoryW(wide.c_str()) : DeleteFileW(wide.c_str());
    if (!removed && !IsMissing(GetLastError())) return LastWin32Error();
    return {};
}

}  // namespace

std::error_code StatDiskEntry(const std::string& path, TDiskEntry& entry) {
    entry = {};
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Win32Path(path).c_str(), GetFileExInfoStandard, &data)) {
        return IsMissing(GetLastError()) ? std::error_code() : LastWin32Error();
    }
    entry.type = TypeOf(data.dwFileAttributes);
    if (entry.type == TDiskEntryType::File) {
        entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    return {};
}

bool DiskFileExists(const std::string& path) {
    // The attributes of a link to a file are those of a file; those of a link to a folder say
    // folder.
    const DWORD attributes = GetFileAttributesW(Win32Path(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::error_code ListFolderItems(const std::string& path, std::vector<TFolderItem>& items) {
    items.clear();
    std::vector<WIN32_FIND_DATAW> found;
    if (std::error_code error = ListWide(Win32Path(path), found)) return error;
    items.reserve(found.size());
    for (const WIN32_FIND_DATAW& data : found) {
        items.push_back({Narrow(data.cFileName), TypeOf(data.dwFileAttributes)});
    }
    return {};
}

std::error_code RenameDiskEntry(const std::string& from, const std::string& to) {
    if (!MoveFileExW(Win32Path(from).c_str(), Win32Path(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return LastWin32Error();
    }
    return {};
}

std::error_code RemoveDiskTree(const std::string& path) {
    const std::wstring wide = Win32Path(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return IsMissing(GetLastError()) ? std::error_code() : LastWin32Error();
    }
    return RemoveWide(wide, attributes);
}

}  // namespace ombrel
