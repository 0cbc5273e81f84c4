#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ombrel {

TFileLock::TResult TFileLock::Acquire(const std::string& path, std::unique_ptr<TFileLock>& lock,
                                      std::string& error, bool wait) {
    lock.reset();
    error.clear();
    // A holder removes the file before it unlocks. Whoever opened the old file meanwhile gets a
    // lock on a name that is gone; it notices by comparing inodes and tries again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            error = std::strerror(errno);
            return TResult::Failed;
        }
        int locked;
        while ((locked = ::flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
        }
        if (locked != 0) {
            int err = errno;
            ::close(fd);
            if (err == EWOULDBLOCK) return TResult::Busy;
            error = std::strerror(err);
            return TResult::Failed;
        }
        struct stat opened {}, named {};
        if (::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
            opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
            lock.reset(new TFileLock(path, fd));
            return TResult::Locked;
        }
        ::close(fd);
    }
    error = "the lock file keeps changing";
    return TResult::Failed;
}

bool TFileLock::RemoveFile(std::string& error) {
    if (iRemoved) return true;
    iRemoved = true;
    if (::unlink(iPath.c_str()) == 0) return true;
    error = std::strerror(errno);
    return false;
}

TFileLock::~TFileLock() {
    if (!iRemoved) ::unlink(iPath.c_str());
    ::close(static_cast<int>(iHandle));
}

}  // namespace ombrel
