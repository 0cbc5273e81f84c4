#include <windows.h>

#include <cerrno>
#include <string>

#include "app/folder_deletion.h"
#include "io/win32_files.h"
#include "platform/win32_text.h"

namespace ombrel {
namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// The Win32 code whose text the system gives for a failed removal of that kind.
DWORD Win32CodeOf(int value) {
    switch (value) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
            return ERROR_ACCESS_DENIED;
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case EBUSY:
            return ERROR_SHARING_VIOLATION;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case ENOTDIR:
            return ERROR_DIRECTORY;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ELOOP:
            return ERROR_CANT_RESOLVE_FILENAME;
        default:
            return 0;
    }
}

}  // namespace

bool IsAbsoluteFolderPath(const std::string& path) {
    // "C:\..." or "\\server\share\...".
    if (path.size() >= 3 && path[1] == ':' && IsSeparator(path[2])) {
        const char drive = path[0];
        return (drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z');
    }
    return path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

bool IsRunningProgram(const std::string& path) {
    std::wstring program(32768, L'\0');
    const DWORD length =
        GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size()));
    program.resize(length);
    return CompareStringOrdinal(Widen(path).c_str(), -1, program.c_str(), -1, TRUE) == CSTR_EQUAL;
}

void MakeRemovableAt(int dirFd, const std::string& name, TEntryKind kind) {
    HANDLE entry;
    if (OpenAt(FdHandle(dirFd), name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN,
               kind == TEntryKind::Folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE, entry)) {
        return;
    }
    SetReadOnly(entry, false);
    CloseHandle(entry);
}

std::string RemovalFailureReason(const std::error_code& error) {
    // The errno values of io/win32_files.h stand for the Win32 codes they were made from.
    if (error.category() == ErrnoError(0).category()) {
        if (const DWORD code = Win32CodeOf(error.value())) return Win32ErrorText(code);
    }
    return error.message();
}

std::string NotAbsoluteRemovalText(const std::string& path) {
    return "cannot remove \"" + path + "\": not an absolute path";
}

std::string FileRemovalText(const std::string& path) {
    return "cannot remove \"" + path + "\": it is a file, not a folder";
}

}  // namespace ombrel
