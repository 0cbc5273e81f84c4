#pragma once
// The installer's installation folder. The previous installation is moved aside, not deleted,
// before a run; it is deleted only after the run succeeded and brought back when it failed.

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/file_lock.h"

namespace ombrel {

// Raised by TInstallationFolder::Prepare; the text names the folder and the system's reason.
class EInstallationFolderError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The folder `path` of one installer run, below `base` (the user's data folder), where every
// folder from `base` down is the user's own.
//
// Beside `path`, in the same parent folder, a run keeps:
//   .<name>.ombrel-previous    the previous installation, while the run is unfinished
//   .<name>.ombrel-obsolete    an installation on its way out; nothing refers to it any more
//   .<name>.ombrel-setup.lock  held (flock) for the run, so two installers never meet here
// Every step is one rename, so a run killed at any moment leaves the previous installation
// (in `path`, or aside as "previous") or the new one, and the next Prepare finds out which by
// looking: "previous" present means the run that made it never succeeded.
//
// Used on the UI thread only: Prepare before the engine starts, Commit or Rollback after it.
class TInstallationFolder {
  public:
    TInstallationFolder(std::string base, std::string path);
    // Releases the lock; a run that was neither committed nor rolled back is left for the next
    // Prepare to recover.
    ~TInstallationFolder();
    TInstallationFolder(const TInstallationFolder&) = delete;
    TInstallationFolder& operator=(const TInstallationFolder&) = delete;

    // Creates the missing folders above `path` with mode 0700, takes the lock, finishes what an
    // interrupted run left (deletes an obsolete folder, brings a previous installation back),
    // moves the installation in `path` aside and creates `path` afresh, empty. Refuses, with
    // nothing changed, a folder on the way or at `path` that is a symbolic link or no folder,
    // belongs to another user, or that other users may write to; refuses a folder that is in
    // use by another installer, and a removal that fails.
    void Prepare();

    // The run succeeded: the previous installation is deleted. False with the reason (the
    // folder or file that stayed, and why) in `error`.
    bool Commit(std::string& error);

    // The run failed: what it put into `path` is deleted and the previous installation comes
    // back (when there was none, `path` is simply gone). False with the reason in `error`.
    bool Rollback(std::string& error);

    const std::string& Path() const { return iPath; }
    std::string PreviousPath() const;
    std::string ObsoletePath() const;

  private:
    // Deletes the obsolete folder and brings back a previous installation left by a run that
    // never finished.
    void Recover();
    void Release();

    std::string iBase;
    std::string iPath;
    std::string iParent;
    std::string iName;
    std::unique_ptr<TFileLock> iLock;
    bool iPrepared = false;
};

// Throws EInstallationFolderError unless `path` is a folder (not a link) of the current user
// that no other user may write to. `what` begins the message ("installation folder").
void CheckOwnFolder(const std::string& path, const std::string& what);

}  // namespace ombrel
