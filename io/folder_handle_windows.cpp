#include "io/folder_handle.h"

#include <windows.h>
// after windows.h
#include <bcrypt.h>

#include <cerrno>
#include <vector>

#include "io/win32_files.h"
#include "platform/win32_text.h"

// On Windows a folder's handle is walked with NtCreateFile relative to it, one name at a time; a
// reparse point (symbolic link, junction, mount point) met on the way ends the walk with ELOOP
// (see io/win32_files.h).

namespace ombrel {
namespace {

HANDLE HandleOf(int fd) {
    return FdHandle(fd);
}

// A file being written: read back, renamed and deleted through its own handle.
constexpr ACCESS_MASK kFileAccess =
    GENERIC_WRITE | GENERIC_READ | DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

TEntryKind KindOfHandle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return TEntryKind::Missing;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? TEntryKind::Folder
                                                                   : TEntryKind::File;
}

// 100-nanosecond steps since 1601 and nanoseconds since 1970.
constexpr int64_t kTicksTo1970 = 116444736000000000LL;

int64_t NanosecondsOf(const FILETIME& time) {
    const int64_t ticks =
        static_cast<int64_t>(static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime);
    return (ticks - kTicksTo1970) * 100;
}

FILETIME FileTimeOf(int64_t nanoseconds) {
    const uint64_t ticks = static_cast<uint64_t>(nanoseconds / 100 + kTicksTo1970);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

std::error_code Opened(HANDLE handle, TDirFd& file) {
    if (handle == INVALID_HANDLE_VALUE) return LastWin32Error();
    file = TDirFd(HandleFd(handle));
    return {};
}

// Flushes every regular file below the folder `dir` to the disk, never through a link.
std::error_code FlushFilesBelow(HANDLE dir) {
    std::vector<TFolderEntry> entries;
    if (std::error_code error = ListFolder(dir, entries)) return error;
    for (const TFolderEntry& entry : entries) {
        const TEntryKind kind = entry.Kind();
        if (kind == TEntryKind::Folder) {
            HANDLE sub;
            if (OpenAt(dir, entry.name, kFolderAccess & ~DELETE, FILE_OPEN, FILE_DIRECTORY_FILE,
                       sub)) {
                continue;  // gone or swapped meanwhile
            }
            TDirFd owner(HandleFd(sub));
            if (std::error_code error = FlushFilesBelow(sub)) return error;
        } else if (kind == TEntryKind::File) {
            HANDLE file;
            if (OpenAt(dir, entry.name, GENERIC_WRITE, FILE_OPEN, FILE_NON_DIRECTORY_FILE, file)) {
                continue;
            }
            TDirFd owner(HandleFd(file));
            if (!FlushFileBuffers(file)) return LastWin32Error();
        }
    }
    return {};
}

}  // namespace

std::error_code TDirFd::Open(const std::string& path, TDirFd& result) {
    if (path.empty()) return ErrnoError(ENOENT);
    HANDLE handle = CreateFileW(Win32Path(path).c_str(), kFolderAccess, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // Without the right to change it, a folder may still be walked and read.
        handle =
            CreateFileW(Win32Path(path).c_str(),
                        FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                        kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) return LastWin32Error();
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        CloseHandle(handle);
        return ErrnoError(ENOTDIR);
    }
    result = TDirFd(HandleFd(handle));
    return {};
}

void CloseDescriptor(int fd) {
    if (fd >= 0) CloseHandle(HandleOf(fd));
}

std::error_code LastError() {
    return LastWin32Error();
}

std::error_code ErrorOf(std::errc condition) {
    return ErrnoError(static_cast<int>(condition));
}

void ThrowFileSystemError(const char* what, const std::string& path, std::error_code error) {
    throw std::system_error(error, std::string(what) + " " + path);
}

std::error_code WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    HANDLE handle = HandleOf(fd);
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(size > (1u << 30) ? (1u << 30) : size);
        DWORD written = 0;
        if (!WriteFile(handle, p, chunk, &written, nullptr)) return LastWin32Error();
        p += written;
        size -= written;
    }
    return {};
}

bool IsFolderSeparator(char c) {
    return c == '/' || c == '\\';
}

size_t PathRootLength(std::string_view path) {
    if (path.size() >= 2 && path[1] == ':') {
        return path.size() >= 3 && IsFolderSeparator(path[2]) ? 3 : 2;
    }
    return !path.empty() && IsFolderSeparator(path[0]) ? 1 : 0;
}

bool SameFileName(std::string_view a, std::string_view b) {
    return CompareStringOrdinal(Widen(std::string(a)).c_str(), -1, Widen(std::string(b)).c_str(),
                                -1, TRUE) == CSTR_EQUAL;
}

