#include "io/io_system.h"

#include <windows.h>

#include <cerrno>
#include <cmath>
#include <memory>
#include <set>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include <fmt/printf.h>

#include "io/atomic_file.h"
#include "io/failure_text.h"
#include "io/file_mask.h"
#include "io/owned_folders.h"
#include "io/paths.h"
#include "io/text.h"
#include "io/unpacked_marker.h"
#include "io/win32_files.h"
#include "io/zip_layout.h"
#include "io/zip_reader.h"
#include "platform/crypto.h"
#include "platform/file_usage.h"
#include "platform/win32_text.h"

// The file system service over the wide-character Win32 API (and NtCreateFile for the walks
// below owned folders, see io/win32_files.h). Text is UTF-8 inside and UTF-16 at the system's
// boundary; paths are joined with "\"; absolute paths reach the system with the "\\?\" prefix,
// so they may be longer than 260 characters. Failures read as the Linux build's do.
//
// Decisions for Windows, where they differ from Linux (io/io_system.h):
// - Reparse points (symbolic links, junctions, mount points) take the place of links.
// - There are no mode bits: an entry made on Unix without any write bit, and an entry made on
//   MS-DOS with the read-only attribute, become read-only files; Copyfile keeps the source's
//   read-only attribute; a file replaced by SetLines or ByteToFile keeps its read-only, hidden
//   and system attributes. A read-only file is replaced and deleted as any other, as on Linux.
// - Two entries of an archive whose names differ in case only are the same name ("is there
//   twice"), as they are for the file system.
// - Below an owned folder, a handle that leads elsewhere than the name it was opened by (a link
//   the system does not show as one) is refused as a link.
// - FlushToDisk flushes the whole volume where the rights allow it; otherwise (a run that is
//   not elevated) every file below Path, one by one, since there is no syncfs.

