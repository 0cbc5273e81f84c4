#pragma once
// An exclusive lock file, held by one process at a time for as long as the object lives.

#include <cstdint>
#include <memory>
#include <string>

namespace ombrel {

class TFileLock {
public:
    enum class TResult {
        Locked,  // `lock` holds the lock
        Busy,    // another holder has it; nothing was changed
        Failed,  // the file could not be created or locked; `error` says why
    };

    // Creates the file at path when missing and takes an exclusive lock on it (flock on Linux,
    // LockFileEx on Windows), without waiting (Busy when another holder has it), or with `wait`
    // until the holder lets go. A symbolic link (any reparse point on Windows) at path is
    // refused, not followed. The lock ends with the process at
    // the latest, so a killed holder never leaves a stale lock behind.
    static TResult Acquire(const std::string& path, std::unique_ptr<TFileLock>& lock,
                           std::string& error, bool wait = false);

    // Removes the file now, still holding the lock (so no waiting run sees a half-gone lock);
    // the lock itself ends with the object. False, with the reason in `error`, when the file
    // cannot be removed: it then stays behind, empty, and locks nothing once released.
    bool RemoveFile(std::string& error);

    // Removes the file unless RemoveFile did (while still holding the lock), then releases it.
    ~TFileLock();
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;

    const std::string& Path() const { return iPath; }

private:
    TFileLock(std::string path, intptr_t handle) : iPath(std::move(path)), iHandle(handle) {}

    std::string iPath;
    intptr_t iHandle;  // the open file: a descriptor on Linux, a HANDLE on Windows
    bool iRemoved = false;
};

}  // namespace ombrel