bool IsUnreachableName(const std::string& relative) {
    for (const std::string& part : SplitFolderNames(relative)) {
        if (part.back() == ' ' || part.back() == '.') return true;
        if (part.find_first_of(":*?") != std::string::npos) return true;
    }
    return false;
}

std::string FileNameKey(const std::string& name) {
    std::wstring wide = Widen(name);
    if (!wide.empty()) CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    return Narrow(wide);
}

std::error_code CreateFoldersByPath(const std::string& path) {
    const std::string trimmed = WithoutTrailingSeparators(path);
    const DWORD attributes = GetFileAttributesW(Win32Path(trimmed).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? std::error_code()
                                                            : ErrnoError(ENOTDIR);
    }
    const TPathParts parts = SplitPath(trimmed);
    if (!parts.folder.empty() && parts.folder != "." && parts.folder != trimmed) {
        if (std::error_code error = CreateFoldersByPath(parts.folder)) return error;
    }
    if (!CreateDirectoryW(Win32Path(trimmed).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
        return LastWin32Error();
    }
    return {};
}

std::error_code DuplicateDescriptor(int dirFd, TDirFd& copy) {
    HANDLE duplicate = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(GetCurrentProcess(), HandleOf(dirFd), GetCurrentProcess(), &duplicate, 0,
                         FALSE, DUPLICATE_SAME_ACCESS)) {
        return LastWin32Error();
    }
    copy = TDirFd(HandleFd(duplicate));
    return {};
}

std::error_code OpenBeneathAtOnce(int, const std::string&, TDirFd&) {
    return ErrorOf(std::errc::function_not_supported);
}

std::error_code OpenSubfolderAt(int dirFd, const std::string& name, bool create, TDirFd& result) {
    HANDLE handle;
    if (std::error_code error = OpenFolderAt(HandleOf(dirFd), name, create, handle)) return error;
    result = TDirFd(HandleFd(handle));
    return {};
}

std::error_code OpenSubfolderToReadAt(int dirFd, const std::string& name, TDirFd& result) {
    HANDLE handle;
    if (std::error_code error = OpenAt(HandleOf(dirFd), name, kFolderAccess & ~DELETE, FILE_OPEN,
                                       FILE_DIRECTORY_FILE, handle)) {
        return error;
    }
    result = TDirFd(HandleFd(handle));
    return {};
}

std::error_code MakeFolderAt(int dirFd, const std::string& name) {
    HANDLE made;
    if (std::error_code error =
            OpenAt(HandleOf(dirFd), name, kFolderAccess, FILE_CREATE, FILE_DIRECTORY_FILE, made)) {
        return error;
    }
    CloseHandle(made);
    return {};
}

std::error_code EntryKindAt(int dirFd, const std::string& name, TEntryKind& kind) {
    return KindAt(HandleOf(dirFd), name, kind);
}

std::error_code ListFolderAt(int dirFd, std::vector<TListedEntry>& entries) {
    entries.clear();
    std::vector<TFolderEntry> listed;
    if (std::error_code error = ListFolder(HandleOf(dirFd), listed)) return error;
    entries.reserve(listed.size());
    for (TFolderEntry& entry : listed) entries.push_back({std::move(entry.name), entry.Kind()});
    return {};
}

std::error_code RemoveFileAt(int dirFd, const std::string& name) {
    return DeleteAt(HandleOf(dirFd), name, false);
}

std::error_code RemoveOpenFolder(int parentFd, const std::string& name, int folderFd) {
    if (folderFd < 0) return DeleteAt(HandleOf(parentFd), name, true);
    std::error_code error = DeleteOpen(HandleOf(folderFd));
    return error == std::errc::no_such_file_or_directory ? std::error_code() : error;
}

std::error_code RenameEntryAt(int fromDir, const std::string& fromName, int toDir,
                              const std::string& toName) {
    return RenameAt(HandleOf(fromDir), fromName, HandleOf(toDir), toName);
}

std::error_code CreateNewFileAt(int dirFd, const std::string& name, unsigned, int& fd) {
    HANDLE file;
    fd = -1;
    if (std::error_code error = OpenAt(HandleOf(dirFd), name, kFileAccess, FILE_CREATE,
                                       FILE_NON_DIRECTORY_FILE, file)) {
        return error;
    }
    fd = HandleFd(file);
    return {};
}

std::error_code FlushFile(int fd) {
    return FlushFileBuffers(HandleOf(fd)) ? std::error_code() : LastWin32Error();
}

std::error_code FlushFolder(int) {
    return {};
}

