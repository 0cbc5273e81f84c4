#pragma once
// The few file system operations that each platform does its own way, nearly all of them
// relative to an open folder: a descriptor on Linux (openat, unlinkat ...), a handle on Windows
// (NtCreateFile relative to it, see io/win32_files.h). An operation relative to an open folder
// never follows a link at the last name and never reaches above that folder; the few that take
// a whole path say so (and follow links, as the system does). The file system service
// (io/io_system.h), the walks below owned folders (io/owned_folders.h), atomic files
// (io/atomic_file.h) and folder deletion (app/folder_deletion.h) are written once above them.
//
// Failures are error codes that compare equal to the matching std::errc and read as the Linux
// build's texts ("No such file or directory" ...) on both platforms.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace ombrel {

// An open descriptor, closed on destruction: a folder's, or a file's. On Windows it holds the
// handle's value (see io/win32_files.h).
class TDirFd {
  public:
    TDirFd() = default;
    explicit TDirFd(int fd) : iFd(fd) {}
    ~TDirFd();
    TDirFd(TDirFd&& other) noexcept : iFd(other.Release()) {}
    TDirFd& operator=(TDirFd&& other) noexcept;
    TDirFd(const TDirFd&) = delete;
    TDirFd& operator=(const TDirFd&) = delete;

    int Get() const { return iFd; }
    bool IsOpen() const { return iFd >= 0; }
    int Release();

    // Opens a folder by path (links followed).
    static std::error_code Open(const std::string& path, TDirFd& result);

  private:
    int iFd = -1;
};

// Closes a descriptor; -1 is no descriptor.
void CloseDescriptor(int fd);

// The error code of the last failed system call.
std::error_code LastError();

// The platform's error code for a condition (on Windows with the Linux build's text).
std::error_code ErrorOf(std::errc condition);

// Throws the failure `error` of `what` ("cannot list folder") on `path`: a
// std::filesystem::filesystem_error on Linux; a std::system_error on Windows, where the
// former would bring the C++ library's locales into every program.
[[noreturn]] void ThrowFileSystemError(const char* what, const std::string& path,
                                       std::error_code error);

// Writes all bytes, retrying short writes and interrupted calls.
std::error_code WriteAll(int fd, const void* data, size_t size);

// ---- Paths -------------------------------------------------------------------------------

// Whether `c` separates folders in a path: "/" on Linux; "/" and "\" on Windows.
bool IsFolderSeparator(char c);

// The length of the root that `path` begins with: 1 for "/"; on Windows also 1 for "\", 2 for a
// drive ("C:") and 3 for a drive's root ("C:\"). 0 for a relative path.
size_t PathRootLength(std::string_view path);

// Whether two names (or paths) name the same entry: byte for byte on Linux, without regard to
// case on Windows, as its file systems compare them.
bool SameFileName(std::string_view a, std::string_view b);

// A name that the platform's tools cannot reach although a folder handle can make it: on
// Windows a part that ends in a blank or a dot, or holds ':', '*' or '?' (the Win32 API strips
// the trailing blank or dot, ':' names a stream, '*' and '?' are wildcards). Never on Linux.
bool IsUnreachableName(const std::string& relative);

// The key under which a file system tells names apart: the name itself on Linux, the name in
// upper case on Windows.
std::string FileNameKey(const std::string& name);

// The folder and the last name of a path: "a/b/c" gives ("a/b", "c"), "c" gives (".", "c"),
// "/c" gives ("/", "c"); on Windows "C:\c" gives ("C:\", "c") and "C:c" ("C:", "c").
struct TPathParts {
    std::string folder;
    std::string name;
};
TPathParts SplitPath(const std::string& path);

// The names between the separators of `path`, empty ones left out: "a//b/" gives ("a", "b").
std::vector<std::string> SplitFolderNames(std::string_view path);

// `path` without separators at its end; a root ("/", on Windows "C:\" too) keeps its own.
std::string WithoutTrailingSeparators(const std::string& path);

// Makes the folder `path` and the missing ones above it, by path (outside every owned folder).
std::error_code CreateFoldersByPath(const std::string& path);

// ---- Entries of an open folder -----------------------------------------------------------

// What an entry is, itself: a link (on Windows any reparse point, a junction too) is a Link
// whatever it leads to.
enum class TEntryKind { Missing, File, Folder, Link, Other };

