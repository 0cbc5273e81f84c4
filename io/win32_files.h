#pragma once
// Windows only: the file handles behind the `int` descriptors of io/atomic_file.h and
// io/owned_folders.h, the opens relative to an open folder that walk below an owned folder
// without following a reparse point (symbolic link, junction, mount point), and failures as
// errno values that read as the Linux build's texts ("No such file or directory" ...).
//
// A descriptor is the handle's value: Windows keeps handles within 32 bits, so they fit an
// `int`, and INVALID_HANDLE_VALUE becomes -1, "not open".

#include <windows.h>

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "io/folder_handle.h"

namespace ombrel {

inline HANDLE FdHandle(int fd) { return fd < 0 ? INVALID_HANDLE_VALUE : LongToHandle(fd); }
inline int HandleFd(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE || handle == nullptr ? -1 : HandleToLong(handle);
}

// An errno value (ENOENT, ELOOP ...) with the Linux build's text; compares equal to the
// matching std::errc.
std::error_code ErrnoError(int value);
// A Win32 error code, as an errno value where there is one, else with the system's text.
std::error_code Win32Error(unsigned long code);
// The same for the calling thread's last error.
std::error_code LastWin32Error();
// The same for an NTSTATUS.
std::error_code NtStatusError(long status);

// Access to a folder that is walked, listed and changed through its handle.
constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES |
                                      FILE_WRITE_ATTRIBUTES | FILE_ADD_FILE |
                                      FILE_ADD_SUBDIRECTORY | DELETE | SYNCHRONIZE;
// Every process may read, write, rename and delete alongside, as on Linux.
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the entry `name` (one component, UTF-8) of the folder `dir` with NtCreateFile
// (`disposition`: FILE_OPEN, FILE_CREATE ...; `options`: FILE_DIRECTORY_FILE or
// FILE_NON_DIRECTORY_FILE and more). A reparse point is never followed: it fails with ELOOP.
std::error_code OpenAt(HANDLE dir, const std::string& name, ACCESS_MASK access, ULONG disposition,
                       ULONG options, HANDLE& result, ULONG share = kShareAll);
// Opens the folder `name` of `dir` for walking (kFolderAccess); with `create`, making it.
std::error_code OpenFolderAt(HANDLE dir, const std::string& name, bool create, HANDLE& result);

// What `name` is in `dir`, as the folder's listing tells it (a reparse point is a link).
std::error_code KindAt(HANDLE dir, const std::string& name, TEntryKind& kind);

// Renames the open file or folder `handle` to `name` in the folder `dir`.
std::error_code RenameTo(HANDLE handle, HANDLE dir, const std::string& name, bool replace);
// Renames the entry `fromName` of `fromDir` (a link as the link) to `toName` of `toDir`,
// replacing a file there.
std::error_code RenameAt(HANDLE fromDir, const std::string& fromName, HANDLE toDir,
                         const std::string& toName);
// Deletes the open file or empty folder `handle` (a read-only file too).
std::error_code DeleteOpen(HANDLE handle);
// Opens `name` of `dir` as itself (a link as the link) and deletes it; a missing entry is no
// failure.
std::error_code DeleteAt(HANDLE dir, const std::string& name, bool folder);

struct TFolderEntry {
    std::string name;
    DWORD attributes = 0;
    uint64_t size = 0;
    TEntryKind Kind() const;
};
// Every entry of the folder `dir` except "." and "..", in the order the system delivers them.
std::error_code ListFolder(HANDLE dir, std::vector<TFolderEntry>& entries);

// Sets the modification (and access) time of an open file, from a time in seconds.
std::error_code SetFileTimeSeconds(HANDLE file, int64_t seconds);
// Sets or clears the read-only attribute of an open file.
std::error_code SetReadOnly(HANDLE file, bool readOnly);

// Reads up to `size` bytes at the file position; `got` 0 at the end.
std::error_code ReadSome(HANDLE file, void* buffer, size_t size, size_t& got);

}  // namespace ombrel