std::error_code CloseWrittenFile(int fd) {
    return CloseHandle(HandleOf(fd)) ? std::error_code() : LastWin32Error();
}

std::error_code PlaceWrittenFile(int& fd, int dirFd, const std::string&, const std::string& name) {
    if (std::error_code error = RenameTo(HandleOf(fd), HandleOf(dirFd), name, true)) return error;
    const int written = fd;
    fd = -1;
    return CloseWrittenFile(written);
}

void RemoveUncommittedFile(int& fd, int dirFd, const std::string& name) {
    if (fd >= 0) {
        // Removed through the handle: whatever took the name meanwhile stays.
        if (!name.empty()) DeleteOpen(HandleOf(fd));
        CloseHandle(HandleOf(fd));
        fd = -1;
    } else if (!name.empty()) {
        DeleteAt(HandleOf(dirFd), name, false);
    }
}

std::error_code StatOpenFile(int fd, TFileInfo& info) {
    BY_HANDLE_FILE_INFORMATION data;
    if (!GetFileInformationByHandle(HandleOf(fd), &data)) return LastWin32Error();
    info.kind = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? TEntryKind::Folder
                                                                        : TEntryKind::File;
    info.size = static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    info.mode = 0;
    info.readOnly = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    info.accessed = NanosecondsOf(data.ftLastAccessTime);
    info.modified = NanosecondsOf(data.ftLastWriteTime);
    return {};
}

std::error_code OpenFileToReadAt(int dirFd, const std::string& name, bool, TDirFd& file) {
    HANDLE handle;
    if (std::error_code error = OpenAt(HandleOf(dirFd), name, GENERIC_READ, FILE_OPEN, 0, handle)) {
        return error;
    }
    file = TDirFd(HandleFd(handle));
    return {};
}

