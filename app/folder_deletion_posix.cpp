#include "app/folder_deletion.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <string>
#include <vector>

#include "io/paths.h"

namespace ombrel {
namespace {

// Paths this long are refused, as they would be on a system with short path limits.
constexpr size_t kMaxPathLength = 248;

// The length as a system that counts UTF-16 code units would see it.
size_t Utf16Length(const std::string& text) {
    size_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) == 0x80) continue;  // continuation byte
        units += byte >= 0xF0 ? 2 : 1;        // four-byte sequences need a surrogate pair
    }
    return units;
}

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

std::string RunningProgram() {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

std::string Canonical(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string result(resolved);
    std::free(resolved);
    return result;
}

// Write permission for the owner (and entry to folders), immutable and append-only cleared.
// Only folders and regular files have attributes worth resetting; every failure is ignored.
void ResetAttributes(int dirFd, const char* name, const struct stat& st) {
    const bool isFolder = S_ISDIR(st.st_mode);
    if (!isFolder && !S_ISREG(st.st_mode)) return;
    const mode_t mode = st.st_mode & 07777;
    const mode_t wanted = mode | S_IWUSR | (isFolder ? S_IRUSR | S_IXUSR : 0);
    const int openFlags =
        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (isFolder ? O_DIRECTORY : 0);
    int fd = ::openat(dirFd, name, openFlags);
    if (fd < 0) {
        // Unreadable: make it readable first; AT_SYMLINK_NOFOLLOW keeps a swapped-in link safe.
        ::fchmodat(dirFd, name, wanted, AT_SYMLINK_NOFOLLOW);
        fd = ::openat(dirFd, name, openFlags);
        if (fd < 0) return;
    }
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
        (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0) {
        flags &= ~(FS_IMMUTABLE_FL | FS_APPEND_FL);
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    struct stat now {};
    if (::fstat(fd, &now) == 0 && (now.st_mode & 07777) != wanted) ::fchmod(fd, wanted);
    ::close(fd);
}

std::vector<std::string> ListEntries(int folderFd) {
    std::vector<std::string> names;
    const int listFd = ::dup(folderFd);
    if (listFd < 0) return names;
    DIR* dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

// Notes the first failure of a removal: the path and the system's reason.
void NoteFailure(std::string* firstError, const std::string& path, int error) {
    if (firstError != nullptr && firstError->empty()) {
        *firstError = "cannot remove \"" + path + "\": " + std::strerror(error);
    }
}

// Empties the folder `name` below `parentFd` and removes it. Its attributes have been reset.
// Everything is opened relative to its folder and without following links, so a link swapped
// in during the walk is removed, never entered. `path` is the folder's full path, for
// `firstError` (may be null), which receives the first failure.
void RemoveFolder(int parentFd, const char* name, const std::string& path,
                  std::string* firstError) {
    const int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        for (const std::string& entry : ListEntries(fd)) {
            struct stat st {};
            if (::fstatat(fd, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            ResetAttributes(fd, entry.c_str(), st);
            const std::string entryPath = path + "/" + entry;
            if (S_ISDIR(st.st_mode)) {
                RemoveFolder(fd, entry.c_str(), entryPath, firstError);
            } else if (::unlinkat(fd, entry.c_str(), 0) != 0 && errno != ENOENT) {
                NoteFailure(firstError, entryPath, errno);
            }
        }
        ::close(fd);
    }
    if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
        NoteFailure(firstError, path, errno);
    }
}

// The checks common to both deletions; answers the entry's status.
struct stat CheckedFolder(const std::string& path) {
    if (path.empty() || path.front() != '/') {
        throw EFolderDeletionError("Unsupported path format: " + Quoted(path));
    }
    if (HasInvalidPathChars(path)) {
        throw EFolderDeletionError("Invalid characters in path: " + Quoted(path));
    }
    if (Utf16Length(path) >= kMaxPathLength) {
        throw EFolderDeletionError("Path too long: " + Quoted(path));
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        throw EFolderDeletionError("Folder not found: " + Quoted(path));
    }
    if (!S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) {
        if (Canonical(path) == RunningProgram()) {
            throw EFolderDeletionError("Cannot delete the running program: " + Quoted(path));
        }
        throw EFolderDeletionError("Path is a file, not a folder: " + Quoted(path));
    }
    return st;
}

}  // namespace

bool FolderExistsForDeletion(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode);
}

bool IsPlainSubfolderOf(const std::string& root, const std::string& path) {
    if (root.empty() || root.front() != '/') return false;
    std::string walk = root;
    if (walk.back() != '/') walk += '/';
    if (path.size() <= walk.size() || path.compare(0, walk.size(), walk) != 0) return false;
    std::vector<std::string> names;
    size_t start = walk.size();
    while (start <= path.size()) {
        size_t end = path.find('/', start);
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
        struct stat st {};
        if (::lstat(walk.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return false;
        walk += '/';
    }
    return true;
}

void DeleteFolderTree(const std::string& path) {
    const struct stat st = CheckedFolder(path);
    if (S_ISLNK(st.st_mode)) {
        // Whatever the link points to is not ours.
        ::unlink(path.c_str());
        return;
    }
    ResetAttributes(AT_FDCWD, path.c_str(), st);
    RemoveFolder(AT_FDCWD, path.c_str(), path, nullptr);
}

bool RemoveFolderTree(const std::string& path, std::string& error) {
    error.clear();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        NoteFailure(&error, path, errno);
        return false;
    }
    if (path.front() != '/') {
        error = "Unsupported path format: " + Quoted(path);
        return false;
    }
    if (!S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) {
        error = "Path is a file, not a folder: " + Quoted(path);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) NoteFailure(&error, path, errno);
        return error.empty();
    }
    ResetAttributes(AT_FDCWD, path.c_str(), st);
    RemoveFolder(AT_FDCWD, path.c_str(), path, &error);
    return error.empty();
}

}  // namespace ombrel