namespace ombrel {

namespace {

std::string ErrnoText(int value) { return ErrnoError(value).message(); }

// A handle, closed on destruction.
class THandle {
public:
    THandle() = default;
    explicit THandle(HANDLE handle) : iHandle(handle) {}
    ~THandle() {
        if (iHandle != INVALID_HANDLE_VALUE) CloseHandle(iHandle);
    }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    HANDLE Get() const { return iHandle; }
    HANDLE* Out() { return &iHandle; }
    bool IsOpen() const { return iHandle != INVALID_HANDLE_VALUE; }

private:
    HANDLE iHandle = INVALID_HANDLE_VALUE;
};

HANDLE DirOf(const TDirFd& dir) { return FdHandle(dir.Get()); }

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// ---- Listing ---------------------------------------------------------------------------

// Appends the relative names ("\" between folders) of the regular files below the folder
// `dir`, depth first, each folder in the order the platform delivers it. Reparse points are
// neither listed nor followed.
std::error_code ListFiles(HANDLE dir, const std::string& relative, TStrings& result) {
    std::vector<TFolderEntry> entries;
    if (std::error_code error = ListFolder(dir, entries)) return error;
    for (const TFolderEntry& entry : entries) {
        std::string path = relative.empty() ? entry.name : relative + kPathSeparator + entry.name;
        switch (entry.Kind()) {
        case TEntryKind::File:
            result.push_back(std::move(path));
            break;
        case TEntryKind::Folder: {
            THandle sub;
            if (std::error_code error = OpenAt(dir, entry.name, kFolderAccess & ~DELETE, FILE_OPEN,
                                               FILE_DIRECTORY_FILE, *sub.Out())) {
                return error;
            }
            if (std::error_code error = ListFiles(sub.Get(), path, result)) return error;
            break;
        }
        default:
            break;
        }
    }
    return {};
}

// A folder and a name below it: the folder, a separator unless it ends in one, the name. Only a
// name beginning with a separator stands for itself. Both parts are checked for characters
// that paths may not contain (EPathError).
std::string JoinBelow(const std::string& folder, const std::string& name) {
    CheckPathChars(folder);
    CheckPathChars(name);
    if (folder.empty() || (!name.empty() && IsSeparator(name[0]))) return name;
    if (name.empty()) return folder;
    return IsSeparator(folder.back()) ? folder + name : folder + kPathSeparator + name;
}

std::string BareName(const std::string& relative) {
    size_t pos = relative.find_last_of("/\\");
    return pos == std::string::npos ? relative : relative.substr(pos + 1);
}

std::string InvalidMaskText(const std::string& mask) {
    return fmt::sprintf("Invalid file mask: '%s'", mask);
}

// ---- Text files ------------------------------------------------------------------------

bool IsFolderHandle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(handle, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Reads a whole open file. Answers false with the platform's text in `error`.
bool ReadWholeFile(HANDLE file, std::string& content, std::string& error) {
    if (IsFolderHandle(file)) {
        error = ErrnoText(EISDIR);
        return false;
    }
    content.clear();
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        content.reserve(static_cast<size_t>(size.QuadPart));
    }
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        size_t got = 0;
        if (std::error_code failure = ReadSome(file, buffer.data(), buffer.size(), got)) {
            error = failure.message();
            return false;
        }
        if (got == 0) return true;
        content.append(buffer.data(), got);
    }
}

// Opens a file for reading by the rules for its place: below an owned folder from the
// folder's handle, a reparse point at the last name never followed (ELOOP); elsewhere by its
// path. A folder opens as well (the callers tell it apart).
std::error_code OpenForReading(const TOwnedFolders& owned, const std::string& path,
                               THandle& file) {
    if (!owned.Owns(path)) {
        HANDLE handle = CreateFileW(Win32Path(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return LastWin32Error();
        *file.Out() = handle;
        return {};
    }
    TDirFd parent;
    std::string name;
    if (std::error_code error = owned.OpenParent(path, false, parent, name)) return error;
    if (name.empty()) return ErrnoError(EISDIR);
    return OpenAt(DirOf(parent), name, GENERIC_READ, FILE_OPEN, 0, *file.Out());
}

// ---- Copying ---------------------------------------------------------------------------

std::error_code CopyData(HANDLE in, int out) {
    std::vector<char> buffer(1024 * 1024);
    for (;;) {
        size_t got = 0;
        if (std::error_code error = ReadSome(in, buffer.data(), buffer.size(), got)) return error;
        if (got == 0) return {};
        if (std::error_code error = WriteAll(out, buffer.data(), got)) return error;
    }
}

// ---- Archives --------------------------------------------------------------------------

bool ReadAllAt(HANDLE file, void* buffer, size_t size, uint64_t offset) {
    char* p = static_cast<char*>(buffer);
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD chunk = static_cast<DWORD>(size > (1u << 30) ? (1u << 30) : size);
        DWORD got = 0;
        if (!ReadFile(file, p, chunk, &got, &at) || got == 0) return false;
        p += got;
        size -= got;
        offset += got;
    }
    return true;
}

// True when every component of the name is empty or ".": a folder entry for the root.
bool NamesRoot(std::string_view name) {
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = name.size();
        std::string_view part = name.substr(start, end - start);
        if (!part.empty() && part != ".") return false;
        start = end + 1;
    }
    return true;
}

std::vector<std::string> SplitComponents(const std::string& relative) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find_first_of("/\\", start);
        if (end == std::string::npos) end = relative.size();
        if (end > start) parts.push_back(relative.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// True when a part of the name ends in a blank or a dot, or holds ':', '*' or '?'. Below a
// folder handle such a file can be made, but the Win32 API strips a trailing blank or dot, so
// most programs (and the C++ library's remove_all, which then never ends) cannot reach or
// delete it; ':' names a stream of a file or folder, '*' and '?' are wildcards.
bool IsNoWindowsName(const std::string& relative) {
    for (const std::string& part : SplitComponents(relative)) {
        if (part.back() == ' ' || part.back() == '.') return true;
        if (part.find_first_of(":*?") != std::string::npos) return true;
    }
    return false;
}

// Opens, creating where missing, the folder made of the first `count` components below
// `root`, never through a reparse point. `linkFound` tells that a component is one.
std::error_code OpenFolderInside(HANDLE root, const std::vector<std::string>& parts, size_t count,
                                 TDirFd& result, bool& linkFound) {
    linkFound = false;
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(GetCurrentProcess(), root, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return LastWin32Error();
    }
    TDirFd current(HandleFd(copy));
    for (size_t i = 0; i < count; ++i) {
        HANDLE next;
        if (std::error_code error = OpenFolderAt(DirOf(current), parts[i], true, next)) {
            linkFound = error == std::errc::too_many_symbolic_link_levels;
            return error;
        }
        current = TDirFd(HandleFd(next));
    }
    result = std::move(current);
    return {};
}

// The read-only attribute and the modification time of an extracted file.
std::error_code ApplyAttributes(HANDLE file, const TZipEntry& entry) {
    if (entry.HasModTime) {
        if (std::error_code error = SetFileTimeSeconds(file, entry.ModTime)) return error;
    }
    const uint32_t unixMode = entry.UnixMode();
    const bool readOnly = entry.Host == TZipEntry::kHostUnix
                              ? (unixMode & 0777) != 0 && (unixMode & 0222) == 0
                              : entry.IsDosReadOnly();
    if (readOnly) return SetReadOnly(file, true);
    return {};
}

// Opens the file `relative` ("a\b.txt") below the folder `root`, never through a reparse
// point.
std::error_code OpenFileBeneath(HANDLE root, const std::string& relative, THandle& file) {
    TDirFd folder;
    if (std::error_code error = OpenBeneath(HandleFd(root), ExtractFileDir(relative), false,
                                            folder)) {
        return error;
    }
    return OpenAt(DirOf(folder), BareName(relative), GENERIC_READ, FILE_OPEN,
                  FILE_NON_DIRECTORY_FILE, *file.Out());
}

// Size and modification time (nanoseconds since 1970) of a file by its path.
bool ArchiveStamp(const std::string& path, uint64_t& size, int64_t& modified,
                  std::string& error) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Win32Path(path).c_str(), GetFileExInfoStandard, &data)) {
        error = LastWin32Error().message();
        return false;
    }
    size = static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    const int64_t ticks = static_cast<int64_t>(
        static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32 |
        data.ftLastWriteTime.dwLowDateTime);
    modified = (ticks - 116444736000000000LL) * 100;
    return true;
}

// The read-only, hidden and system attributes of the file `name` of `dir`, if there is one,
// given to `file`, which is to replace it (as a replaced file keeps its mode bits on Linux).
std::error_code KeepAttributes(HANDLE dir, const std::string& name, HANDLE file) {
    constexpr DWORD kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
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
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &fresh, sizeof fresh)) {
        return LastWin32Error();
    }
    fresh.FileAttributes = (fresh.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL)) |
                           (basic.FileAttributes & kKept);
    // Times left as they are.
    fresh.CreationTime.QuadPart = 0;
    fresh.LastAccessTime.QuadPart = 0;
    fresh.LastWriteTime.QuadPart = 0;
    fresh.ChangeTime.QuadPart = 0;
    if (!SetFileInformationByHandle(file, FileBasicInfo, &fresh, sizeof fresh)) {
        return LastWin32Error();
    }
    return {};
}

