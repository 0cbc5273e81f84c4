#pragma once
// Looking at what lies on the disk at a path, listing a folder, renaming and removing trees:
// the few file system questions the engine asks outside the file system service, with paths
// as UTF-8 text and no link ever followed.

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

namespace ombrel {

// What an entry is, itself: a link (on Windows any reparse point, a junction too) is a Link
// whatever it leads to.
enum class TDiskEntryType { Missing, File, Folder, Link, Other };

struct TDiskEntry {
    TDiskEntryType type = TDiskEntryType::Missing;
    uint64_t size = 0;  // of a File
};

// The entry at `path`, a link not followed. Missing, without an error, when neither it nor a
// folder on the way exists; an error when the system cannot tell.
std::error_code StatDiskEntry(const std::string& path, TDiskEntry& entry);

// True when `path` names an existing file (not a folder), a link followed.
bool DiskFileExists(const std::string& path);

struct TFolderItem {
    std::string name;
    TDiskEntryType type = TDiskEntryType::Missing;  // never followed
};

// The entries of the folder `path` ("." and ".." left out), in no particular order.
std::error_code ListFolderItems(const std::string& path, std::vector<TFolderItem>& items);

// Renames `from` to `to`, replacing a file at `to`.
std::error_code RenameDiskEntry(const std::string& from, const std::string& to);

// Removes `path` and, when it is a folder, everything below it; a link is removed as the link,
// never what it leads to. A missing `path` is no failure.
std::error_code RemoveDiskTree(const std::string& path);

}  // namespace ombrel