struct TListedEntry {
    std::string name;
    TEntryKind kind = TEntryKind::Missing;
};

// A second descriptor of the open folder or file `fd` (sharing its position).
std::error_code DuplicateDescriptor(int fd, TDirFd& copy);

// Opens the folder `relative` ("a/b", cleaned: no empty, "." or ".." part) below `dirFd` in one
// call, never through a link and never above it (openat2 with RESOLVE_BENEATH). Answers
// std::errc::function_not_supported where the system cannot (always on Windows); the caller
// then walks one name at a time.
std::error_code OpenBeneathAtOnce(int dirFd, const std::string& relative, TDirFd& result);

// Opens the folder `name` of `dirFd` to walk, list and change it; a link there fails (ELOOP, or
// ENOTDIR on Linux). With `create`, a missing folder is made first (0777 less the umask).
std::error_code OpenSubfolderAt(int dirFd, const std::string& name, bool create, TDirFd& result);
// The same, only to walk and list it (on Windows without asking for the right to delete it).
std::error_code OpenSubfolderToReadAt(int dirFd, const std::string& name, TDirFd& result);
// Makes the folder `name` of `dirFd`; one that exists already fails with EEXIST.
std::error_code MakeFolderAt(int dirFd, const std::string& name);

// What `name` is in `dirFd`, never followed. Missing, without an error, when there is no such
// entry.
std::error_code EntryKindAt(int dirFd, const std::string& name, TEntryKind& kind);

// Every entry of the folder `dirFd` except "." and "..", in the order the system delivers them,
// with what each is (never followed). An entry that goes while it is listed is left out.
std::error_code ListFolderAt(int dirFd, std::vector<TListedEntry>& entries);

// Removes the entry `name` of `dirFd` that is no folder (a link as the link, a read-only file
// too); a folder fails with EISDIR. A missing entry is no failure.
std::error_code RemoveFileAt(int dirFd, const std::string& name);

// Removes the emptied folder `name` of `parentFd`, open as `folderFd` (-1: not open): on
// Windows through that handle (so whatever took the name meanwhile stays), on Linux by its name
// (unlinkat refuses anything but an empty folder). A missing entry is no failure.
std::error_code RemoveOpenFolder(int parentFd, const std::string& name, int folderFd);

// Renames the entry `fromName` of `fromDir` (a link as the link) to `toName` of `toDir`,
// replacing a file there.
std::error_code RenameEntryAt(int fromDir, const std::string& fromName, int toDir,
                              const std::string& toName);

// ---- Files being written -----------------------------------------------------------------

// Creates the file `name` of `dirFd` exclusively for writing (mode bits `mode` less the umask
// where the platform has them); an existing entry, a link too, fails with EEXIST.
std::error_code CreateNewFileAt(int dirFd, const std::string& name, unsigned mode, int& fd);

// Flushes a file's data to the disk.
std::error_code FlushFile(int fd);
// Flushes a folder's entries to the disk (on Windows there is nothing to do: a rename is
// recorded with the file).
std::error_code FlushFolder(int dirFd);
// Closes a file written, telling a failure of the last write that only closing reveals.
std::error_code CloseWrittenFile(int fd);

// Gives the written file `tempName` of `dirFd`, open as `fd`, the name `name` (replacing what
// is there, a link as the link) and closes it; `fd` is -1 once it is closed. Linux closes first
// and renames by name; Windows renames through the handle, so that the file renamed is the one
// written, and closes after.
std::error_code PlaceWrittenFile(int& fd, int dirFd, const std::string& tempName,
                                 const std::string& name);

// Removes a file that was not committed: the file `name` of `dirFd`, open as `fd` (or -1 once
// closed); `name` empty only closes. On Windows an open file is removed through its handle, so
// that whatever took the name meanwhile stays. `fd` is -1 after.
void RemoveUncommittedFile(int& fd, int dirFd, const std::string& name);

// ---- Files' data and attributes ----------------------------------------------------------

// What an open file is and holds.
struct TFileInfo {
    TEntryKind kind = TEntryKind::Missing;  // File, Folder or Other
    uint64_t size = 0;
    unsigned mode = 0;      // permission bits where the platform has them (07777), else 0
    bool readOnly = false;  // the read-only attribute where the platform has one
    // Last access and modification, in nanoseconds since 1970.
    int64_t accessed = 0;
    int64_t modified = 0;
};
std::error_code StatOpenFile(int fd, TFileInfo& info);