// Removes the folder `name` of `parent` and the empty folders below it, bottom-up, when they
// hold no entry; reparse points count as entries and are never descended. Answers whether
// `name` itself went. A folder that cannot be opened or listed throws, naming `path`.
bool DeleteEmptyFoldersAt(HANDLE parent, const std::string& name, const std::string& path) {
    THandle folder;
    if (std::error_code error =
            OpenAt(parent, name, kFolderAccess, FILE_OPEN, FILE_DIRECTORY_FILE, *folder.Out())) {
        if (error == std::errc::too_many_symbolic_link_levels ||
            error == std::errc::not_a_directory) {
            return false;  // swapped for a link or a file
        }
        throw std::system_error(error, "cannot open folder " + path);
    }
    std::vector<TFolderEntry> entries;
    if (std::error_code error = ListFolder(folder.Get(), entries)) {
        throw std::system_error(error, "cannot list folder " + path);
    }
    bool other = false;
    bool allGone = true;
    for (const TFolderEntry& entry : entries) {
        if (entry.Kind() != TEntryKind::Folder) {
            other = true;
        } else if (!DeleteEmptyFoldersAt(folder.Get(), entry.name,
                                         path + kPathSeparator + entry.name)) {
            allGone = false;
        }
    }
    if (other || !allGone) return false;
    return !DeleteOpen(folder.Get());
}

// Flushes every regular file below the folder `dir` to the disk, never through a link.
std::error_code FlushFilesBelow(HANDLE dir) {
    std::vector<TFolderEntry> entries;
    if (std::error_code error = ListFolder(dir, entries)) return error;
    for (const TFolderEntry& entry : entries) {
        const TEntryKind kind = entry.Kind();
        if (kind == TEntryKind::Folder) {
            THandle sub;
            if (OpenAt(dir, entry.name, kFolderAccess & ~DELETE, FILE_OPEN, FILE_DIRECTORY_FILE,
                       *sub.Out())) {
                continue;  // gone or swapped meanwhile
            }
            if (std::error_code error = FlushFilesBelow(sub.Get())) return error;
        } else if (kind == TEntryKind::File) {
            THandle file;
            if (OpenAt(dir, entry.name, GENERIC_WRITE, FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                       *file.Out())) {
                continue;
            }
            if (!FlushFileBuffers(file.Get())) return LastWin32Error();
        }
    }
    return {};
}

}  // namespace

TIO::TIO(IMessagesPtr Messages) : Messages(std::move(Messages)) {}

void TIO::OwnFolder(const std::string& Path) { iOwned.Add(Path); }

void TIO::DoError(const std::string& text) { Messages->Error(text, Sender); }

void TIO::DoLog(const std::string& text) { Messages->Log(text, Sender); }

bool TIO::DirectoryExists(const std::string& Path) {
    if (Path.empty()) return false;
    TDirFd parent;
    std::string name;
    std::error_code error = iOwned.OpenParent(Path, false, parent, name);
    if (!error) {
        if (name.empty()) return true;
        TEntryKind kind;
        error = KindAt(DirOf(parent), name, kind);
        if (!error) {
            if (kind != TEntryKind::Link) return kind == TEntryKind::Folder;
            // Below an owned folder a link is no folder; elsewhere links are followed.
            if (iOwned.Owns(Path) && !iOwned.IsRoot(Path)) return false;
            const DWORD attributes = GetFileAttributesW(Win32Path(Path).c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES) return false;
            HANDLE target = CreateFileW(Win32Path(Path).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                        nullptr);
            if (target == INVALID_HANDLE_VALUE) return false;
            const bool folder = IsFolderHandle(target);
            CloseHandle(target);
            return folder;
        }
    }
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory ||
        (error == std::errc::too_many_symbolic_link_levels && iOwned.Owns(Path))) {
        return false;
    }
    DoError(FailureText("look at", Path, error.message()));
    return false;
}

