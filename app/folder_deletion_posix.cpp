#include "app/folder_deletion.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

namespace ombrel {
namespace {

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

}  // namespace

bool IsAbsoluteFolderPath(const std::string& path) {
    return !path.empty() && path.front() == '/';
}

bool IsRunningProgram(const std::string& path) {
    return Canonical(path) == RunningProgram();
}

void MakeRemovableAt(int dirFd, const std::string& name, TEntryKind) {
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    // Only folders and regular files have attributes worth resetting.
    const bool isFolder = S_ISDIR(st.st_mode);
    if (!isFolder && !S_ISREG(st.st_mode)) return;
    const mode_t mode = st.st_mode & 07777;
    const mode_t wanted = mode | S_IWUSR | (isFolder ? S_IRUSR | S_IXUSR : 0);
    const int openFlags =
        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (isFolder ? O_DIRECTORY : 0);
    int fd = ::openat(dirFd, name.c_str(), openFlags);
    if (fd < 0) {
        // Unreadable: make it readable first; AT_SYMLINK_NOFOLLOW keeps a swapped-in link safe.
        ::fchmodat(dirFd, name.c_str(), wanted, AT_SYMLINK_NOFOLLOW);
        fd = ::openat(dirFd, name.c_str(), openFlags);
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

std::string RemovalFailureReason(const std::error_code& error) {
    return error.message();
}

std::string NotAbsoluteRemovalText(const std::string& path) {
    return "Unsupported path format: \"" + path + "\"";
}

std::string FileRemovalText(const std::string& path) {
    return "Path is a file, not a folder: \"" + path + "\"";
}

}  // namespace ombrel
