#pragma once
// Emptying the installation folder before a run.

#include <stdexcept>
#include <string>
#include <system_error>

#include "io/folder_handle.h"

namespace ombrel {

// Raised by DeleteFolderTree when it refuses a path; nothing has been touched then.
class EFolderDeletionError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Removes the folder `path` with everything in it, as far as possible.
//
// The folder holding `path` is opened by its path; everything below is reached from the handles
// of the folders on the way (io/folder_handle.h), so a folder swapped for a link while the tree
// is walked is removed as the link, never entered. The tree is walked depth first; every entry is handled after everything inside it. Before an
// entry is removed its attributes are reset: write permission for its owner, and the immutable
// and append-only flags cleared where the file system and the caller's rights allow. Symbolic
// links are removed themselves and never followed, so nothing outside the folder is touched even
// when a link points out of it; this holds for `path` itself too. Failures of single entries are
// ignored and the walk goes on: an entry that cannot be removed stays, and so do the folders
// above it. The folder itself is removed last.
//
// Raises EFolderDeletionError, before touching anything, when `path` is empty or not absolute,
// is 248 characters or longer (counted as UTF-16 code units, not bytes), holds a character that
// paths may not contain, no longer exists, names an existing file (not a folder), or names the
// running program's own file.
void DeleteFolderTree(const std::string& path);

// The same walk, but nothing is left silently: answers true when `path` is gone (also when it
// was not there), else false with the first failure in `error` ("cannot remove "PATH": reason",
// naming the entry that stayed and the system's reason) after removing all it could. A path
// that is not absolute, or names a file, is refused untouched; the length limit of
// DeleteFolderTree does not apply.
bool RemoveFolderTree(const std::string& path, std::string& error);

// True when `path` is a folder, or a symbolic link of any kind: a link in the place of the
// folder is not ours to follow, so DeleteFolderTree removes the link itself.
bool FolderExistsForDeletion(const std::string& path);

// True when `path` names an entry strictly below the folder `root` by plain names: it begins
// with `root`, at least one name follows, no name is "." or "..", and nothing on the way from
// `root` to it is a link or a file (the last name itself may be a link; DeleteFolderTree removes
// such a link). Only such a folder belongs to a run that is named after its application.
bool IsPlainSubfolderOf(const std::string& root, const std::string& path);

// ---- What each platform does its own way (folder_deletion_posix.cpp, _windows.cpp) ----------

// Whether `path` is absolute: "/..." on Linux; "C:\..." or "\\server\..." on Windows.
bool IsAbsoluteFolderPath(const std::string& path);

// Whether `path` names the running program's own file.
bool IsRunningProgram(const std::string& path);

// Clears, as far as the caller's rights allow, what keeps the entry `name` (a File or a Folder)
// of the folder `dirFd` from being removed or emptied: on Linux write permission for its owner
// (and entry to a folder) and the immutable and append-only flags; on Windows the read-only
// attribute. Never follows a link; every failure is ignored.
void MakeRemovableAt(int dirFd, const std::string& name, TEntryKind kind);

// The system's reason for a failed removal, as the platform words it ("Permission denied";
// on Windows the system's own text, "Access is denied.").
std::string RemovalFailureReason(const std::error_code& error);

// RemoveFolderTree's refusals of a path that is not absolute and of a file, in each platform's
// words.
std::string NotAbsoluteRemovalText(const std::string& path);
std::string FileRemovalText(const std::string& path);

}  // namespace ombrel
