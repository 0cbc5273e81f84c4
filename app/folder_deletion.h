#pragma once
// Emptying the installation folder before a run.

#include <stdexcept>
#include <string>

namespace ombrel {

// Raised by DeleteFolderTree when it refuses a path; nothing has been touched then.
class EFolderDeletionError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Removes the folder `path` with everything in it, as far as possible.
//
// The tree is walked depth first; every entry is handled after everything inside it. Before an
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

}  // namespace ombrel
