#pragma once
// Reaching paths inside folders that a run owns (the installation folder, the package cache,
// temporary folders) without ever following a link inside them.
//
// The path of an owned folder itself is trusted as given (it may run through links the user
// set up). Below it, every path is walked from an open handle of the folder, one component at
// a time with O_NOFOLLOW | O_DIRECTORY (in one openat2 call with RESOLVE_BENEATH and
// RESOLVE_NO_SYMLINKS where the kernel has it), and the operation then works on the last
// component relative to the handle of its folder (unlinkat, renameat, openat with O_NOFOLLOW
// ...). So a folder swapped for a link at any moment leads nowhere: the walk fails with ELOOP
// or ENOTDIR instead of reaching outside. Paths outside every owned folder are reached as
// before, by their full path.

#include <string>
#include <system_error>
#include <vector>

#include "io/atomic_file.h"

namespace ombrel {

class TOwnedFolders {
  public:
    // Adds a folder (absolute or relative, as the callers name it; a trailing "/" is ignored).
    void Add(const std::string& folder);
    bool Empty() const { return iFolders.empty(); }
    // Whether `path` is an owned folder or lies below one.
    bool Owns(const std::string& path) const { return RootOf(path) != nullptr; }
    // Whether `path` is an owned folder itself.
    bool IsRoot(const std::string& path) const;

    // Opens the folder that holds the last component of `path` and answers that component in
    // `name` ("" when `path` is an owned folder itself or "/"). With `create`, missing folders
    // on the way are made (0777 less the umask).
    std::error_code OpenParent(const std::string& path, bool create, TDirFd& parent,
                               std::string& name) const;
    // Opens the folder `path` itself (the last component must be a folder, not a link to one).
    std::error_code OpenFolder(const std::string& path, bool create, TDirFd& folder) const;

  private:
    // The owned folder that `path` lies in (longest match), or nullptr.
    const std::string* RootOf(const std::string& path) const;

    std::vector<std::string> iFolders;
};

// Opens the folder `relative` ("a/b"; "" for `dirFd` itself) below `dirFd`, never through a
// link and never above `dirFd`; with `create`, making missing folders.
std::error_code OpenBeneath(int dirFd, const std::string& relative, bool create, TDirFd& result);

// Removes the entry `name` of the folder `dirFd` and, when it is a folder, everything in it,
// without following any link (a link is removed as a link). A missing entry is no failure.
std::error_code RemoveTreeAt(int dirFd, const std::string& name);

}  // namespace ombrel