std::error_code OpenFileToReadByPath(const std::string& path, bool, TDirFd& file) {
    return Opened(CreateFileW(Win32Path(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                  file);
}

std::error_code OpenFileToReadBelow(int dirFd, const std::string& relative, TDirFd& file) {
    const std::vector<std::string> parts = SplitFolderNames(relative);
    if (parts.empty()) return ErrnoError(EINVAL);
    TDirFd folder;
    if (std::error_code error = DuplicateDescriptor(dirFd, folder)) return error;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        TDirFd next;
        if (std::error_code error = OpenSubfolderToReadAt(folder.Get(), parts[i], next)) {
            return error;
        }
        folder = std::move(next);
    }
    HANDLE handle;
    if (std::error_code error = OpenAt(HandleOf(folder.Get()), parts.back(), GENERIC_READ,
                                       FILE_OPEN, FILE_NON_DIRECTORY_FILE, handle)) {
        return error;
    }
    file = TDirFd(HandleFd(handle));
    return {};
}

std::error_code StatFileBelow(int dirFd, const std::string& relative, TFileInfo& info) {
    TDirFd file;
    if (std::error_code error = OpenFileToReadBelow(dirFd, relative, file)) return error;
    return StatOpenFile(file.Get(), info);
}

std::error_code FollowedKindAt(int, const std::string&, const std::string& path, TEntryKind& kind) {
    kind = TEntryKind::Missing;
    if (GetFileAttributesW(Win32Path(path).c_str()) == INVALID_FILE_ATTRIBUTES) return {};
    HANDLE target = CreateFileW(Win32Path(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (target == INVALID_HANDLE_VALUE) return {};
    kind = KindOfHandle(target);
    CloseHandle(target);
    return {};
}

std::error_code ReadFromFile(int fd, void* buffer, size_t size, size_t& got) {
    return ReadSome(HandleOf(fd), buffer, size, got);
}

bool ReadFileAt(int fd, void* buffer, size_t size, uint64_t offset) {
    char* p = static_cast<char*>(buffer);
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD chunk = static_cast<DWORD>(size > (1u << 30) ? (1u << 30) : size);
        DWORD got = 0;
        if (!ReadFile(HandleOf(fd), p, chunk, &got, &at) || got == 0) return false;
        p += got;
        size -= got;
        offset += got;
    }
    return true;
}

std::error_code ReopenToRead(int, TDirFd&) {
    return ErrorOf(std::errc::function_not_supported);
}

std::error_code CopyFileData(int in, int out, int64_t) {
    std::vector<char> buffer(1024 * 1024);
    for (;;) {
        size_t got = 0;
        if (std::error_code error = ReadFromFile(in, buffer.data(), buffer.size(), got)) {
            return error;
        }
        if (got == 0) return {};
        if (std::error_code error = WriteAll(out, buffer.data(), got)) return error;
    }
}

std::error_code ProbeOverwriteAt(int dirFd, const std::string& name) {
    // Opening it for writing and sharing nothing fails while any other process has the file
    // open, mapped or running.
    HANDLE probe;
    std::error_code error =
        OpenAt(HandleOf(dirFd), name, GENERIC_WRITE, FILE_OPEN, FILE_NON_DIRECTORY_FILE, probe, 0);
    if (!error) CloseHandle(probe);
    return error == std::errc::no_such_file_or_directory ? std::error_code() : error;
}

std::error_code KeepCopiedAttributes(const TFileInfo& source, int target) {
    const FILETIME access = FileTimeOf(source.accessed);
    const FILETIME written = FileTimeOf(source.modified);
    if (!::SetFileTime(HandleOf(target), nullptr, &access, &written)) return LastWin32Error();
    if (source.readOnly) return SetReadOnly(HandleOf(target), true);
    return {};
}

std::error_code KeepReplacedAttributes(int dirFd, const std::string& name, int file) {
    constexpr DWORD kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    const HANDLE dir = HandleOf(dirFd);
    TEntryKind kind;
    HANDLE old;
    if (KindAt(dir, name, kind) || kind != TEntryKind::File ||
        OpenAt(dir, name, FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_NON_DIRECTORY_FILE, old)) {
        return {};  // nothing to keep
    }
    FILE_BASIC_INFO basic{};
    const bool known = GetFileInformationByHandleEx(old, FileBasicInfo, &basic, sizeof basic);
    CloseHandle(old);
    if (!known || (basic.FileAttributes & kKept) == 0) return {};
    FILE_BASIC_INFO fresh{};
    if (!GetFileInformationByHandleEx(HandleOf(file), FileBasicInfo, &fresh, sizeof fresh)) {
        return LastWin32Error();
    }
    fresh.FileAttributes = (fresh.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL)) |
                           (basic.FileAttributes & kKept);
    // Times left as they are.
    fresh.CreationTime.QuadPart = 0;
    fresh.LastAccessTime.QuadPart = 0;
    fresh.LastWriteTime.QuadPart = 0;
    fresh.ChangeTime.QuadPart = 0;
    if (!SetFileInformationByHandle(HandleOf(file), FileBasicInfo, &fresh, sizeof fresh)) {
        return LastWin32Error();
    }
    return {};
}

std::error_code SetUnpackedAttributes(int fd, bool unixHost, unsigned unixMode, bool dosReadOnly,
                                      bool hasTime, int64_t seconds) {
    if (hasTime) {
        if (std::error_code error = SetFileTimeSeconds(HandleOf(fd), seconds)) return error;
    }
    const bool readOnly = unixHost ? (unixMode & 0777) != 0 && (unixMode & 0222) == 0 : dosReadOnly;
    if (readOnly) return SetReadOnly(HandleOf(fd), true);
    return {};
}

std::error_code StampOfFile(const std::string& path, uint64_t& size, int64_t& modified) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Win32Path(path).c_str(), GetFileExInfoStandard, &data)) {
        return LastWin32Error();
    }
    size = static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    modified = NanosecondsOf(data.ftLastWriteTime);
    return {};
}

std::error_code FlushFileSystemOf(const std::string& path) {
    TDirFd folder;
    if (std::error_code error = TDirFd::Open(path, folder)) return error;
    // The whole volume where the rights allow it (an elevated run), as syncfs does on Linux.
    wchar_t volume[MAX_PATH];
    if (GetVolumePathNameW(Win32Path(path).c_str(), volume, MAX_PATH)) {
        std::wstring device = volume;
        if (device.rfind(L"\\\\?\\", 0) == 0) device.erase(0, 4);
        while (!device.empty() && device.back() == L'\\') device.pop_back();
        if (device.size() == 2 && device[1] == L':') {
            HANDLE handle =
                CreateFileW((L"\\\\.\\" + device).c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            if (handle != INVALID_HANDLE_VALUE) {
                const bool flushed = FlushFileBuffers(handle) != 0;
                CloseHandle(handle);
                if (flushed) return {};
            }
        }
    }
    // Otherwise every file below the folder, one by one. A file that cannot be opened for
    // writing (one that a running program holds) was not written by this run.
    return FlushFilesBelow(HandleOf(folder.Get()));
}

uint64_t RandomNameBits() {
    uint64_t value = 0;
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value,
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
        static uint64_t counter = 0;
        value = (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^ ++counter ^
                reinterpret_cast<uintptr_t>(&value) ^ GetTickCount64();
    }
    return value;
}

}  // namespace ombrel