// Opens the file `name` of `dirFd` to read, a link there never followed (ELOOP); a folder opens
// as well (the callers tell it apart). `nonBlocking`: a pipe does not wait for a writer.
std::error_code OpenFileToReadAt(int dirFd, const std::string& name, bool nonBlocking,
                                 TDirFd& file);
// The same by path, links followed (outside every owned folder).
std::error_code OpenFileToReadByPath(const std::string& path, bool nonBlocking, TDirFd& file);
// Opens the file `relative` ("a/b.txt", made by a listing of `dirFd`) below `dirFd` to read; a
// link as the last name fails. On Windows no link on the way is followed either; Linux resolves
// the folders on the way as the kernel does.
std::error_code OpenFileToReadBelow(int dirFd, const std::string& relative, TDirFd& file);
// What the file `relative` below `dirFd` is and its size, the last name not followed; on Linux
// without opening it.
std::error_code StatFileBelow(int dirFd, const std::string& relative, TFileInfo& info);

// What `name` of `dirFd`, whose whole path is `path`, leads to, a link followed: Linux follows
// it from the folder, Windows by the path (a handle's walk never follows a reparse point).
// Missing, without an error, where nothing is.
std::error_code FollowedKindAt(int dirFd, const std::string& name, const std::string& path,
                               TEntryKind& kind);

// Reads up to `size` bytes at the file position; `got` 0 at the end.
std::error_code ReadFromFile(int fd, void* buffer, size_t size, size_t& got);
// Reads exactly `size` bytes at `offset`, without moving the file position; false when the file
// ends before or the read fails.
bool ReadFileAt(int fd, void* buffer, size_t size, uint64_t offset);

// The open file `fd` opened once more, with a position of its own, never by its name (which may
// lead elsewhere by now): Linux through /proc. std::errc::function_not_supported where the
// system cannot (Windows); the caller then reads with one descriptor.
std::error_code ReopenToRead(int fd, TDirFd& second);

// Copies from the position of `in` to its end into `out`; `size` (a file's length, -1 when not
// known) lets an in-kernel copy stop without a call to find the end.
std::error_code CopyFileData(int in, int out, int64_t size);

// Whether the existing file `name` of `dirFd` could be overwritten right now: it opens for
// writing (without changing it) and no other process holds it open; EBUSY when one does (see
// platform/file_usage.h). On Windows a file gone meanwhile can be.
std::error_code ProbeOverwriteAt(int dirFd, const std::string& name);

// Gives the copy `target` what a copy keeps of its source, as `source` tells it before the
// copy: the access and modification times, and the permission bits without setuid, setgid and
// sticky (Linux; the file was made with them, less the umask) or the read-only attribute
// (Windows).
std::error_code KeepCopiedAttributes(const TFileInfo& source, int target);
// Gives `file`, which is to replace the file `name` of `dirFd`, what a replaced file keeps:
// its mode bits (Linux), its read-only, hidden and system attributes (Windows).
std::error_code KeepReplacedAttributes(int dirFd, const std::string& name, int file);
// Gives an unpacked file what its archive entry says of it: `unixMode` the permission bits of
// an entry made on Unix (`unixHost`), `dosReadOnly` the entry's MS-DOS read-only attribute,
// `seconds` its modification time (when `hasTime`). Linux keeps the bits without setuid,
// setgid and sticky (a read-only entry loses its write bits); Windows has only the read-only
// attribute, set where no write bit is.
std::error_code SetUnpackedAttributes(int fd, bool unixHost, unsigned unixMode, bool dosReadOnly,
                                      bool hasTime, int64_t seconds);

// The size and modification time (nanoseconds since 1970) of the file at `path`.
std::error_code StampOfFile(const std::string& path, uint64_t& size, int64_t& modified);

// Flushes what was written to the file system that holds the folder `path`: syncfs on Linux;
// on Windows the whole volume where the rights allow it, else every file below the folder.
std::error_code FlushFileSystemOf(const std::string& path);

// 64 bits from the system's random source, for names that others cannot guess.
uint64_t RandomNameBits();

}  // namespace ombrel