bool TIO::FileExists(const std::string& Path) {
    if (Path.empty()) return false;
    TDirFd parent;
    std::string name;
    TEntryKind kind;
    if (iOwned.OpenParent(Path, false, parent, name) || name.empty() ||
        KindAt(DirOf(parent), name, kind)) {
        return false;
    }
    if (kind != TEntryKind::Link) return kind == TEntryKind::File;
    // It only looks: a link is followed.
    HANDLE target = CreateFileW(Win32Path(Path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (target == INVALID_HANDLE_VALUE) return false;
    const bool folder = IsFolderHandle(target);
    CloseHandle(target);
    return !folder;
}

bool TIO::FileDelete(const std::string& path) {
    TDirFd parent;
    std::string name;
    std::error_code error = iOwned.OpenParent(path, false, parent, name);
    if (!error && name.empty()) error = ErrnoError(EISDIR);
    if (!error) {
        TEntryKind kind;
        error = KindAt(DirOf(parent), name, kind);
        if (!error && kind == TEntryKind::Missing) error = ErrnoError(ENOENT);
        if (!error && kind == TEntryKind::Folder) error = ErrnoError(EISDIR);
        // A link is removed as the link.
        if (!error) error = DeleteAt(DirOf(parent), name, false);
    }
    if (error) {
        DoError(FailureText("delete", path, error.message()));
        return false;
    }
    return true;
}

bool TIO::CopyFiles(size_t count, const TNextCopy& next) {
    return IOInterface::CopyFiles(count, next);
}

bool TIO::Copyfile(const std::string& source, const std::string& target) {
    TDirFd dir;
    std::string targetName;
    std::error_code error = iOwned.OpenParent(target, true, dir, targetName);
    if (error) {
        DoError(CopyFailureText(source, target, error.message()));
        return false;
    }
    THandle in;
    if ((error = OpenForReading(iOwned, source, in))) {
        DoError(CopyFailureText(source, target, error.message()));
        return false;
    }
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(in.Get(), FileBasicInfo, &basic, sizeof basic)) {
        DoError(CopyFailureText(source, target, LastWin32Error().message()));
        return false;
    }
    if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || targetName.empty()) {
        DoError(CopyFailureText(source, target, ErrnoText(EISDIR)));
        return false;
    }
    TAtomicFile out;
    if (!(error = out.Create(dir.Get(), targetName, true)) &&
        !(error = CopyData(in.Get(), out.Fd()))) {
        FILETIME access, written;
        access.dwLowDateTime = static_cast<DWORD>(basic.LastAccessTime.QuadPart);
        access.dwHighDateTime = static_cast<DWORD>(basic.LastAccessTime.QuadPart >> 32);
        written.dwLowDateTime = static_cast<DWORD>(basic.LastWriteTime.QuadPart);
        written.dwHighDateTime = static_cast<DWORD>(basic.LastWriteTime.QuadPart >> 32);
        if (!::SetFileTime(FdHandle(out.Fd()), nullptr, &access, &written)) {
            error = LastWin32Error();
        } else if ((basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
            error = SetReadOnly(FdHandle(out.Fd()), true);
        }
        if (!error) error = out.Commit(false);
    }
    if (error) {
        DoError(CopyFailureText(source, target, error.message()));
        return false;
    }
    return true;
}

bool TIO::GetFiles(const std::string& path, const TStrings& masks, TStrings& files) {
    return ListMatching(path, masks, false, files);
}

bool TIO::GetFileNames(const std::string& path, const TStrings& masks, TStrings& names) {
    return ListMatching(path, masks, true, names);
}

bool TIO::ListMatching(const std::string& path, const TStrings& masks, bool relativeNames,
                       TStrings& files) {
    files.clear();
    if (masks.empty()) return false;

    const bool single = masks.size() == 1;
    std::vector<TFileMask> parsed(masks.size());
    for (size_t i = 0; i < masks.size(); ++i) {
        const std::string& mask = masks[i];
        bool valid;
        if (single) {
            // A bare file-name pattern: no folder part, nothing a file name may not hold.
            valid = !IsBlank(mask) && mask.find_first_of("/\\") == std::string::npos &&
                    !HasInvalidPathChars(mask) && TFileMask::Parse(mask, parsed[i]);
        } else {
            // Names from servers may use "/" between folders; the listing uses "\".
            valid = TFileMask::Parse(NormalizeSeparators(mask), parsed[i]);
        }
        if (!valid) {
            DoError(InvalidMaskText(mask));
            return false;
        }
    }

    TDirFd folder;
    if (std::error_code error = iOwned.OpenFolder(path, false, folder)) {
        DoError(FailureText("list folder", path, error.message()));
        return false;
    }
    TStrings listed;
    if (std::error_code error = ListFiles(DirOf(folder), "", listed)) {
        DoError(FailureText("list folder", path, error.message()));
        return false;
    }

    TStrings result;
    try {
        for (std::string& relative : listed) {
            bool keep = false;
            if (single) {
                // "*.*" stands for every name, also one without a dot.
                keep = masks[0] == "*.*" || parsed[0].Matches(BareName(relative));
            } else {
                for (const TFileMask& mask : parsed) {
                    if (mask.Matches(relative)) {
                        keep = true;
                        break;
                    }
                }
            }
            if (!keep) continue;
            std::string full = JoinBelow(path, relative);
            result.push_back(relativeNames ? std::move(relative) : std::move(full));
        }
    } catch (const EPathError& e) {
        DoError(e.what());
        return false;
    }
    files = std::move(result);
    return true;
}

bool TIO::GetFileHashList(const std::string& path, const TStrings& files, THashList& HashList) {
    HashList.clear();
    std::vector<char> block(64 * 1024);
    for (const std::string& name : files) {
        // A name that is not a valid path ends the whole operation (EPathError).
        const std::string full = JoinBelow(path, name);
        // Below an owned folder a link is not followed: no file to hash, as a folder is not.
        THandle file;
        if (std::error_code error = OpenForReading(iOwned, full, file)) {
            if (error != std::errc::no_such_file_or_directory &&
                error != std::errc::not_a_directory &&
                !(error == std::errc::too_many_symbolic_link_levels && iOwned.Owns(full))) {
                DoError(FailureText("read", full, error.message()));
            }
            continue;
        }
        if (IsFolderHandle(file.Get())) continue;  // a folder is no file to hash

        TDigest digest(TDigestAlgorithm::Md5);
        bool failed = false;
        for (;;) {
            size_t got = 0;
            if (std::error_code error = ReadSome(file.Get(), block.data(), block.size(), got)) {
                DoError(FailureText("read", full, error.message()));
                failed = true;
                break;
            }
            if (got == 0) break;
            digest.Update(block.data(), got);
        }
        if (failed) continue;
        std::string bytes;
        std::string error;
        if (!digest.Finish(bytes, error)) {
            DoError("MD5 is not available: " + error);
            continue;
        }
        static const char kHex[] = "0123456789abcdef";
        std::string hex;
        hex.reserve(bytes.size() * 2);
        for (unsigned char c : bytes) {
            hex += kHex[c >> 4];
            hex += kHex[c & 0x0F];
        }
        HashList.emplace_back(name, std::move(hex));
    }
    return true;
}

bool TIO::GetLines(const std::string& Path, TStrings& lines) {
    lines.clear();
    std::string content;
    std::string error;
    THandle file;
    if (std::error_code failure = OpenForReading(iOwned, Path, file)) {
        error = failure.message();
    } else {
        ReadWholeFile(file.Get(), content, error);
    }
    if (!error.empty()) {
        DoError(FailureText("read", Path, error));
        return false;
    }
    std::string_view bytes = content;
    if (bytes.substr(0, 3) == kUtf8Bom) bytes.remove_prefix(3);
    lines = SplitLines(DecodeText(bytes, TTextEncoding::Utf8));
    return true;
}

bool TIO::SetLines(const std::string& Path, const TStrings& lines) {
    std::string content = kUtf8Bom;
    size_t size = content.size();
    for (const std::string& line : lines) size += line.size() + 2;
    content.reserve(size);
    for (const std::string& line : lines) {
        content += line;
        content += "\r\n";
    }
    return WriteFileAtomic(Path, content.data(), content.size());
}

bool TIO::AppendLine(const std::string& Path, const std::string& line) {
    TStrings lines;
    if (!GetLines(Path, lines)) return false;
    lines.push_back(line);
    return SetLines(Path, lines);
}

bool TIO::ByteToFile(const std::string& Path, const TBytes& bytes) {
    return WriteFileAtomic(Path, reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

bool TIO::WriteFileAtomic(const std::string& Path, const char* data, size_t size) {
    if (Path.empty() || IsSeparator(Path.back())) {
        DoError(FailureText("write", Path, ErrnoText(Path.empty() ? ENOENT : EISDIR)));
        return false;
    }
    TDirFd dir;
    std::string name;
    std::error_code error = iOwned.OpenParent(Path, false, dir, name);
    if (!error && name.empty()) error = ErrnoError(EISDIR);
    TAtomicFile file;
    if (!error) error = file.Create(dir.Get(), name);
    if (!error) error = file.Write(data, size);
    if (!error) error = KeepAttributes(DirOf(dir), name, FdHandle(file.Fd()));
    if (!error) error = file.Commit(true);
    if (error) {
        DoError(FailureText("write", Path, error.message()));
        return false;
    }
    return true;
}

bool TIO::ForceDirectory(const std::string& Path) {
    // Outside every owned folder, the missing folders are made by path.
    TDirFd folder;
    std::error_code error = iOwned.OpenFolder(Path, true, folder);
    if (error) DoError(FailureText("create folder", Path, error.message()));
    return !error;
}

void TIO::DoZipProgress(const std::string& target, uint64_t position, uint64_t size,
                        bool complete) {
    int32_t percent = 0;
    if (size > 0) {
        // Nearest integer, ties to even (the default rounding mode).
        percent = static_cast<int32_t>(
            std::nearbyint(static_cast<double>(position) * 100.0 / static_cast<double>(size)));
    }
    // A chunk that did not move the percent is not worth a report; the final one always is.
    if (!complete && percent == iLastPercent && target == iLastCaption) return;
    iLastCaption = target;
    iLastPercent = percent;
    if (OnProgressRedirect) OnProgressRedirect(target, percent);
}

bool TIO::ExtractZipFile(const std::string& ZipFilePath, const std::string& ExtractPath) {
    return ExtractEntries(ZipFilePath, ExtractPath, ExtractPath);
}

bool TIO::ExtractZipFolder(const std::string& ZipFilePath, const std::string& ExtractPath) {
    // Unpacked beside its final place and renamed when every entry is out, so that a folder
    // under the final name is always complete, whatever stopped an earlier unpacking.
    const std::string staging = ExtractPath + ".part";
    TDirFd parent;
    std::string name;
    std::error_code error = iOwned.OpenParent(ExtractPath, true, parent, name);
    if (!error && name.empty()) error = ErrnoError(EINVAL);
    const std::string stagingName = name + ".part";
    // Whatever an earlier attempt left goes, links as links.
    if (!error) error = RemoveTreeAt(parent.Get(), stagingName);
    if (!error) {
        HANDLE made;
        error = OpenAt(DirOf(parent), stagingName, kFolderAccess, FILE_CREATE,
                       FILE_DIRECTORY_FILE, made);
        if (!error) CloseHandle(made);
    }
    if (error) {
        DoError(FailureText("create folder", staging, error.message()));
        if (parent.IsOpen()) RemoveTreeAt(parent.Get(), stagingName);
        return false;
    }
    std::vector<TUnpackedFile> unpacked;
    bool ok = ExtractEntries(ZipFilePath, staging, ExtractPath, &unpacked);
    if (ok) {
        // The marker goes last, once the files it lists are on the disk.
        TUnpackedMarker marker;
        std::string failure;
        if (!ArchiveStamp(ZipFilePath, marker.ArchiveSize, marker.ArchiveModified, failure)) {
            DoError(FailureText("look at", ZipFilePath, failure));
            ok = false;
        } else {
            marker.Files = std::move(unpacked);
            // Written as SetLines writes the marker's lines.
            const std::string text = UnpackedMarkerText(marker, kUtf8Bom);
            marker.Files = {};
            ok = FlushToDisk(staging) &&
                 WriteFileAtomic(JoinBelow(staging, kUnpackedMarkerName), text.data(),
                                 text.size());
        }
    }
    if (ok) {
        if (std::error_code renameError =
                RenameAt(DirOf(parent), stagingName, DirOf(parent), name)) {
            DoError(fmt::sprintf("cannot rename \"%s\" to \"%s\": %s", staging, ExtractPath,
                                 renameError.message()));
            ok = false;
        }
    }
    if (!ok) RemoveTreeAt(parent.Get(), stagingName);
    return ok;
}

bool TIO::ExtractEntries(const std::string& ZipFilePath, const std::string& ExtractPath,
                         const std::string& CaptionPath, std::vector<TUnpackedFile>* unpacked) {
    // The archive reader's progress reaches the sink for the length of this extraction only.
    OnProgressRedirect = [this](const std::string& caption, int32_t percent) {
        Messages->Progress(caption, percent);
    };
    struct TReset {
        TIO& io;
        ~TReset() {
            io.OnProgressRedirect = nullptr;
            io.iLastCaption.clear();
            io.iLastPercent = -1;
        }
    } reset{*this};

    // One handle for the layout check and the reader, so both see the same file.
    THandle archive;
    LARGE_INTEGER archiveSize{};
    TZipReader reader;
    std::string error;
    if (OpenForReading(iOwned, ZipFilePath, archive) || IsFolderHandle(archive.Get()) ||
        !GetFileSizeEx(archive.Get(), &archiveSize)) {
        DoError(fmt::sprintf("%s is not a valid Zip-File", ZipFilePath));
        return false;
    }
    // The reader takes over a handle of its own.
    const auto openReader = [&](std::string& failure) {
        HANDLE copy = INVALID_HANDLE_VALUE;
        if (!DuplicateHandle(GetCurrentProcess(), archive.Get(), GetCurrentProcess(), &copy, 0,
                             FALSE, DUPLICATE_SAME_ACCESS)) {
            failure = LastWin32Error().message();
            return false;
        }
        return reader.Open(HandleFd(copy), failure);
    };

    // Everything is checked before the first file is written: the layout and the limits, then
    // every entry's name. The layout is read before the reader opens the archive and only the
    // sizes are kept from it, so that the two never hold an archive of many entries in memory
    // at the same time.
    std::vector<std::pair<uint64_t, uint64_t>> sizes;  // declared size, compressed size
    {
        std::vector<TZipLayoutEntry> layout;
        const HANDLE layoutFile = archive.Get();
        error = CheckZipLayout(
            static_cast<uint64_t>(archiveSize.QuadPart),
            [layoutFile](uint64_t offset, void* buffer, size_t size) {
                return ReadAllAt(layoutFile, buffer, size, offset);
            },
            iZipLimits, layout);
        if (!error.empty()) {
            // A file the reader cannot open at all is no archive; else the layout tells why.
            layout = {};
            std::string openError;
            DoError(openReader(openError) ? fmt::sprintf("%s: %s", ZipFilePath, error)
                                          : fmt::sprintf("%s is not a valid Zip-File", ZipFilePath));
            return false;
        }
        sizes.reserve(layout.size());
        for (const auto& item : layout) sizes.emplace_back(item.size, item.compressedSize);
    }
    if (!openReader(error)) {
        DoError(fmt::sprintf("%s is not a valid Zip-File", ZipFilePath));
        return false;
    }
    const uint64_t count = reader.Count();
    if (count != sizes.size()) {
        DoError(fmt::sprintf("%s: damaged zip archive: the central directory is ambiguous",
                             ZipFilePath));
        return false;
    }
    // An entry and its name below the target ("" for the target folder itself), read again
    // in each pass rather than kept.
    TZipEntry entry;
    std::string relative;
    const auto readEntry = [&](uint64_t index) {
        if (!reader.Entry(index, entry, error)) {
            DoError(fmt::sprintf("%s: %s", ZipFilePath, error));
            return false;
        }
        try {
            relative.clear();
            if (!(entry.IsDirectory() && NamesRoot(entry.Name))) {
                relative = JoinInside("", entry.Name);
            }
        } catch (const EPathError& e) {
            DoError(e.what());
            return false;
        }
        return true;
    };
    for (uint64_t index = 0; index < count; ++index) {
        if (!readEntry(index)) return false;
        if (entry.Size != sizes[index].first || entry.CompressedSize != sizes[index].second) {
            DoError(fmt::sprintf("%s: damaged zip archive: sizes of %s disagree", ZipFilePath,
                                 entry.Name));
            return false;
        }
        if (entry.IsSymlink()) {
            DoError(fmt::sprintf("Symbolic link entry not extracted: %s", entry.Name));
            return false;
        }
        if (IsNoWindowsName(relative)) {
            DoError(fmt::sprintf("%s: zip archive refused: %s is no Windows file name",
                                 ZipFilePath, entry.Name));
            return false;
        }
    }
    sizes = {};
    {
        // Each name once; a file's name is no folder of another entry. File names compare
        // without regard to case here, as the file system does.
        std::unordered_map<std::string, bool> names;  // relative name -> is a folder
        const auto key = [](const std::string& name) {
            std::wstring wide = Widen(name);
            if (!wide.empty()) {
                CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
            }
            return Narrow(wide);
        };
        for (uint64_t index = 0; index < count; ++index) {
            if (!readEntry(index)) return false;
            const bool isFolder = entry.IsDirectory();
            if (relative.empty()) continue;
            auto [at, added] = names.emplace(key(relative), isFolder);
            if (!added && !(isFolder && at->second)) {
                DoError(fmt::sprintf("%s: zip archive refused: %s is there twice", ZipFilePath,
                                     entry.Name));
                return false;
            }
            // Every folder above the name is one.
            for (size_t sep = relative.find(kPathSeparator); sep != std::string::npos;
                 sep = relative.find(kPathSeparator, sep + 1)) {
                auto parent = names.emplace(key(relative.substr(0, sep)), true).first;
                if (!parent->second) {
                    DoError(fmt::sprintf("%s: zip archive refused: %s is there twice",
                                         ZipFilePath, relative.substr(0, sep)));
                    return false;
                }
            }
        }
    }

    TDirFd root;
    std::string folderRelative;  // the folder `folder` is open for
    TDirFd folder;
    for (uint64_t index = 0; index < count; ++index) {
        if (!readEntry(index)) return false;
        const std::string target = PathJoin(CaptionPath, relative);
        const bool isFolder = entry.IsDirectory();

        if (!root.IsOpen()) {
            std::error_code failure = iOwned.OpenFolder(ExtractPath, true, root);
            if (failure) {
                DoError(FailureText("create folder", ExtractPath, failure.message()));
                return false;
            }
        }
        std::vector<std::string> parts = SplitComponents(relative);
        const size_t folderDepth = isFolder ? parts.size() : parts.size() - 1;
        const std::string wanted = isFolder ? relative : ExtractFileDir(relative);
        if (!folder.IsOpen() || wanted != folderRelative) {
            bool linkFound = false;
            folder = TDirFd();
            std::error_code failure =
                OpenFolderInside(DirOf(root), parts, folderDepth, folder, linkFound);
            if (failure) {
                DoError(linkFound
                            ? fmt::sprintf("Path runs through a symbolic link: %s", target)
                            : FailureText("create folder",
                                          PathJoin(CaptionPath, wanted), failure.message()));
                return false;
            }
            folderRelative = wanted;
        }
        if (isFolder) continue;
        if (unpacked != nullptr && relative == kUnpackedMarkerName) {
            DoError(fmt::sprintf("Entry name is reserved for the package cache: %s", entry.Name));
            return false;
        }

        TAtomicFile file;
        std::error_code failure = file.Create(folder.Get(), parts.back(), true);
        if (failure) {
            DoError(FailureText("write", target, failure.message()));
            return false;
        }
        const int fd = file.Fd();
        const uint64_t size = entry.Size;
        bool ok = reader.Extract(
            index, entry,
            [fd, &target](const char* data, size_t length) {
                std::error_code writeError = WriteAll(fd, data, length);
                return writeError ? FailureText("write", target, writeError.message())
                                  : std::string();
            },
            [&](uint64_t position, bool complete) {
                DoZipProgress(target, position, size, complete);
            },
            error);
        if (!ok) {
            DoError(fmt::sprintf("%s: %s", ZipFilePath, error));
            return false;
        }
        if ((failure = ApplyAttributes(FdHandle(fd), entry)) || (failure = file.Commit(false))) {
            DoError(FailureText("write", target, failure.message()));
            return false;
        }
        // Every name is there once (checked above).
        if (unpacked != nullptr) unpacked->push_back({relative, entry.Size, entry.Crc});
    }
    return true;
}

bool TIO::CheckUnpackedFolder(const std::string& ZipFilePath, const std::string& ExtractPath,
                              bool Thorough) {
    // Every way the folder can differ is an ordinary reason to unpack it again: logged only.
    const auto unusable = [&](const std::string& why) {
        DoLog(fmt::sprintf("%s is no complete unpacking of %s: %s", ExtractPath, ZipFilePath, why));
        return false;
    };
    TDirFd folder;
    if (std::error_code error = TDirFd::Open(ExtractPath, folder)) return unusable(error.message());
    std::string content;
    std::string error;
    TUnpackedMarker marker;
    {
        THandle markerFile;
        if (OpenAt(DirOf(folder), kUnpackedMarkerName, GENERIC_READ, FILE_OPEN,
                   FILE_NON_DIRECTORY_FILE, *markerFile.Out()) ||
            !ReadWholeFile(markerFile.Get(), content, error)) {
            return unusable("no completion marker");
        }
    }
    std::string_view bytes = content;
    if (bytes.substr(0, 3) == kUtf8Bom) bytes.remove_prefix(3);
    if (!ParseUnpackedMarker(SplitLines(bytes), marker)) return unusable("damaged completion marker");
    uint64_t archiveSize = 0;
    int64_t modified = 0;
    if (!ArchiveStamp(ZipFilePath, archiveSize, modified, error)) return unusable(error);
    if (archiveSize != marker.ArchiveSize || modified != marker.ArchiveModified) {
        return unusable("the archive has changed since");
    }
    TStrings listed;
    if (std::error_code failure = ListFiles(DirOf(folder), "", listed)) {
        return unusable(failure.message());
    }
    std::set<std::string> present(listed.begin(), listed.end());
    present.erase(kUnpackedMarkerName);
    if (present.size() != marker.Files.size()) return unusable("other files than unpacked");
    std::vector<char> block(Thorough ? 64 * 1024 : 0);
    for (const TUnpackedFile& file : marker.Files) {
        if (present.count(file.Name) == 0) return unusable(file.Name + " is missing");
        THandle handle;
        if (std::error_code failure = OpenFileBeneath(DirOf(folder), file.Name, handle)) {
            return unusable(failure.message());
        }
        LARGE_INTEGER size;
        if (!GetFileSizeEx(handle.Get(), &size)) return unusable(LastWin32Error().message());
        if (static_cast<uint64_t>(size.QuadPart) != file.Size) {
            return unusable(file.Name + " has another size");
        }
        if (!Thorough) continue;
        uint32_t crc = TZipReader::Crc32(0, nullptr, 0);
        for (;;) {
            size_t got = 0;
            if (std::error_code failure = ReadSome(handle.Get(), block.data(), block.size(), got)) {
                return unusable(failure.message());
            }
            if (got == 0) break;
            crc = TZipReader::Crc32(crc, block.data(), got);
        }
        if (crc != file.Crc) return unusable(file.Name + " has another content");
    }
    return true;
}

bool TIO::DirectoryDeleteIfEmpty(const std::string& Path) {
    TDirFd parent;
    std::string name;
    std::error_code error = iOwned.OpenParent(Path, false, parent, name);
    if (!error && name.empty()) error = ErrnoError(EINVAL);
    TEntryKind kind = TEntryKind::Missing;
    if (!error) error = KindAt(DirOf(parent), name, kind);
    if (!error && kind == TEntryKind::Missing) error = ErrnoError(ENOENT);
    if (error) throw std::system_error(error, "cannot remove empty folders " + Path);
    // A link or a file is no folder to remove.
    if (kind != TEntryKind::Folder) return false;
    return DeleteEmptyFoldersAt(DirOf(parent), name, Path);
}

size_t TIO::FirstBlockedFile(size_t count,
                             const std::function<std::string(size_t index)>& pathOf) {
    return IOInterface::FirstBlockedFile(count, pathOf);
}

bool TIO::CanFileBeOverwritten(const std::string& Path) {
    TDirFd parent;
    std::string name;
    TEntryKind kind = TEntryKind::Missing;
    std::error_code error = iOwned.OpenParent(Path, false, parent, name);
    if (!error && name.empty()) return true;  // a folder is no file of that name
    if (!error) error = KindAt(DirOf(parent), name, kind);
    if (error) {
        if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
            return true;
        }
        DoLog(FailureText("overwrite", Path, error.message()));
        return false;
    }
    // A link is replaced, not written through, and a folder is no file of that name.
    if (kind != TEntryKind::File) return true;
    // Opening it for writing and sharing nothing fails while any other process has the file
    // open, mapped or running. The probe opens the name from the folder already reached.
    HANDLE probe;
    error = OpenAt(DirOf(parent), name, GENERIC_WRITE, FILE_OPEN, FILE_NON_DIRECTORY_FILE, probe,
                   0);
    if (!error) {
        CloseHandle(probe);
        return true;
    }
    if (error == std::errc::no_such_file_or_directory) return true;
    const bool busy = error == std::errc::device_or_resource_busy;
    std::string reason = busy ? "the file is open in another process" : error.message();
    if (busy) {
        const std::string users = DescribeFileUsers(Path);
        if (!users.empty()) reason += ": " + users;
    }
    DoLog(FailureText("overwrite", Path, reason));
    return false;
}

std::error_code TIO::RenameEntry(const std::string& From, const std::string& To) {
    TDirFd fromParent, toParent;
    std::string fromName, toName;
    std::error_code error = iOwned.OpenParent(From, false, fromParent, fromName);
    if (!error) error = iOwned.OpenParent(To, false, toParent, toName);
    if (!error && (fromName.empty() || toName.empty())) error = ErrnoError(EINVAL);
    if (!error) error = RenameAt(DirOf(fromParent), fromName, DirOf(toParent), toName);
    return error;
}

std::error_code TIO::RemoveTree(const std::string& Path) {
    TDirFd parent;
    std::string name;
    std::error_code error = iOwned.OpenParent(Path, false, parent, name);
    if (error == std::errc::no_such_file_or_directory) return {};
    if (!error && name.empty()) error = ErrnoError(EINVAL);
    if (!error) error = RemoveTreeAt(parent.Get(), name);
    return error;
}

bool TIO::FlushToDisk(const std::string& Path) {
    TDirFd folder;
    std::error_code error = TDirFd::Open(Path, folder);
    // The whole volume where the rights allow it (an elevated run), as syncfs does on Linux.
    if (!error) {
        wchar_t volume[MAX_PATH];
        if (GetVolumePathNameW(Win32Path(Path).c_str(), volume, MAX_PATH)) {
            std::wstring device = volume;
            if (device.rfind(L"\\\\?\\", 0) == 0) device.erase(0, 4);
            while (!device.empty() && device.back() == L'\\') device.pop_back();
            if (device.size() == 2 && device[1] == L':') {
                HANDLE handle = CreateFileW((L"\\\\.\\" + device).c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr);
                if (handle != INVALID_HANDLE_VALUE) {
                    const bool flushed = FlushFileBuffers(handle) != 0;
                    CloseHandle(handle);
                    if (flushed) return true;
                }
            }
        }
        // Otherwise every file below the folder, one by one. A file that cannot be opened for
        // writing (one that a running program holds) was not written by this run.
        error = FlushFilesBelow(DirOf(folder));
    }
    if (error) {
        DoError(FailureText("flush", Path, error.message()));
        return false;
    }
    return true;
}

}  // namespace ombrel
